#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

namespace orvent::test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the test ends.
class TempDir {
public:
  TempDir() {
    // A name nobody has taken: create_directory fails on one that exists.
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "orvent-test-%08x", static_cast<unsigned>(random()));
      std::error_code error;
      if (std::filesystem::create_directory(base / name, error)) {
        path_ = (base / name).string();
        return;
      }
    }
    std::abort();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The folder as a spool prefix: its path with the trailing separator.
  std::string Prefix() const { return path_ + "/"; }
  std::string File(std::string_view name) const { return path_ + "/" + std::string(name); }

  void Write(std::string_view name, std::string_view bytes) const {
    std::ofstream(File(name), std::ios::binary) << bytes;
  }
  std::string Read(std::string_view name) const {
    std::ifstream in(File(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  bool Exists(std::string_view name) const { return std::filesystem::exists(File(name)); }

private:
  std::string path_;
};

}  // namespace orvent::test
