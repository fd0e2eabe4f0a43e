#pragma once

// Shared by the fuzz targets: the property check that stops a run, the
// exception filter that lets only documented failures through, and small
// helpers that turn fuzzer bytes into ids and options.

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "lumeth/directory/tokenizer_artifact.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

// Stops the run with a message when a property does not hold. libFuzzer
// reports the trap as a crash and keeps the input that caused it.
#define LUMETH_FUZZ_CHECK(condition)                                                     \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "fuzz property violated: %s (%s:%d)\n", #condition, __FILE__, \
                   __LINE__);                                                            \
      __builtin_trap();                                                                  \
    }                                                                                    \
  } while (false)

namespace Orvane::Core::Lumeth::Fuzz {

[[noreturn]] inline void undocumentedException(const char* what) {
  std::fprintf(stderr, "undocumented exception escaped: %s\n", what);
  __builtin_trap();
}

// The outcome of a call into the tokenizer family: nothing when it returned,
// the code when it threw TokenizerError. Any other exception is a finding.
template <typename Call>
std::optional<TokenizerErrorCode> tokenizerOutcome(Call&& call) {
  try {
    call();
  } catch (const TokenizerError& error) {
    return error.code();
  } catch (const std::exception& error) {
    undocumentedException(error.what());
  } catch (...) {
    undocumentedException("(not a std::exception)");
  }
  return std::nullopt;
}

// The outcome of a call whose documented failures are std::invalid_argument:
// nothing when it returned, the message when it threw. Any other exception is
// a finding.
template <typename Call>
std::optional<std::string> invalidArgumentOutcome(Call&& call) {
  try {
    call();
  } catch (const std::invalid_argument& error) {
    return std::string(error.what());
  } catch (const std::exception& error) {
    undocumentedException(error.what());
  } catch (...) {
    undocumentedException("(not a std::exception)");
  }
  return std::nullopt;
}

// A token id drawn so that byte ids, the ids just around a vocabulary of
// `vocabularySize` (its specials, the role ids of a chat tokenizer, the first
// ids outside) and far-out ids all turn up often.
inline std::uint32_t consumeTokenId(FuzzedDataProvider& input, std::uint32_t vocabularySize) {
  const std::uint16_t raw = input.ConsumeIntegral<std::uint16_t>();
  const auto low = static_cast<std::uint32_t>(raw & 0xFFu);
  switch (raw >> 12) {
    case 0xF:
      return 0xFFFFFFFFu - low;
    case 0xE:  // the top of the vocabulary and a little beyond
      return vocabularySize >= 8 ? vocabularySize - 8 + (low % 16) : low % 16;
    case 0xD:
      return raw;  // anywhere up to 0xDFFF
    case 0xC:
    case 0xB:
    case 0xA:  // the learned tokens and the specials, when the vocabulary has them
      return vocabularySize > 256 ? 256 + (raw & 0xFFFu) % (vocabularySize - 256) : low;
    default:
      return low;
  }
}

inline std::vector<std::uint32_t> consumeTokenIds(FuzzedDataProvider& input,
                                                  std::uint32_t vocabularySize,
                                                  std::size_t maxCount) {
  const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, maxCount);
  std::vector<std::uint32_t> ids;
  ids.reserve(count);
  for (std::size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    ids.push_back(consumeTokenId(input, vocabularySize));
  }
  return ids;
}

// Every one-byte value of the enumerations, so unknown values are exercised;
// the bools only as true or false (any other bool value is undefined).
inline EncodeOptions consumeEncodeOptions(FuzzedDataProvider& input) {
  EncodeOptions options;
  options.addBos = input.ConsumeBool();
  options.addEos = input.ConsumeBool();
  options.normalization = static_cast<Normalization>(input.ConsumeIntegral<std::uint8_t>());
  options.invalidUtf8 = static_cast<InvalidUtf8Policy>(input.ConsumeIntegral<std::uint8_t>());
  return options;
}

inline DecodeOptions consumeDecodeOptions(FuzzedDataProvider& input) {
  DecodeOptions options;
  options.skipSpecialTokens = input.ConsumeBool();
  options.invalidUtf8 = static_cast<InvalidUtf8Policy>(input.ConsumeIntegral<std::uint8_t>());
  return options;
}

// load_tokenizer_artifact against the loader of one kind (`Tokenizer`, whose
// artifact starts with `magic`), on the same bytes and limit: an input with
// that magic has the same outcome both ways, and a load gives the same
// artifact and descriptor; an input with neither known magic is refused as
// InvalidFormat. `direct` is what the kind's loader returned (null when it
// refused).
template <typename Tokenizer>
void checkDispatchAgrees(std::span<const std::uint8_t> bytes, std::uint64_t limit,
                         std::string_view magic, const Tokenizer* direct) {
  std::shared_ptr<const ITransformerTokenizer> dispatched;
  const auto error = tokenizerOutcome([&] { dispatched = load_tokenizer_artifact(bytes, limit); });
  const std::string_view head = bytes.size() >= 8 ? asText(bytes.first(8)) : std::string_view();
  if (head != kByteTokenizerArtifactMagic && head != kSubwordTokenizerArtifactMagic) {
    LUMETH_FUZZ_CHECK(error == TokenizerErrorCode::InvalidFormat);
    return;
  }
  if (head != magic) return;
  if (!direct) {
    LUMETH_FUZZ_CHECK(error == TokenizerErrorCode::InvalidFormat);
    return;
  }
  LUMETH_FUZZ_CHECK(!error);
  const auto* loaded = dynamic_cast<const Tokenizer*>(dispatched.get());
  LUMETH_FUZZ_CHECK(loaded != nullptr);
  LUMETH_FUZZ_CHECK(loaded->artifact() == direct->artifact());
  LUMETH_FUZZ_CHECK(loaded->descriptor() == direct->descriptor());
}

inline std::span<const std::uint8_t> bytesOf(const std::uint8_t* data, std::size_t size) {
  return size == 0 ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(data, size);
}

}  // namespace Orvane::Core::Lumeth::Fuzz
