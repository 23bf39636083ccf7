#pragma once

#include <string>
#include <string_view>

namespace orvent {

// The program keeps paths and names as UTF-8; the system's wide calls take
// UTF-16. Bytes that are not UTF-8 become U+FFFD.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace orvent
