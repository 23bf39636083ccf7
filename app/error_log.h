#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace orvent {

inline constexpr char kErrorLogFileName[] = "error.txt";

// The numbers that the driver writes to the error log, one per place that
// catches and survives a failure.
enum ErrorNumber : std::int32_t {
  kErrorReceiverWatchdog = 9,
  kErrorSpoolFileName = 11,
  kErrorSpoolWrite = 12,      // a record held in memory: its spool file could not be written
  kErrorSpoolBadFile = 13,    // an unreadable spool file was set aside
  kErrorPortSelection = 19,
};

// The bytes of one line: "ошибка №" in code page 1251, the number in decimal,
// CR LF. The log carries nothing else: no time, no text.
std::string ErrorLogLine(std::int32_t number);

class ErrorLogWriteError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// error.txt in the working directory: append-only, opened and closed for
// every line. A failure of its own file operations is raised to the caller,
// which does not catch it either.
class ErrorLog {
public:
  explicit ErrorLog(const std::string& dir);

  void LogError(std::int32_t number) const;
  const std::string& Path() const { return path_; }

private:
  std::string path_;
};

}  // namespace orvent
