#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"

// The built programs as processes: the driver in a working folder of its
// own, receiver-sim on a pseudo-terminal. For the end-to-end tests and the
// whole-process benchmarks; the including target defines ORVENT_DRIVER and
// ORVENT_RECEIVER_SIM as the programs' paths.
namespace orvent::test {

// The ComPort value that means no port.
inline constexpr char kNoComPort[] = "COM255";

// The settings the runs use; everything else keeps its default.
struct DriverIni {
  DriverIni(std::string com_port, std::uint16_t server_port, bool log = false)
      : ComPort(std::move(com_port)), ServerPort(server_port), Log(log) {}
  std::string ComPort;
  std::uint16_t ServerPort = 0;
  bool Log = false;
  // Further lines of the [main] section, "Key=value" each.
  std::vector<std::string> MainKeys;
  // Further sections, as written after the others ("[Razdels]\n12_1=7\n").
  std::string MoreSections;
};

inline std::string IniText(const DriverIni& ini) {
  std::string text = "[main]\nComPort=" + ini.ComPort + "\n";
  if (ini.Log) text += "Log=1\n";
  for (const std::string& line : ini.MainKeys) text += line + "\n";
  text += "[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(ini.ServerPort) + "\n";
  return text + ini.MoreSections;
}

// receiver-sim on a new pseudo-terminal. With --stdin among the arguments it
// sends what Send gives it, so a test can hold lines back until the driver's
// link is ready.
class ReceiverSim {
public:
  explicit ReceiverSim(const std::vector<std::string>& args, const std::string& path = ORVENT_RECEIVER_SIM)
      : process_(path, args, WithStdin()) {
    const auto first = process_.ReadLine(std::chrono::seconds(10));
    if (!first || first->rfind("device ", 0) != 0) throw std::runtime_error("receiver-sim gave no device");
    device_ = first->substr(7);
  }
  const std::string& Device() const { return device_; }
  bool Send(const std::string& line) { return process_.WriteInput(line + "\n"); }
  std::optional<std::string> ReadLine(std::chrono::milliseconds limit) { return process_.ReadLine(limit); }
  ChildProcess& Process() { return process_; }

  // Reads the receiver's reports until `count` lines were acknowledged; false
  // when one was lost or the limit passed. The report lines go to `reports`.
  bool WaitAcked(std::size_t count, std::chrono::milliseconds limit, std::vector<std::string>* reports = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (std::size_t acked = 0; acked < count;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      const auto line = left.count() > 0 ? process_.ReadLine(left) : std::nullopt;
      if (!line) return false;
      if (reports) reports->push_back(*line);
      if (line->rfind("line ", 0) != 0) continue;
      if (line->find(" ack_ms ") == std::string::npos) return false;
      ++acked;
    }
    return true;
  }

private:
  static ChildOptions WithStdin() {
    ChildOptions options;
    options.PipeStdin = true;
    return options;
  }

  ChildProcess process_;
  std::string device_;
};

// Where the driver's window goes: Qt's offscreen platform, or with an X
// display name (":3") that display through Qt's xcb platform.
struct DriverScreen {
  std::string X11Display;
};

// orvent-driver (or the program at `path`, with `args`: orvent-service, or a
// Windows build's program through Wine) started in `dir` after writing its
// kelmora.ini there, with `env` ("NAME=value") added to its environment. Its
// standard output and error (the link's status lines) are read as one stream.
class DriverProcess {
public:
  // With `output_is_journal` its output is the journal's stream, as under
  // systemd: its lines then carry their priorities.
  DriverProcess(const std::string& dir, const DriverIni& ini, const DriverScreen& screen = {},
                const std::string& path = ORVENT_DRIVER, const std::vector<std::string>& args = {},
                const std::vector<std::string>& env = {}, bool output_is_journal = false) {
    std::ofstream(dir + "/kelmora.ini", std::ios::binary) << IniText(ini);
    ChildOptions options;
    options.WorkDir = dir;
    options.MergeStderr = true;
    // Never a window on the developer's desktop unless a display is given.
    if (screen.X11Display.empty()) {
      options.Env = {"QT_QPA_PLATFORM=offscreen"};
    } else {
      options.Env = {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + screen.X11Display};
    }
    options.Env.insert(options.Env.end(), env.begin(), env.end());
    options.OutputIsJournal = output_is_journal;
    process_.emplace(path, args, options);
  }

  // Reads the driver's output until a line contains `text`.
  bool WaitFor(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      const auto line = left.count() > 0 ? process_->ReadLine(left) : std::nullopt;
      if (!line) return false;
      output_.push_back(*line);
      if (line->find(text) != std::string::npos) return true;
    }
  }

  // SIGTERM (or `sig`), then the exit code if the driver ends within the limit.
  std::optional<int> Terminate(std::chrono::milliseconds limit, int sig = SIGTERM) {
    process_->Signal(sig);
    return process_->WaitExit(limit);
  }

  // Every output line read so far, for failure messages.
  std::string Output() const {
    std::string all;
    for (const std::string& line : output_) all += line + "\n";
    return all;
  }
  ChildProcess& Process() { return *process_; }

private:
  std::optional<ChildProcess> process_;
  std::vector<std::string> output_;
};

// The receiver's pseudo-terminal opened once more, by the test, to take the
// terminal's exclusive mode off after the driver has been killed. The driver
// sets the mode when it opens the port and clears it when it closes it;
// killed, it cannot, and since receiver-sim keeps the terminal open the mode
// would stay and refuse the restarted driver's open (to anyone but root). A
// real port drops the mode at its last close, which Release stands in for.
// Made before the driver first opens the port.
class TerminalModeRelease {
public:
  explicit TerminalModeRelease(const std::string& device)
      : fd_(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + device);
  }
  ~TerminalModeRelease() { ::close(fd_); }
  TerminalModeRelease(const TerminalModeRelease&) = delete;
  TerminalModeRelease& operator=(const TerminalModeRelease&) = delete;

  void Release() { ::ioctl(fd_, TIOCNXCL); }

private:
  int fd_;
};

// Reads a msgserver-sim's frame lines until one starts with `prefix`.
inline std::optional<std::string> WaitFrame(MsgServerSim& server, const std::string& prefix,
                                            std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const auto line = left.count() > 0 ? server.ReadLine(left) : std::nullopt;
    if (!line || line->rfind(prefix, 0) == 0) return line;
  }
}

}  // namespace orvent::test
