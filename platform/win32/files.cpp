#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/win32/win32_error.h"
#include "platform/win32/win32_text.h"

namespace orvent {
namespace {

// Readers share everything: the spool may rename or remove a file while
// another thread or program (orvent-inspect, a backup) holds it open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Attributes a replaced file keeps (a read-only one is not replaced).
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// WriteFile and ReadFile take a DWORD; larger amounts go in pieces.
constexpr std::size_t kMaxIo = std::size_t{1} << 30;

class Handle {
public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (valid()) ::CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  // Closes now; the error of the close, if any.
  std::error_code Close() {
    const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
    return ::CloseHandle(handle) ? std::error_code{} : LastWin32Error();
  }

private:
  HANDLE handle_;
};

HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  return ::CreateFileW(Widen(path).c_str(), access, share, nullptr, disposition, flags, nullptr);
}

std::error_code WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min(bytes.size(), kMaxIo));
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) return LastWin32Error();
    // A write that takes nothing would never end.
    if (written == 0) return std::make_error_code(std::errc::io_error);
    bytes.remove_prefix(written);
  }
  return {};
}

// Reads to the end into `out`; more than `limit` bytes is an error and
// leaves `out` empty.
std::error_code ReadToEnd(HANDLE file, std::size_t limit, std::string& out) {
  char buffer[16384];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF) return {};
      out.clear();
      return Win32Error(error);
    }
    if (got == 0) return {};
    if (got > limit - out.size()) {
      out.clear();
      return std::make_error_code(std::errc::file_too_large);
    }
    out.append(buffer, got);
  }
}

// Closes and reports the first of the two errors.
std::error_code CloseKeeping(Handle& file, std::error_code first) {
  const std::error_code closed = file.Close();
  return first ? first : closed;
}

// The folder of a prefix as the system's calls take it: "." for none.
std::string FolderToOpen(std::string_view folder) { return folder.empty() ? std::string(".") : std::string(folder); }

bool IsFolder(std::string_view folder) {
  const DWORD attributes = ::GetFileAttributesW(Widen(FolderToOpen(folder)).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// 1970-01-01 in the 100-nanosecond ticks since 1601 that file times count.
constexpr std::int64_t kFileTimeOf1970 = 116'444'736'000'000'000;

bool Matches(std::string_view name, std::string_view start, std::string_view suffix) {
  return name.size() >= start.size() + suffix.size() && name.starts_with(start) && name.ends_with(suffix);
}

}  // namespace

std::error_code ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  Handle file(Open(path, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  if (!file.valid()) return LastWin32Error();
  return CloseKeeping(file, ReadToEnd(file.get(), std::numeric_limits<std::size_t>::max(), out));
}

std::error_code AppendToFile(const std::string& path, std::string_view bytes) {
  // Append access alone: every write lands at the end, even when another
  // program appends to the same file meanwhile.
  Handle file(Open(path, FILE_APPEND_DATA, kShareAll, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL));
  if (!file.valid()) return LastWin32Error();
  return CloseKeeping(file, WriteAll(file.get(), bytes));
}

std::error_code ReplaceFileContents(const std::string& path, std::string_view bytes) {
  const DWORD old = ::GetFileAttributesW(Widen(path).c_str());
  // A read-only file is not to be changed: Windows refuses to replace one.
  // Asked first, so that nothing is written and the answer does not depend
  // on the file system underneath (Wine's would replace it).
  if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY) != 0) return Win32Error(ERROR_ACCESS_DENIED);
  // The new file takes the old one's attributes; its access rights come from
  // the folder, as those of any new file.
  const DWORD attributes =
      old == INVALID_FILE_ATTRIBUTES || (old & kKeptAttributes) == 0 ? FILE_ATTRIBUTE_NORMAL : old & kKeptAttributes;

  const std::string temp = path + ".tmp-" + std::to_string(::GetCurrentProcessId());
  Handle file(Open(temp, GENERIC_WRITE, 0, CREATE_ALWAYS, attributes));
  if (!file.valid()) return LastWin32Error();
  std::error_code error = WriteAll(file.get(), bytes);
  if (!error && !::FlushFileBuffers(file.get())) error = LastWin32Error();
  error = CloseKeeping(file, error);
  if (!error && !::MoveFileExW(Widen(temp).c_str(), Widen(path).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = LastWin32Error();
  }
  if (error) ::DeleteFileW(Widen(temp).c_str());
  return error;
}

std::error_code WriteNewFileFlushed(const std::string& path, std::string_view bytes) {
  Handle file(Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL));
  if (!file.valid()) return LastWin32Error();
  std::error_code error = WriteAll(file.get(), bytes);
  if (!error && !::FlushFileBuffers(file.get())) error = LastWin32Error();
  error = CloseKeeping(file, error);
  if (error) ::DeleteFileW(Widen(path).c_str());
  return error;
}

