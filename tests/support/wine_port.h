#pragma once

#include <unistd.h>

#include <string>
#include <system_error>
#include <vector>

namespace orvent::test {

// Where Wine runs the Windows build's programs: the script that starts one
// (tests/wine_run.sh), the Wine binary and the Wine prefix.
struct WineSetup {
  std::string RunScript;
  std::string Wine;
  std::string Prefix;
};

// A COM port of the Wine prefix that is a given Unix device (a
// pseudo-terminal): the link $WINEPREFIX/dosdevices/comN -> device, removed
// when this goes. Wine follows the link at each open, so no restart is
// needed. Numbers from 40 up stay clear of Wine's own ports for /dev/ttyS*;
// tests that run at the same time each take a number of their own: 40-45
// the serial tests, 60-61 orvent-service.exe from a console, 62-63 the
// window program, 64 orvent-service.exe under the service manager.
class WineComPort {
public:
  WineComPort(const WineSetup& wine, unsigned number, const std::string& device)
      : name_("COM" + std::to_string(number)), link_(wine.Prefix + "/dosdevices/com" + std::to_string(number)) {
    ::unlink(link_.c_str());  // left over by a test that was killed
    ok_ = ::symlink(device.c_str(), link_.c_str()) == 0;
  }
  ~WineComPort() {
    if (ok_) ::unlink(link_.c_str());
  }
  WineComPort(const WineComPort&) = delete;
  WineComPort& operator=(const WineComPort&) = delete;

  bool ok() const { return ok_; }
  // The port's name for the Windows program: "COM41".
  const std::string& Name() const { return name_; }

private:
  std::string name_;
  std::string link_;
  bool ok_ = false;
};

// The command line that runs a Windows program (its .exe path, or a program
// of Wine's own such as "reg") with `args` under Wine in the prefix: argv[0]
// is the executable to start. Wine writes its own messages to the standard
// error, which goes to `stderr_path`, as the program's does.
inline std::vector<std::string> WineCommand(const WineSetup& wine, const std::string& program,
                                            const std::vector<std::string>& args,
                                            const std::string& stderr_path = "/dev/null") {
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>>\"$0\"", stderr_path,
                                   wine.RunScript, wine.Wine, wine.Prefix, program};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace orvent::test
