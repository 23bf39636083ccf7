#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace orvent {

// The separator between a folder and a name on this platform.
extern const char kPathSeparator;

// The process's working directory, taken once at start-up by its users.
// Empty when the system cannot say.
std::string CurrentDirectory();

// Makes `path` the working directory, so that relative names (in the
// settings file too) resolve there. Only at start-up, before the working
// directory is taken and before any thread starts.
std::error_code ChangeCurrentDirectory(const std::string& path);

// dir + separator + name, without doubling a separator that dir already ends in.
// An empty dir gives the name alone (the working directory).
std::string JoinPath(std::string_view dir, std::string_view name);

// The folder part of a path or of a path prefix: everything up to and
// including its last separator; empty when it has none (the working directory).
// On Windows a drive without a separator ("D:" of "D:name") is that drive's
// current folder.
std::string_view FolderPart(std::string_view path);

}  // namespace orvent
