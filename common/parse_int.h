#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace orvent {

// The one rule by which the system reads an integer from text: message
// fields, settings values and the version text all go through it.
//
//   - the text ends at its end or at its first NUL byte;
//   - leading blanks are skipped, then one "+" or "-" may follow;
//   - "$", "x", "X", "0x" or "0X" introduce 1 or more hexadecimal digits of at
//     most 32 significant bits, taken as a two's-complement 32-bit value;
//   - otherwise 1 or more decimal digits that fit a signed 32-bit integer;
//   - anything else (empty, a trailing blank, an overflow) does not follow it.
std::optional<std::int32_t> TryParseInt(std::string_view text);

// The value of the text, or `fallback` when it does not follow the rule.
std::int32_t ParseIntOr(std::string_view text, std::int32_t fallback);

// What ParseInt raises; its message is "'<text>' is not a valid integer value".
class EConvertError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The value of the text; raises EConvertError when it does not follow the rule.
std::int32_t ParseInt(std::string_view text);

// The message ParseInt gives for a text (cut at its first NUL, as read).
std::string NotAnIntegerMessage(std::string_view text);

}  // namespace orvent
