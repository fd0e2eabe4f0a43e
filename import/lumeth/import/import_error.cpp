#include "lumeth/import/import_error.hpp"

#include <utility>

namespace Orvane::Core::Lumeth {

ImportError::ImportError(const char* message, std::string subject)
    : std::invalid_argument(message), subject_(std::move(subject)) {}

}  // namespace Orvane::Core::Lumeth
