#pragma once

// The conformance check groups, one source file each. Every group throws a
// std::exception with the literal message of the first step that fails.

namespace Orvane::Core::Lumeth::Conformance {}  // namespace Orvane::Core::Lumeth::Conformance
