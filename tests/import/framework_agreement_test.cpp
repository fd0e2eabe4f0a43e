// The checkpoints under tests/fixtures/import/ and what PyTorch computed for
// them (generate_checkpoints.py, run by hand): Lumeth's imported models must
// give the same logits up to summation order and the same greedy
// continuations, and Lumeth must widen narrow dtypes exactly as PyTorch does.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "lumeth/directory/model_directory.hpp"
#include "lumeth/import/checkpoint.hpp"
#include "lumeth/import/safetensors.hpp"
#include "lumeth/inference/forward.hpp"
#include "temp_directory.hpp"

namespace Orvane::Core::Lumeth {
namespace {

namespace fs = std::filesystem;

const fs::path kFixtures = LUMETH_IMPORT_FIXTURES;

// The summation orders of the two implementations differ, and so do their
// exp, sin and cos; with weights of order one in doubles the differences stay
// near 1e-15 of the row's largest logit.
constexpr double kRelativeTolerance = 1e-12;

nlohmann::json readJson(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return nlohmann::json::parse(text.str());
}

Tensor logitsOf(const TransformerModel& model, const std::vector<std::uint32_t>& tokens) {
  TokenBatch batch;
  batch.batch_size = 1;
  batch.width = tokens.size();
  batch.tokens = tokens;
  return forward(model.spec(), model.weights(), batch, ForwardOptions{});
}

class FrameworkAgreementTest : public ::testing::TestWithParam<const char*> {};

TEST_P(FrameworkAgreementTest, LogitsAndGreedyContinuationMatchTheFramework) {
  const fs::path directory = kFixtures / GetParam();
  const nlohmann::json expected = readJson(directory / "expected.json");
  ImportOptions options;
  options.rotary_layout = expected.at("rotary_layout") == "adjacent_pairs"
                              ? RotaryLayout::adjacent_pairs
                              : RotaryLayout::half_split;
  const auto model = import_model(directory, options);
  const std::size_t vocabulary = model->spec().vocabulary;

  double worst = 0.0;  // largest |difference| / largest |logit| of its row
  for (const auto& sequence : expected.at("sequences")) {
    const auto tokens = sequence.at("tokens").get<std::vector<std::uint32_t>>();
    const auto rows = sequence.at("logits").get<std::vector<std::vector<double>>>();
    const Tensor logits = logitsOf(*model, tokens);
    ASSERT_EQ(rows.size(), tokens.size());
    for (std::size_t s = 0; s < rows.size(); ++s) {
      ASSERT_EQ(rows[s].size(), vocabulary);
      double scale = 0.0;
      for (const double value : rows[s]) scale = std::max(scale, std::abs(value));
      for (std::size_t t = 0; t < vocabulary; ++t) {
        const double difference = std::abs(logits.data[s * vocabulary + t] - rows[s][t]);
        worst = std::max(worst, difference / scale);
        ASSERT_LE(difference, kRelativeTolerance * scale)
            << "sequence of " << tokens.size() << ", position " << s << ", token " << t;
      }
    }
  }
  std::ostringstream worstText;
  worstText << worst;
  RecordProperty("worst_relative_difference", worstText.str());

  // Greedy, recomputing the whole sequence at each step.
  std::vector<std::uint32_t> tokens =
      expected.at("greedy").at("prompt").get<std::vector<std::uint32_t>>();
  const auto continuation =
      expected.at("greedy").at("continuation").get<std::vector<std::uint32_t>>();
  for (std::size_t step = 0; step < continuation.size(); ++step) {
    const Tensor logits = logitsOf(*model, tokens);
    const auto last =
        logits.data.begin() + static_cast<std::ptrdiff_t>((tokens.size() - 1) * vocabulary);
    const auto best = std::max_element(last, last + static_cast<std::ptrdiff_t>(vocabulary));
    tokens.push_back(static_cast<std::uint32_t>(best - last));
  }
  EXPECT_THAT(std::vector<std::uint32_t>(
                  tokens.end() - static_cast<std::ptrdiff_t>(continuation.size()), tokens.end()),
              ::testing::ElementsAreArray(continuation));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FrameworkAgreementTest,
                         ::testing::Values("swiglu-untied-gqa2", "gelu-tied",
                                           "swiglu-tied-gqa4-sharded", "narrow-f32", "narrow-bf16",
                                           "narrow-f16", "adjacent-pairs"),
                         [](const auto& fixture) {
                           std::string name = fixture.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// Without the row reordering the same checkpoint computes something else: the
// agreement above depends on the rotary layout being handled, not on luck.
TEST(FrameworkAgreementLayoutTest, TheWrongRotaryLayoutDisagrees) {
  const fs::path directory = kFixtures / "swiglu-untied-gqa2";
  const nlohmann::json expected = readJson(directory / "expected.json");
  const auto& sequence = expected.at("sequences").at(2);
  const auto tokens = sequence.at("tokens").get<std::vector<std::uint32_t>>();
  const auto rows = sequence.at("logits").get<std::vector<std::vector<double>>>();
  ImportOptions options;
  options.rotary_layout = RotaryLayout::adjacent_pairs;
  const auto model = import_model(directory, options);
  const Tensor logits = logitsOf(*model, tokens);
  const std::size_t last = tokens.size() - 1;
  const std::size_t vocabulary = model->spec().vocabulary;
  double difference = 0.0;
  for (std::size_t t = 0; t < vocabulary; ++t) {
    difference = std::max(difference, std::abs(logits.data[last * vocabulary + t] - rows[last][t]));
  }
  EXPECT_GT(difference, 1e-3);
}

// What an import hands on: saved as a model directory and loaded back, the
// imported model is the same model, identity and logits alike.
TEST(FrameworkAgreementDirectoryTest, AnImportedModelSurvivesItsModelDirectory) {
  const auto model = import_model(kFixtures / "swiglu-tied-gqa4-sharded", {});
  const TempDirectory directory;
  save_model_directory(directory.path() / "model", *model);
  const LoadedModelDirectory loaded = load_model_directory(directory.path() / "model", {});
  EXPECT_EQ(loaded.model->identity(), model->identity());
  EXPECT_EQ(loaded.model->spec(), model->spec());
  EXPECT_EQ(loaded.tokenizer, nullptr);
  const std::vector<std::uint32_t> tokens = {3, 1, 4, 1, 5, 9, 2, 6};
  const Tensor ours = logitsOf(*model, tokens);
  const Tensor back = logitsOf(*loaded.model, tokens);
  ASSERT_EQ(ours.data.size(), back.data.size());
  for (std::size_t i = 0; i < ours.data.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(ours.data[i]),
              std::bit_cast<std::uint64_t>(back.data[i]));
  }
}

// F32, BF16 and F16 copies of one checkpoint, each beside widened.safetensors:
// PyTorch's own widening of the stored values to float64. Lumeth's reader must
// give the same bits for every value (subnormals and signed zeros included).
TEST(FrameworkAgreementWideningTest, NarrowDtypesWidenAsTheFrameworkWidensThem) {
  for (const char* name : {"narrow-f32", "narrow-bf16", "narrow-f16"}) {
    SCOPED_TRACE(name);
    const fs::path directory = kFixtures / name;
    const SafetensorsFile stored = SafetensorsFile::open(directory / "model.safetensors", {});
    const SafetensorsFile widened = SafetensorsFile::open(directory / "widened.safetensors", {});
    ASSERT_EQ(stored.header().tensors.size(), widened.header().tensors.size());
    std::size_t subnormals = 0;
    for (const SafetensorsTensor& tensor : stored.header().tensors) {
      const Tensor ours = stored.read(tensor.name);
      const Tensor theirs = widened.read(tensor.name);
      ASSERT_EQ(ours.shape, theirs.shape) << tensor.name;
      for (std::size_t i = 0; i < ours.data.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(ours.data[i]),
                  std::bit_cast<std::uint64_t>(theirs.data[i]))
            << tensor.name << " value " << i;
        const double magnitude = std::abs(ours.data[i]);
        const bool narrowSubnormal = tensor.dtype == SafetensorsDType::f16
                                         ? magnitude > 0 && magnitude < 0x1p-14
                                         : magnitude > 0 && magnitude < 0x1p-126;
        subnormals += narrowSubnormal ? 1 : 0;
      }
    }
    EXPECT_GE(subnormals, 2U) << "the fixture should hold subnormals of its dtype";
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
