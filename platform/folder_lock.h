#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace orvent {

// The file in a working folder that marks it as taken by a running program.
inline constexpr char kFolderLockFileName[] = "orvent.lock";

// One program per working folder: two drivers on one folder would share the
// port and the spool, and each would count the other's records as its own.
// The lock is the system's (an advisory lock on Linux, a file opened for
// writing without sharing on Windows), so it goes with the process however
// that ends, a kill included; the file itself may stay behind.
class FolderLock {
public:
  struct Native;
  explicit FolderLock(std::unique_ptr<Native> native);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

private:
  std::unique_ptr<Native> native_;
};

// What taking the lock gave: the lock, or why not. `error` is
// std::errc::device_or_resource_busy when another program holds it, and then
// `holder` is its process id where the system tells it; any other error
// means the lock could not be taken at all (a folder that refuses the file).
struct FolderLockAttempt {
  std::unique_ptr<FolderLock> Lock;
  std::error_code Error;
  std::optional<std::int64_t> Holder;
};

// Takes the lock of `folder` (empty: the working directory) without waiting.
FolderLockAttempt LockFolder(const std::string& folder);

// What the holder writes into the lock's file (its process id and a line
// end), and what a refused program reads back from it: nullopt unless it
// begins with a positive number.
std::string HolderText(std::int64_t pid, const char* line_end);
std::optional<std::int64_t> HolderOfText(std::string_view text);

}  // namespace orvent
