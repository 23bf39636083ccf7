// Placeholder until the Windows file calls are written: every call fails.
#include "platform/files.h"

namespace orvent {
namespace {
std::error_code NotYet() { return std::make_error_code(std::errc::function_not_supported); }
}  // namespace

std::error_code ReadWholeFile(const std::string&, std::string&) { return NotYet(); }
std::error_code AppendToFile(const std::string&, std::string_view) { return NotYet(); }
std::error_code ReplaceFileContents(const std::string&, std::string_view) { return NotYet(); }
std::error_code WriteNewFileFlushed(const std::string&, std::string_view) { return NotYet(); }
std::error_code MoveFileNoReplace(const std::string&, const std::string&) { return NotYet(); }
std::error_code FlushFolderOf(const std::string&) { return NotYet(); }
std::error_code RemoveFile(const std::string&) { return NotYet(); }
std::error_code ReadFileUpTo(const std::string&, std::size_t, std::string&) { return NotYet(); }
bool VisitMatches(const std::string&, std::string_view, const std::function<void(std::string_view)>&) { return false; }
std::optional<std::vector<std::string>> ListMatches(const std::string&, std::string_view) { return std::nullopt; }

}  // namespace orvent
