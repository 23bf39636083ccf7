#include "platform/serial_names.h"

#include <algorithm>

#include "platform/serial_device.h"

namespace orvent {
namespace {

constexpr std::string_view kComPrefix = "COM";

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

}  // namespace

std::string_view WithoutDevicePrefix(std::string_view name) {
  if (name.starts_with(kWindowsDevicePrefix)) name.remove_prefix(kWindowsDevicePrefix.size());
  return name;
}

std::optional<unsigned> PortNumber(std::string_view digits) {
  if (digits.empty() || digits.front() == '0') return std::nullopt;
  unsigned value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > kMaxComNumber) return std::nullopt;
  }
  return value;
}

std::optional<unsigned> ComPortNumber(std::string_view name) {
  if (name.size() <= kComPrefix.size() || !EqualsIgnoringCase(name.substr(0, kComPrefix.size()), kComPrefix)) {
    return std::nullopt;
  }
  return PortNumber(name.substr(kComPrefix.size()));
}

std::vector<std::string> ComPortsBeyondScan(const std::vector<std::string>& listed) {
  std::vector<unsigned> numbers;
  for (const std::string& name : listed) {
    const std::optional<unsigned> n = ComPortNumber(name);
    if (n && (*n < static_cast<unsigned>(kFirstScannedPort) || *n > static_cast<unsigned>(kLastScannedPort))) {
      numbers.push_back(*n);
    }
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  std::vector<std::string> names;
  for (const unsigned n : numbers) names.push_back(std::string(kComPrefix) + std::to_string(n));
  return names;
}

}  // namespace orvent
