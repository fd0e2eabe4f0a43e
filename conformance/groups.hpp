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

// Dialogue: over a byte tokenizer, the target mask of a two-turn dialogue
// covers exactly the assistant's words and its EOS, and a next-token window
// over the whole encoding holds both context and target positions.
void dialogue_checks();

// BPE: a vocabulary trained on a small Czech corpus round-trips UTF-8 byte for
// byte, compresses the learned words, survives an artifact round trip,
// refuses a corrupted artifact and places BOS and EOS after its merges.
void bpe_checks();

// Chat tokenizer over a shared byte tokenizer: role ids reserved after the
// base vocabulary, atomic markers, special-token skipping on decode.
void chat_tokenizer_checks();

}  // namespace Orvane::Core::Lumeth::Conformance
