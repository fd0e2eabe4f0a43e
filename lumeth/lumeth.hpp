#pragma once

// The whole public API of Lumeth in one include. Each header can also be
// included on its own; nothing under an internal/ folder is public.

#include "lumeth/version.hpp"

#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/files.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/foundation/thread_pool.hpp"

#include "lumeth/tokenizers/binding.hpp"
#include "lumeth/tokenizers/bpe_run_counts.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/decoder_state.hpp"
#include "lumeth/tokenizers/dialogue.hpp"
#include "lumeth/tokenizers/parallel_encoding.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "lumeth/tokenizers/text_stream.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"
#include "lumeth/tokenizers/utf8.hpp"

#include "lumeth/spec/default_ports.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "lumeth/spec/transformer_spec.hpp"

#include "lumeth/inference/attention.hpp"
#include "lumeth/inference/elementary.hpp"
#include "lumeth/inference/feed_forward.hpp"
#include "lumeth/inference/floating_point.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/operators.hpp"
#include "lumeth/inference/tensor.hpp"

#include "lumeth/artifact/container.hpp"
#include "lumeth/artifact/model.hpp"

#include "lumeth/session/inference_session.hpp"

#include "lumeth/directory/model_directory.hpp"
#include "lumeth/directory/tokenizer_artifact.hpp"

#include "lumeth/generation/generate.hpp"
#include "lumeth/generation/sampler.hpp"
