#include <windows.h>

#include <string>

#include "platform/folder_lock.h"
#include "platform/paths.h"
#include "platform/win32/win32_error.h"
#include "platform/win32/win32_text.h"

namespace orvent {

struct FolderLock::Native {
  HANDLE file = INVALID_HANDLE_VALUE;
};

FolderLock::FolderLock(std::unique_ptr<Native> native) : native_(std::move(native)) {}

FolderLock::~FolderLock() {
  if (native_) ::CloseHandle(native_->file);
}

namespace {

HANDLE Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
  return ::CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The process id the holder wrote into the file, if it reads as one. The
// holder shares reading for this.
std::optional<std::int64_t> HolderOf(const std::wstring& path) {
  const HANDLE file = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  char text[32];
  DWORD got = 0;
  const BOOL read = ::ReadFile(file, text, sizeof text, &got, nullptr);
  ::CloseHandle(file);
  return read && got > 0 ? HolderOfText({text, got}) : std::nullopt;
}

}  // namespace

FolderLockAttempt LockFolder(const std::string& folder) {
  const std::wstring path = Widen(JoinPath(folder, kFolderLockFileName));
  FolderLockAttempt attempt;
  // Opened for writing with reading shared: a second program's open for
  // writing fails with a sharing violation while this handle lives, and it
  // can still read who holds it. A file it may not write (another user's)
  // is opened for reading without any sharing, which excludes the same way.
  bool writable = true;
  HANDLE file = Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
    writable = false;
    file = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
  }
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) {
      attempt.Error = std::make_error_code(std::errc::device_or_resource_busy);
      attempt.Holder = HolderOf(path);
    } else {
      attempt.Error = Win32Error(code);
    }
    return attempt;
  }
  if (writable) {
    // Only words for whoever is refused; the lock does not depend on them.
    const std::string pid = HolderText(::GetCurrentProcessId(), "\r\n");
    DWORD put = 0;
    if (::SetEndOfFile(file)) ::WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &put, nullptr);
  }
  auto native = std::make_unique<FolderLock::Native>();
  native->file = file;
  attempt.Lock = std::make_unique<FolderLock>(std::move(native));
  return attempt;
}

}  // namespace orvent
