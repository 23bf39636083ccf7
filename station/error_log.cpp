#include "station/error_log.h"

#include "platform/files.h"
#include "platform/paths.h"

namespace orvent {

// "ошибка №" in code page 1251.
constexpr char kErrorWordCp1251[] = "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9";

std::string ErrorLogLine(std::int32_t number) {
  return std::string(kErrorWordCp1251) + std::to_string(number) + "\r\n";
}

ErrorLog::ErrorLog(const std::string& dir) : path_(JoinPath(dir, kErrorLogFileName)) {}

std::error_code ErrorLog::LogError(std::int32_t number) const { return AppendToFile(path_, ErrorLogLine(number)); }

}  // namespace orvent
