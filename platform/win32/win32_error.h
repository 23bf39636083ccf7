#pragma once

#include <windows.h>

#include <system_error>

namespace orvent {

// The system's error codes (GetLastError, WSAGetLastError) as error codes
// whose message is the system's own text and which compare equal to the same
// std::errc conditions as the POSIX build's, so that callers test a port in
// use or a refused connection the same way on both systems.
const std::error_category& Win32Category();

inline std::error_code Win32Error(DWORD code) { return {static_cast<int>(code), Win32Category()}; }
inline std::error_code LastWin32Error() { return Win32Error(::GetLastError()); }

}  // namespace orvent
