#include <cstdint>
#include <numeric>
#include <vector>

#include "conformance/checks.hpp"
#include "conformance/groups.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/dialogue.hpp"

namespace Orvane::Core::Lumeth::Conformance {
namespace {

constexpr const char* kAssistantText = "Dobrý den";

}  // namespace

void dialogue_checks() {
  const ByteTokenizer tokenizer;
  const std::vector<DialogueTurn> turns = {{ChatRole::User, "Ahoj"},
                                           {ChatRole::Assistant, kAssistantText}};

  const DialogueEncoding encoding = encodeDialogue(turns, tokenizer, true, true);
  check(encoding.ids.size() == encoding.targetMask.size(), "dialogue mask size differs");

  // Exactly the assistant's words and the EOS that closes its turn.
  const std::uint64_t targetCount =
      std::accumulate(encoding.targetMask.begin(), encoding.targetMask.end(), std::uint64_t{0});
  const std::uint64_t assistantIds = tokenizer.encode(kAssistantText, EncodeOptions{}).ids.size();
  check(targetCount == assistantIds + 1, "assistant target span differs");

  const std::uint64_t length = encoding.ids.size() - 1;
  const DialogueWindow window = dialogueWindow(encoding, 0, length);
  bool sawContext = false;
  bool sawTarget = false;
  for (const std::uint8_t mask : window.target_mask) {
    if (mask == 0) {
      sawContext = true;
    } else {
      sawTarget = true;
    }
  }
  check(window.targets.size() == length && sawContext && sawTarget,
        "dialogue window does not separate context and targets");
}

}  // namespace Orvane::Core::Lumeth::Conformance
