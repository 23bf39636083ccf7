#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"

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

// Reads from fd to its end into `out`; more than `limit` bytes is an error
// and leaves `out` empty.
std::error_code ReadToEnd(int fd, std::size_t limit, std::string& out) {
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return {};
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (static_cast<std::size_t>(n) > limit - out.size()) {
      out.clear();
      return std::make_error_code(std::errc::file_too_large);
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

// Closes and reports the first of the two errors.
std::error_code CloseKeeping(int fd, std::error_code first) {
  const bool closed = ::close(fd) == 0;
  if (first) return first;
  return closed ? std::error_code{} : LastError();
}

bool Matches(std::string_view name, std::string_view start, std::string_view suffix) {
  return name.size() >= start.size() + suffix.size() && name.starts_with(start) && name.ends_with(suffix);
}

// Folder entries are read this many bytes at a time.
constexpr std::size_t kListChunk = 32768;

}  // namespace

std::error_code ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return LastError();
  return CloseKeeping(fd, ReadToEnd(fd, std::numeric_limits<std::size_t>::max(), out));
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

std::error_code WriteNewFileFlushed(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return LastError();
  std::error_code error = WriteAll(fd, bytes);
  if (!error && ::fsync(fd) != 0) error = LastError();
  error = CloseKeeping(fd, error);
  if (error) ::unlink(path.c_str());
  return error;
}

std::error_code MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return LastError();
  // Some file systems cannot rename without replacing; a hard link fails
  // just as surely when the name is taken, and the old name then goes.
  if (::link(from.c_str(), to.c_str()) != 0) return LastError();
  ::unlink(from.c_str());
  return {};
}

std::error_code FlushFolderOf(const std::string& path) {
  const std::string folder(FolderPart(path));
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return LastError();
  const std::error_code error = ::fsync(fd) == 0 ? std::error_code{} : LastError();
  return CloseKeeping(fd, error);
}

std::error_code RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? std::error_code{} : LastError();
}

std::error_code MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && IsFolder(path))) return {};
  return LastError();
}

const char kTextLineEnd[] = "\n";

std::error_code ReadFileUpTo(const std::string& path, std::size_t limit, std::string& out, LinkRule links) {
  out.clear();
  // O_NONBLOCK: a pipe under a file's name must not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                          (links == LinkRule::Refuse ? O_NOFOLLOW : 0));
  if (fd < 0) {
    // A symbolic link is refused as what it is, not as a missing file.
    if (errno == ELOOP) return std::make_error_code(std::errc::invalid_argument);
    return LastError();
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) return CloseKeeping(fd, LastError());
  if (!S_ISREG(info.st_mode)) return CloseKeeping(fd, std::make_error_code(std::errc::invalid_argument));
  if (static_cast<std::size_t>(info.st_size) > limit) {
    return CloseKeeping(fd, std::make_error_code(std::errc::file_too_large));
  }
  // The file may grow while it is read; the limit holds all the same.
  return CloseKeeping(fd, ReadToEnd(fd, limit, out));
}

std::optional<FileStamp> StampOfFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileStamp{static_cast<std::uint64_t>(info.st_size),
                   static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.empty() ? "." : path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::error_code CheckFolderWritable(const std::string& folder) {
  const std::string name = folder.empty() ? std::string(".") : folder;
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0) return LastError();
  if (!S_ISDIR(info.st_mode)) return std::make_error_code(std::errc::not_a_directory);
  // Creating a file needs write and search permission on the folder; a
  // read-only mount refuses it with EROFS, also for root.
  if (::access(name.c_str(), W_OK | X_OK) != 0) return LastError();
  return {};
}

std::optional<std::uint64_t> FreeSpaceOf(const std::string& folder) {
  struct statvfs info {};
  if (::statvfs(folder.empty() ? "." : folder.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

bool VisitMatches(const std::string& path_prefix, std::string_view suffix,
                  const std::function<void(std::string_view name)>& visit) {
  const std::string_view folder = FolderPart(path_prefix);
  const std::string_view start = std::string_view(path_prefix).substr(folder.size());
  const std::string to_open = folder.empty() ? std::string(".") : std::string(folder);
  const int fd = ::open(to_open.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<char> buffer(kListChunk);
  for (;;) {
    const ssize_t got = ::getdents64(fd, buffer.data(), buffer.size());
    if (got <= 0) break;
    for (ssize_t offset = 0; offset < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + offset);
      offset += entry->d_reclen;
      const std::string_view name(entry->d_name);
      if (Matches(name, start, suffix)) visit(name);
    }
  }
  ::close(fd);
  return true;
}

}  // namespace orvent
