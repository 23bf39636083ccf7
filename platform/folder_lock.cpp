#include "platform/folder_lock.h"

#include <charconv>

namespace orvent {

std::string HolderText(std::int64_t pid, const char* line_end) { return std::to_string(pid) + line_end; }

std::optional<std::int64_t> HolderOfText(std::string_view text) {
  std::int64_t pid = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (error != std::errc{} || end == text.data() || pid <= 0) return std::nullopt;
  return pid;
}

}  // namespace orvent