std::error_code MoveFileNoReplace(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING a taken name fails the move
  // (ERROR_ALREADY_EXISTS); write-through: the call returns once the new
  // name is on disk.
  if (::MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_WRITE_THROUGH)) return {};
  return LastWin32Error();
}

std::error_code FlushFolderOf(const std::string& path) {
  const std::string_view folder = FolderPart(path);
  Handle handle(Open(FolderToOpen(folder), GENERIC_WRITE, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
  // Opening a folder for writing, and flushing it, may need rights a
  // station's account lacks, and some file systems cannot flush a folder.
  // The names this program gives reach the disk without it: renames go
  // write-through (MoveFileNoReplace, ReplaceFileContents), and a new file's
  // own flush commits its creation to the file system's log. So a refusal
  // of a folder that is there leaves nothing unflushed; a missing folder is
  // an error.
  if (!handle.valid()) {
    const DWORD error = ::GetLastError();
    return error == ERROR_ACCESS_DENIED && IsFolder(folder) ? std::error_code{} : Win32Error(error);
  }
  std::error_code error;
  if (!::FlushFileBuffers(handle.get())) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_ACCESS_DENIED && code != ERROR_INVALID_FUNCTION && code != ERROR_NOT_SUPPORTED) {
      error = Win32Error(code);
    }
  }
  return CloseKeeping(handle, error);
}

std::error_code RemoveFile(const std::string& path) {
  return ::DeleteFileW(Widen(path).c_str()) ? std::error_code{} : LastWin32Error();
}

std::error_code MakeFolder(const std::string& path) {
  if (::CreateDirectoryW(Widen(path).c_str(), nullptr)) return {};
  const DWORD error = ::GetLastError();
  return error == ERROR_ALREADY_EXISTS && IsFolder(path) ? std::error_code{} : Win32Error(error);
}

const char kTextLineEnd[] = "\r\n";

std::error_code ReadFileUpTo(const std::string& path, std::size_t limit, std::string& out, LinkRule links) {
  out.clear();
  // Backup semantics open a folder too, and an open reparse point is the
  // link itself, not what it points to: both are then refused as what they
  // are rather than as a missing or forbidden file.
  Handle file(Open(path, GENERIC_READ, kShareAll, OPEN_EXISTING,
                   FILE_FLAG_BACKUP_SEMANTICS |
                       (links == LinkRule::Refuse ? FILE_FLAG_OPEN_REPARSE_POINT : DWORD{0})));
  if (!file.valid()) return LastWin32Error();
  // A device (a name such as COM1 or NUL) or a pipe is no file on disk; it
  // is never read, so nothing waits for it.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
    return CloseKeeping(file, std::make_error_code(std::errc::invalid_argument));
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) return CloseKeeping(file, LastWin32Error());
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return CloseKeeping(file, std::make_error_code(std::errc::invalid_argument));
  }
  const std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  if (size > limit) return CloseKeeping(file, std::make_error_code(std::errc::file_too_large));
  // The file may grow while it is read; the limit holds all the same.
  return CloseKeeping(file, ReadToEnd(file.get(), limit, out));
}

std::optional<FileStamp> StampOfFile(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (!::GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &info)) return std::nullopt;
  const std::uint64_t written =
      (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
  return FileStamp{(std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
                   (static_cast<std::int64_t>(written) - kFileTimeOf1970) * 100};
}

bool IsFolder(const std::string& path) { return IsFolder(std::string_view(path)); }

std::error_code CheckFolderWritable(const std::string& folder) {
  const DWORD attributes = ::GetFileAttributesW(Widen(FolderToOpen(folder)).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastWin32Error();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return std::make_error_code(std::errc::not_a_directory);
  // A folder's read-only attribute does not forbid new files, and its access
  // list is only known by trying: the first write tells.
  return {};
}

std::optional<std::uint64_t> FreeSpaceOf(const std::string& folder) {
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(Widen(FolderToOpen(folder)).c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

bool VisitMatches(const std::string& path_prefix, std::string_view suffix,
                  const std::function<void(std::string_view name)>& visit) {
  const std::string_view folder = FolderPart(path_prefix);
  const std::string_view start = std::string_view(path_prefix).substr(folder.size());
  WIN32_FIND_DATAW entry{};
  const HANDLE find = ::FindFirstFileExW(Widen(std::string(folder) + "*").c_str(), FindExInfoBasic, &entry,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    // Nothing matches "*" only in a folder without "." and "..", such as an
    // empty drive's root: a readable folder all the same.
    return ::GetLastError() == ERROR_FILE_NOT_FOUND && IsFolder(folder);
  }
  do {
    const std::string name = Narrow(entry.cFileName);
    if (Matches(name, start, suffix)) visit(name);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return true;
}

}  // namespace orvent
