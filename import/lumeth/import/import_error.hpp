#pragma once

// The error type of the checkpoint importer and its safetensors reader.
//
// what() is one of the fixed messages that the readers' headers list
// (lower-case, no final period; callers compare them literally). subject()
// names what the message is about when there is one thing to name: the
// tensor, the configuration key or value, or the file; it is empty
// otherwise. The two stay apart so that a message never varies, while a tool
// can still show "checkpoint lacks a tensor: lm_head.weight".

#include <stdexcept>
#include <string>

namespace Orvane::Core::Lumeth {

class ImportError : public std::invalid_argument {
 public:
  ImportError(const char* message, std::string subject);

  [[nodiscard]] const std::string& subject() const noexcept { return subject_; }

 private:
  std::string subject_;
};

}  // namespace Orvane::Core::Lumeth
