#pragma once

#include <string>
#include <string_view>

namespace orvent {

// The program keeps paths and names as UTF-8; the system's wide calls take
// UTF-16. Text that is not UTF-8 is read as code page 1251 (a settings file
// saved by a Windows editor); Narrow gives UTF-8.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace orvent
