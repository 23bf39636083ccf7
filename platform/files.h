#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace orvent {

// Reads the whole file into `out`. An empty error code on success.
std::error_code ReadWholeFile(const std::string& path, std::string& out);

// Appends the bytes to the file, creating it when missing, and closes it
// again. Other programs may hold the file open meanwhile.
std::error_code AppendToFile(const std::string& path, std::string_view bytes);

// Replaces the file's contents as one step: the bytes go to a temporary file
// beside it, are flushed to disk and renamed over it, so a crash leaves either
// the old file or the new one. Keeps the old file's permission bits.
std::error_code ReplaceFileContents(const std::string& path, std::string_view bytes);

}  // namespace orvent
