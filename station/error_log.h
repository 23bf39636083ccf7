#pragma once

#include <cstdint>
#include <system_error>
#include <string>

namespace orvent {

inline constexpr char kErrorLogFileName[] = "error.txt";

// The station's own error-log numbers. The others belong to the places that
// catch their failures: the watchdog (9, receiver/message_decoder.h) and the
// spool (11 to 14, delivery/spool_folder.h).
enum ErrorNumber : std::int32_t {
  kErrorRawLog = 15,         // the raw log kelmora.log cannot be written
  kErrorAckWrite = 16,       // an ACK could not be written to the port
  kErrorPortSelection = 19,
};

// The bytes of one line: "ошибка №" in code page 1251, the number in decimal,
// CR LF. The log carries nothing else: no time, no text.
std::string ErrorLogLine(std::int32_t number);

// error.txt in the working directory: append-only, opened and closed for
// every line. A line that cannot be written is the caller's to tell.
class ErrorLog {
public:
  explicit ErrorLog(const std::string& dir);

  // The system's refusal when the line could not be written.
  [[nodiscard]] std::error_code LogError(std::int32_t number) const;
  const std::string& Path() const { return path_; }

private:
  std::string path_;
};

}  // namespace orvent
