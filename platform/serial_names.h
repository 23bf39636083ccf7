#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvent {

// Port names as both systems read them, shared by their serial devices.

// The Windows device namespace in front of a port name: "\\.\COM12".
inline constexpr std::string_view kWindowsDevicePrefix = "\\\\.\\";
// Highest port number that still maps; far above any real machine's count.
inline constexpr unsigned kMaxComNumber = 4096;

// `name` without a leading "\\.\".
std::string_view WithoutDevicePrefix(std::string_view name);

// The decimal number of a whole text of digits without a leading zero, up
// to kMaxComNumber.
std::optional<unsigned> PortNumber(std::string_view digits);

// n of a "COMn" name (any case, n from 1); nothing for any other name.
std::optional<unsigned> ComPortNumber(std::string_view name);

// The "COMn" names among `listed` (any case) that the port scan does not
// probe by number, each once as "COMn", in number order.
std::vector<std::string> ComPortsBeyondScan(const std::vector<std::string>& listed);

}  // namespace orvent
