#include "common/parse_int.h"

namespace orvent {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view UpToNul(std::string_view text) {
  const auto nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

}  // namespace

std::optional<std::int32_t> TryParseInt(std::string_view text) {
  text = UpToNul(text);
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::string_view rest = text.substr(i);

  bool hex = false;
  if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
    hex = true;
    rest.remove_prefix(1);
  } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    hex = true;
    rest.remove_prefix(2);
  }
  if (rest.empty()) return std::nullopt;

  if (hex) {
    std::uint32_t value = 0;
    for (char c : rest) {
      const int d = HexDigit(c);
      if (d < 0) return std::nullopt;
      // More than 32 significant bits: the digits shifted out are not zero.
      if (value > 0x0FFF'FFFFu) return std::nullopt;
      value = (value << 4) | static_cast<std::uint32_t>(d);
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
  }

  // Accumulate as a magnitude; 2147483648 is allowed only with the minus sign.
  const std::uint64_t limit = negative ? 2'147'483'648ull : 2'147'483'647ull;
  std::uint64_t magnitude = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  const auto as_unsigned = static_cast<std::uint32_t>(magnitude);
  return static_cast<std::int32_t>(negative ? 0u - as_unsigned : as_unsigned);
}

std::int32_t ParseIntOr(std::string_view text, std::int32_t fallback) {
  return TryParseInt(text).value_or(fallback);
}

std::string NotAnIntegerMessage(std::string_view text) {
  return "'" + std::string(UpToNul(text)) + "' is not a valid integer value";
}

std::int32_t ParseInt(std::string_view text) {
  if (const auto value = TryParseInt(text)) return *value;
  throw EConvertError(NotAnIntegerMessage(text));
}

}  // namespace orvent
