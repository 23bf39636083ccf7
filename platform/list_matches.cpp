// The listing both systems share: their own VisitMatches, with the folder put
// in front of each name.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"

namespace orvent {

std::optional<std::vector<std::string>> ListMatches(const std::string& path_prefix, std::string_view suffix) {
  std::vector<std::string> paths;
  const std::string folder(FolderPart(path_prefix));
  if (!VisitMatches(path_prefix, suffix, [&](std::string_view name) { paths.push_back(folder + std::string(name)); })) {
    return std::nullopt;
  }
  return paths;
}

}  // namespace orvent
