#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/qt_event_loop.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "station/station.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QTimer;
class QToolButton;

namespace orvent {

class TForm2;
class Tadvsm;

// Closes the modal windows that are up (an orderly end waits for nobody).
void CloseOpenDialogs();

// What the window is started with; tests replace the machine's parts.
struct DriverEnvironment {
  std::string WorkDir;                  // the working directory at start-up
  const Clock* clock = nullptr;         // the system's clocks when null
  SerialPorts* ports = nullptr;         // the machine's serial ports when null
  std::function<bool()> TrayAvailable;  // whether the desktop has a notification area
  std::function<std::uint32_t()> DrawCloseCode;  // the system's random source when empty
};

// The main window: the station's face. It builds the window, draws the
// station's view and passes the operator's actions on as the station's
// commands; it decides nothing about the driver.
class TForm1 : public QWidget, public StationFace {
  Q_OBJECT

public:
  explicit TForm1(DriverEnvironment env, QWidget* parent = nullptr);
  ~TForm1() override;

  // Header band and page buttons.
  QLabel* HeaderTitle = nullptr;
  QToolButton* AdvGlowButton28 = nullptr;  // "Состояние"
  QToolButton* AdvGlowButton47 = nullptr;  // "Настройки"
  // The station's health in words on its colour, and the last warning: on
  // every page, where nothing scrolls them away.
  QLabel* HealthBand = nullptr;
  QLabel* LastWarning = nullptr;
  QStackedWidget* Notebook1 = nullptr;
  QWidget* PageDefault = nullptr;
  QWidget* PageSetup = nullptr;

  // Page "Default".
  QLabel* Image2 = nullptr;   // station indicator
  QLabel* Image3 = nullptr;   // server indicator
  QLabel* Label6 = nullptr;   // start time
  QLabel* Label15 = nullptr;  // close code
  // The backlog: records waiting for the server, the oldest one's receive
  // time, the last acknowledged and the last confirmed.
  QLabel* BacklogWaiting = nullptr;
  QLabel* BacklogOldest = nullptr;
  QLabel* BacklogLastAcknowledged = nullptr;
  QLabel* BacklogLastConfirmed = nullptr;
  // Lines left without an ACK since the start, with the last reason.
  QLabel* Unacknowledged = nullptr;
  QPlainTextEdit* Memo1 = nullptr;

  // Page "setup".
  QComboBox* AdvOfficeComboBox1 = nullptr;  // port list
  QPushButton* AdvGlowButton2 = nullptr;    // start / stop
  QPushButton* AdvGlowButton1 = nullptr;    // rescan

  // Notification-area icon and its menu.
  QSystemTrayIcon* RxTrayIcon1 = nullptr;
  QMenu* TrayMenu = nullptr;
  QAction* N4 = nullptr;  // "Восстановить"
  QAction* N6 = nullptr;  // "Закрыть"

  TForm2* Form2 = nullptr;
  Tadvsm* advsm = nullptr;

  // The lines `Memo1` keeps; older ones go (a month with the server away
  // would otherwise hold half a gigabyte).
  static constexpr int kMemoLines = 1000;

  Station& Core() { return *station_; }

  // Handlers.
  void FormCreate();
  void AdvGlowButton1Click();
  void AdvGlowButton2Click();
  void AdvOfficeComboBox1Select();
  void AdvGlowButton28Click();
  void AdvGlowButton47Click();
  void ApplicationEvents1Minimize();
  void N4Click();
  void N6Click();

  // StationFace: what the station shows and asks, on the main thread.
  void ShowView(const StationView& view) override;
  // A status line in Memo1 (and on standard error, with its time, so a run
  // without a display can be followed).
  void ShowStatus(TDateTime at, Priority priority, const std::string& text) override;
  // The message form (its words were a status line already).
  void ShowWarning(TDateTime at, const std::string& text) override;
  void ShowFailure(const std::string& text) override;
  std::optional<std::string> AskCloseCode() override;

  // An orderly end without the close code (SIGTERM, SIGINT, SIGHUP,
  // SIGQUIT): as an accepted close request.
  void Terminate();
  // The driver's part of an orderly end, which touches no widget: what runs
  // when the program is made to exit under the window (a lost display).
  void EndDriver();

  const QImage& StationPicture() const { return station_picture_; }
  const QImage& ServerPicture() const { return server_picture_; }

  // Shows the notification-area icon once a notification area is there (a
  // panel may start after the driver); runs every few seconds.
  void CheckNotificationArea();
  // Whether minimising hides the window behind the notification-area icon:
  // only while the icon is shown, else it stays minimised on the taskbar.
  bool HidesWhenMinimised() const;

protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void BuildHeader();
  void BuildHealthBand();
  void BuildDefaultPage();
  void BuildSetupPage();
  void createTrayIcon();
  void wireConnections();
  void CloseInOrder();

  DriverEnvironment env_;
  QtEventLoop loop_;
  std::unique_ptr<Station> station_;
  QTimer* tray_check_ = nullptr;

  bool closing_ = false;         // an orderly end has begun: no more dialogs
  bool closed_ = false;
  bool ending_at_exit_ = false;  // the process is exiting: widgets are off limits
  std::optional<StationView> drawn_;  // the view the widgets show
  QImage station_picture_;
  QImage server_picture_;
};

}  // namespace orvent
