#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/paths.h"

namespace orvent {

const char kPathSeparator = '/';

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::error_code ChangeCurrentDirectory(const std::string& path) {
  return ::chdir(path.c_str()) == 0 ? std::error_code{} : std::error_code(errno, std::generic_category());
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && path.back() != kPathSeparator) path += kPathSeparator;
  path += name;
  return path;
}

std::string_view FolderPart(std::string_view path) {
  const std::size_t separator = path.rfind(kPathSeparator);
  return separator == std::string_view::npos ? std::string_view() : path.substr(0, separator + 1);
}

}  // namespace orvent
