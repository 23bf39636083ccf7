#include <windows.h>

#include <string>

#include "platform/paths.h"
#include "platform/win32/win32_error.h"
#include "platform/win32/win32_text.h"

namespace orvent {
namespace {

// Windows takes both separators; names the program makes use its own.
bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

const char kPathSeparator = '\\';

std::string CurrentDirectory() {
  const DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
  if (needed == 0) return {};
  std::wstring buffer(needed, L'\0');
  const DWORD length = ::GetCurrentDirectoryW(needed, buffer.data());
  if (length == 0 || length >= needed) return {};
  buffer.resize(length);
  return Narrow(buffer);
}

std::error_code ChangeCurrentDirectory(const std::string& path) {
  return ::SetCurrentDirectoryW(Widen(path).c_str()) ? std::error_code{} : LastWin32Error();
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && !IsSeparator(path.back())) path += kPathSeparator;
  path += name;
  return path;
}

std::string_view FolderPart(std::string_view path) {
  const std::size_t separator = path.find_last_of("\\/");
  if (separator != std::string_view::npos) return path.substr(0, separator + 1);
  // "D:name" is a name in drive D's current folder, which is where the
  // files of a prefix "D:" land and so where they must be looked for.
  const bool letter = path.size() >= 2 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return letter && path[1] == ':' ? path.substr(0, 2) : std::string_view();
}

}  // namespace orvent
