#include <cstdint>
#include <string>
#include <vector>

#include "conformance/checks.hpp"
#include "conformance/groups.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Conformance {

void byte_tokenizer_checks() {
  const ByteTokenizer tokenizer;
  const EncodeOptions plain{};
  const DecodeOptions strict{};

  std::string allBytes;
  for (int value = 0; value < 256; ++value) {
    allBytes.push_back(static_cast<char>(value));
  }
  const std::vector<std::uint32_t> allIds = tokenizer.encode(allBytes, plain).ids;
  check(allIds.size() == 256, "binary token count changed");
  for (std::uint32_t i = 0; i < 256; ++i) {
    check(allIds[i] == i, "byte token mapping changed");
  }
  check(tokenizer.decode(allIds, strict) == allBytes, "all-byte round trip failed");

  // 34 bytes of two-, three- and four-byte characters; the last one is U+1F9E0.
  const std::string corpus = "Příliš žluťoučký kůň 🧠";
  check(tokenizer.decode(tokenizer.encode(corpus, plain).ids, strict) == corpus,
        "UTF-8 corpus round trip failed");

  const std::vector<std::uint32_t> emptyIds = tokenizer.encode("", plain).ids;
  check(emptyIds.empty() && tokenizer.decode(emptyIds, strict).empty(), "empty round trip failed");

  check(tokenizer.encode("Ahoj", plain).ids == std::vector<std::uint32_t>{65, 104, 111, 106},
        "golden token IDs changed");

  const EncodeOptions withSpecials{.addBos = true, .addEos = true};
  const std::vector<std::uint32_t> framed = tokenizer.encode("A", withSpecials).ids;
  check(framed == std::vector<std::uint32_t>{256, 65, 257}, "explicit BOS/EOS changed");
  expectTokenizerError([&] { (void)tokenizer.decode(framed, strict); },
                       TokenizerErrorCode::SpecialTokenNotAllowed,
                       "implicit special-token skipping accepted");
  const DecodeOptions skipping{.skipSpecialTokens = true};
  check(tokenizer.decode(framed, skipping) == "A", "explicit special-token skipping failed");
}

}  // namespace Orvane::Core::Lumeth::Conformance
