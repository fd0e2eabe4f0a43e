#pragma once

// Runs the lumeth tool in-process on string streams, and in a scratch folder
// of its own per test.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace Orvane::Core::Lumeth::Cli::Testing {

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

// cli::run with `input` as standard input.
[[nodiscard]] ToolResult runTool(const std::vector<std::string>& args, std::string_view input = {});

// The installed executable as a process, with `input` on its standard input.
[[nodiscard]] ToolResult runProcess(const std::vector<std::string>& args,
                                    std::string_view input = {});

// A fresh empty folder, removed with its content when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir();
  [[nodiscard]] std::string path(std::string_view name) const;

 private:
  std::filesystem::path root_;
};

void writeFile(const std::string& path, std::string_view bytes);
[[nodiscard]] std::string readFile(const std::string& path);

}  // namespace Orvane::Core::Lumeth::Cli::Testing
