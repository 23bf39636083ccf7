#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvent {

// A text log that stays bounded on a disk nobody watches: orvent-service
// run as a service, without a console, writes its status lines here. Lines
// are appended to `<stem>.txt` in `folder`; a line that would take that file
// past `max_bytes` first moves it aside to `<stem>.1.txt`, the older ones to
// .2, .3 and on, and only `kept` older files survive. The file is opened for
// each line, so anyone may read, move or delete it meanwhile.
class RotatingLog {
public:
  RotatingLog(std::string folder, std::string stem, std::uint64_t max_bytes, int kept);

  // Appends `line` and the platform's line end. False when the disk
  // refused: a log is never a reason to stop the driver.
  bool Write(std::string_view line);

  // The file of the newest lines (0) or an older one (1 to kept).
  std::string FileAt(int index) const;

private:
  void Rotate();

  std::string folder_;
  std::string stem_;
  std::uint64_t max_bytes_;
  int kept_;
};

}  // namespace orvent
