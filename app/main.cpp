// orvent-driver: the receiver driver's window program. It works in the
// folder it was started in; its only options are --help and --version.
#include <QApplication>
#include <QMessageBox>
#include <cstdlib>

#include "app/main_window.h"
#include "app/qt_event_loop.h"
#include "platform/console.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "platform/termination_signal.h"
#include "station/command_line.h"
#include "station/station_view.h"

namespace {

// The window whose driver an exit() from inside the event loop must end.
orvent::TForm1* running_window = nullptr;

// The exit status when another program works in the same folder.
constexpr int kFolderTaken = 6;

}  // namespace

int main(int argc, char** argv) {
  if (const auto done = orvent::HandleCommandLine(argc, argv, "orvent-driver",
                                                  "The receiver driver with its window; without a display it runs "
                                                  "offscreen and writes its status lines to standard error.")) {
    return *done;
  }
  // Before any thread starts, so that no thread takes these signals itself.
  orvent::TerminationSignal termination;
  orvent::PrepareConsoleOutput();

  // Without a display the driver still runs, on the offscreen platform.
  if (!orvent::DisplayAvailable() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("orvent-driver"));
  QApplication::setApplicationDisplayName(QString::fromUtf8(orvent::kWindowTitle));
  // Hidden behind the notification-area icon, the window is not closed; the
  // program ends only through an accepted close request or a signal.
  QApplication::setQuitOnLastWindowClosed(false);

  orvent::DriverEnvironment env;
  env.WorkDir = orvent::CurrentDirectory();
  // Watched before the window is made: its start-up may already wait in a
  // modal warning (a port that will not open), and with no one at the screen
  // only a signal can end the program then.
  orvent::TForm1* window = nullptr;
  bool end_requested = false;
  orvent::QtEventLoop loop;
  if (const auto handle = termination.WaitHandle()) {
    loop.WatchReadable(*handle, [&] {
      if (termination.Take() == 0) return;
      if (window != nullptr) {
        window->Terminate();
        return;
      }
      // Still starting: the warning closes, and the program ends once started.
      end_requested = true;
      orvent::CloseOpenDialogs();
    });
  }

  orvent::TForm1 form(env);
  window = &form;
  if (!form.Core().Refusal().empty()) {
    // Another program works in this folder: said on standard error already,
    // and in a box for whoever sits at the screen.
    if (QGuiApplication::platformName() != QStringLiteral("offscreen") && !end_requested) {
      QMessageBox::critical(nullptr, QString::fromUtf8(orvent::kWindowTitle),
                            QString::fromStdString(form.Core().Refusal()));
    }
    return kFolderTaken;
  }
  if (end_requested) {
    form.Terminate();
    return 0;
  }
  // Qt ends the process with exit() when the display connection is lost
  // (the desktop session ends): the driver still ends in order then.
  running_window = &form;
  std::atexit([] {
    if (running_window != nullptr) running_window->EndDriver();
  });
  form.show();
  const int status = QApplication::exec();
  running_window = nullptr;
  return status;
}
