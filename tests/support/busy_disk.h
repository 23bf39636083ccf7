#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace orvent::test {

// Another program that keeps the disk busy while it lives: four megabytes at
// a time, each written through with a sync, into `path` (beside the spool).
class BusyDisk {
public:
  explicit BusyDisk(const std::string& path)
      : thread_([this, path] {
          const std::vector<char> block(1 << 20, 'x');
          while (!stop_) {
            std::FILE* f = std::fopen(path.c_str(), "wb");
            if (f == nullptr) return;
            for (int i = 0; i < 4 && !stop_; ++i) std::fwrite(block.data(), 1, block.size(), f);
            std::fflush(f);
            ::fsync(::fileno(f));
            std::fclose(f);
          }
          std::error_code ignored;
          std::filesystem::remove(path, ignored);
        }) {}
  ~BusyDisk() {
    stop_ = true;
    thread_.join();
  }
  BusyDisk(const BusyDisk&) = delete;
  BusyDisk& operator=(const BusyDisk&) = delete;

private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace orvent::test
