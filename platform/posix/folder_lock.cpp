#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/folder_lock.h"
#include "platform/paths.h"

namespace orvent {

struct FolderLock::Native {
  int fd = -1;
};

FolderLock::FolderLock(std::unique_ptr<Native> native) : native_(std::move(native)) {}

FolderLock::~FolderLock() {
  // Closing the descriptor drops the lock; the file stays for the next run.
  if (native_) ::close(native_->fd);
}

namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

// The process id the holder wrote into the file, if it reads as one.
std::optional<std::int64_t> HolderOf(int fd) {
  char text[32];
  const ssize_t n = ::pread(fd, text, sizeof text, 0);
  return n > 0 ? HolderOfText({text, static_cast<std::size_t>(n)}) : std::nullopt;
}

}  // namespace

FolderLockAttempt LockFolder(const std::string& folder) {
  const std::string path = JoinPath(folder, kFolderLockFileName);
  // A file another user made (a first run as root) can still be locked
  // read-only: flock needs no write access. A folder where the file cannot
  // be made at all is locked itself, without a process id to tell.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  bool writable = fd >= 0;
  if (fd < 0 && errno != ENOENT) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  FolderLockAttempt attempt;
  if (fd < 0) {
    attempt.Error = LastError();
    return attempt;
  }
  // flock, not fcntl's record locks: those of one process vanish when any of
  // its descriptors of the file closes, and they do not stop a thread of the
  // same program.
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      attempt.Error = std::make_error_code(std::errc::device_or_resource_busy);
      attempt.Holder = HolderOf(fd);
    } else {
      attempt.Error = LastError();
    }
    ::close(fd);
    return attempt;
  }
  if (writable) {
    const std::string pid = HolderText(::getpid(), "\n");
    // Only words for whoever is refused; the lock does not depend on them.
    if (::ftruncate(fd, 0) == 0) {
      [[maybe_unused]] const ssize_t put = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
  }
  auto native = std::make_unique<FolderLock::Native>();
  native->fd = fd;
  attempt.Lock = std::make_unique<FolderLock>(std::move(native));
  return attempt;
}

}  // namespace orvent
