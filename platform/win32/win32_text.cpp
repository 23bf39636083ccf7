#include <windows.h>

#include <climits>

#include "platform/win32/win32_text.h"

namespace orvent {

namespace {

// The code page of the system's own files (error.txt), and the one a
// settings file saved by a Russian Windows editor is in.
constexpr UINT kLegacyCodePage = 1251;

}  // namespace

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty() || utf8.size() > INT_MAX) return {};
  const int size = static_cast<int>(utf8.size());
  UINT code_page = CP_UTF8;
  DWORD flags = MB_ERR_INVALID_CHARS;
  int length = ::MultiByteToWideChar(code_page, flags, utf8.data(), size, nullptr, 0);
  if (length == 0) {
    // Not UTF-8: a path typed into kelmora.ini in code page 1251 still names
    // the folder its writer meant, as it does on a system whose names are bytes.
    code_page = kLegacyCodePage;
    flags = 0;
    length = ::MultiByteToWideChar(code_page, flags, utf8.data(), size, nullptr, 0);
  }
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(code_page, flags, utf8.data(), size, wide.data(), length);
  return wide;
}

std::string Narrow(std::wstring_view utf16) {
  if (utf16.empty() || utf16.size() > INT_MAX) return {};
  const int size = static_cast<int>(utf16.size());
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, narrow.data(), length, nullptr, nullptr);
  return narrow;
}

}  // namespace orvent
