#pragma once

// A scratch directory under the system's temporary directory, removed with
// everything in it when the object goes away.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <string_view>

namespace Orvane::Core::Lumeth {

class TempDirectory {
 public:
  TempDirectory() {
    std::random_device seed;
    const auto tag = std::to_string((std::uint64_t{seed()} << 32) | seed());
    path_ = std::filesystem::temp_directory_path() / ("lumeth-import-test-" + tag);
    std::filesystem::create_directories(path_);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  void write(std::string_view name, std::span<const std::uint8_t> bytes) const {
    std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  void write(std::string_view name, std::string_view text) const {
    std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }

 private:
  std::filesystem::path path_;
};

}  // namespace Orvane::Core::Lumeth
