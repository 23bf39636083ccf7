#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "support/child_process.h"

namespace orvent::test {

// The full path of `name` on PATH; empty when it is not there.
inline std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// A virtual X display of the test's own. Xvfb picks a free display number
// itself (-displayfd) and writes it once it accepts connections, so nothing
// has to be guessed or waited out. Stopping the process takes the display
// away from every program on it.
class XvfbDisplay {
public:
  // `screen`: Xvfb's "WIDTHxHEIGHTxDEPTH".
  explicit XvfbDisplay(const std::string& screen = "640x480x24") {
    const std::string path = FindOnPath("Xvfb");
    if (path.empty()) {
      throw std::runtime_error("Xvfb is not installed (Debian package xvfb; tools/install-deps.sh installs it)");
    }
    ChildOptions options;
    options.MergeStderr = true;
    process_.emplace(path, std::vector<std::string>{"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", screen},
                     options);
    // Its complaints (fonts, extensions) may come first.
    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (const auto line = process_->ReadLine(deadline)) {
      if (!line->empty() && line->find_first_not_of("0123456789") == std::string::npos) {
        display_ = ":" + *line;
        return;
      }
      said += *line + "\n";
    }
    throw std::runtime_error("Xvfb gave no display number within 10 s:\n" + said);
  }

  // ":N", for DISPLAY.
  const std::string& Display() const { return display_; }
  ChildProcess& Process() { return *process_; }

private:
  std::optional<ChildProcess> process_;
  std::string display_;
};

}  // namespace orvent::test
