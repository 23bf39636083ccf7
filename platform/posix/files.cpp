#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"

namespace orvent {
namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

std::error_code WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// Closes and reports the first of the two errors.
std::error_code CloseKeeping(int fd, std::error_code first) {
  const bool closed = ::close(fd) == 0;
  if (first) return first;
  return closed ? std::error_code{} : LastError();
}

}  // namespace

std::error_code ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return LastError();
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return CloseKeeping(fd, LastError());
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return CloseKeeping(fd, {});
}

std::error_code AppendToFile(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return LastError();
  return CloseKeeping(fd, WriteAll(fd, bytes));
}

std::error_code ReplaceFileContents(const std::string& path, std::string_view bytes) {
  struct stat old {};
  const bool existed = ::stat(path.c_str(), &old) == 0;
  const mode_t mode = existed ? (old.st_mode & 07777) : 0666;

  const std::string temp = path + ".tmp-" + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return LastError();
  // The creation mode passes through the umask; an existing file keeps its bits.
  if (existed) (void)::fchmod(fd, mode);
  std::error_code error = WriteAll(fd, bytes);
  if (!error && ::fsync(fd) != 0) error = LastError();
  error = CloseKeeping(fd, error);
  if (!error && ::rename(temp.c_str(), path.c_str()) != 0) error = LastError();
  if (error) ::unlink(temp.c_str());
  return error;
}

}  // namespace orvent
