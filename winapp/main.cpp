// orvent-driver.exe: the receiver driver's window program for Windows. It
// works in the folder it was started in (kelmora.ini, the spool, the logs);
// its only options are --help and --version. It ends in order when the
// operator closes it with the close code, when the session ends (logoff,
// shutdown) and, started from a console, on the console's Ctrl+C or close.
#include <windows.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/poll_event_loop.h"
#include "platform/termination_signal.h"
#include "platform/win32/loop_messages.h"
#include "platform/win32/win32_text.h"
#include "station/command_line.h"
#include "winapp/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  // The command line as the other programs take it: UTF-8.
  std::vector<std::string> args;
  for (int i = 0; i < __argc; ++i) args.push_back(orvent::Narrow(__wargv[i]));
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (const auto done = orvent::HandleCommandLine(
          static_cast<int>(args.size()), argv.data(), "orvent-driver",
          "The receiver driver with its window; its status lines also go to standard error.")) {
    return *done;
  }
  // Started from a console, the program joins it, so that the console's
  // Ctrl+C and close end it in order; started otherwise it has none.
  ::AttachConsole(ATTACH_PARENT_PROCESS);
  // Before any thread starts, as the service does.
  orvent::TerminationSignal termination;
  orvent::PrepareConsoleOutput();
  try {
    orvent::PollEventLoop loop;
    orvent::TakeWindowMessagesInLoopWait();
    orvent::DriverWindow window(instance, loop);
    if (const auto handle = termination.WaitHandle()) {
      loop.WatchReadable(*handle, [&] {
        if (termination.Take() != 0) window.EndWithoutAsking();
      });
    }
    // The exit status when another program works in the same folder.
    constexpr int kFolderTaken = 6;
    if (!window.Start(show)) return kFolderTaken;
    const std::error_code failed = loop.Run();
    if (failed) std::fprintf(stderr, "Сбой цикла событий: %s\n", failed.message().c_str());
    window.EndWithoutAsking();
    return failed ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
