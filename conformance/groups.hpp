#pragma once

// The conformance check groups, one source file each. Every group throws a
// std::exception with the literal message of the first step that fails.

namespace Orvane::Core::Lumeth::Conformance {

// Byte tokenizer: every byte is its own id, any byte string and a UTF-8 corpus
// round-trip, a golden id sequence, explicit BOS/EOS, and special ids are
// never dropped silently.
void byte_tokenizer_checks();

// UTF-8 policies (preserve, reject, replace), refusal of unknown ids, the
// streaming decoder holding back an unfinished character, and that its state
// survives a session file round trip and the session's state-size limit.
void streaming_checks();

// Byte tokenizer artifact (round trip; corrupt, truncated and oversized input
// refused), tokenizer-model binding (the bound text interface works; a wrong
// hash, a missing binding and a wrong vocabulary are refused) and the forward
// pass of an unbound model over token ids.
void artifact_binding_checks();

// Chat tokenizer over a shared byte tokenizer: role ids reserved after the
// base vocabulary, atomic markers, special-token skipping on decode.
void chat_tokenizer_checks();

}  // namespace Orvane::Core::Lumeth::Conformance
