#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "station/error_log.h"
#include "app/qt_periodic_timer.h"
#include "station/settings.h"
#include "delivery/server_link.h"
#include "delivery/window_dispatcher.h"
#include "platform/clock.h"

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

class EventSpool;
class MessageDecoder;
class SerialPorts;
class TCommPortDriver;
class TForm2;
class Tadvsm;

// A close code: five decimal digits, 10000..99998, drawn anew at every start.
QString DrawCloseCode();

// Closes the modal windows that are up (an orderly end waits for nobody).
void CloseOpenDialogs();

// What the window is started with; tests replace the machine's parts.
struct DriverEnvironment {
  std::string WorkDir;                  // the working directory at start-up
  const Clock* clock = nullptr;         // the system's clocks when null
  SerialPorts* ports = nullptr;         // the machine's serial ports when null
  std::function<bool()> TrayAvailable;  // whether the desktop has a notification area
};

// The main window: owns the serial port, the decoder, the spool, the server
// link and the 200 ms timer, and wires them together. Each handler is a thin
// method over those objects.
class TForm1 : public QWidget, public LinkWindow {
  Q_OBJECT

public:
  explicit TForm1(DriverEnvironment env, QWidget* parent = nullptr);
  ~TForm1() override;

  // Header band and page buttons.
  QLabel* HeaderTitle = nullptr;
  QToolButton* AdvGlowButton28 = nullptr;  // "Состояние"
  QToolButton* AdvGlowButton47 = nullptr;  // "Настройки"
  QStackedWidget* Notebook1 = nullptr;
  QWidget* PageDefault = nullptr;
  QWidget* PageSetup = nullptr;

  // Page "Default".
  QLabel* Image2 = nullptr;   // station indicator
  QLabel* Image3 = nullptr;   // server indicator
  QLabel* Label6 = nullptr;   // start time
  QLabel* Label15 = nullptr;  // close code
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

  QTimer* Timer2 = nullptr;
  TForm2* Form2 = nullptr;
  Tadvsm* advsm = nullptr;

  QString CloseCode;
  int ServerActivityCounter = 0;
  std::string WorkDir;
  MainSettings Settings;  // the start-up settings; only ComPort changes later

  std::unique_ptr<TCommPortDriver> CommPortDriver1;

  // Whether the operator has the serial port started.
  bool Running() const { return running_; }

  // Handlers.
  void FormCreate();
  void Timer2Timer();
  void CommPortDriver1ReceivePacket(const std::uint8_t* packet, std::uint32_t size);
  void AdvGlowButton1Click();
  void AdvGlowButton2Click();
  void AdvOfficeComboBox1Select();
  void AdvGlowButton28Click();
  void AdvGlowButton47Click();
  void ApplicationEvents1Minimize();
  void N4Click();
  void N6Click();

  // The server link's calls, run on the window thread.
  void ShowStatus(const std::string& text) override;
  void PulseIndicator() override;
  // A status line in Memo1 (and on standard error, with its time, so a run
  // without a display can be followed).
  void ShowStatus(const QString& text);

  // The message form, also echoed on standard error.
  void ShowWarning(const QString& text);
  // Posts the port-state notice: the port name and whether it is open.
  void PostPortStateNotice();

  // An orderly end without the close code (SIGTERM, SIGINT, SIGHUP,
  // SIGQUIT): as an accepted close request.
  void Terminate();
  // The driver's part of an orderly end, which touches no widget: the port
  // closes, the link stops, the spool writes what it holds. Also what runs
  // when the program is made to exit under the window (a lost display).
  void EndDriver();

  void RedrawStationIndicator();
  void RedrawServerIndicator();
  const QImage& StationPicture() const { return station_picture_; }
  const QImage& ServerPicture() const { return server_picture_; }

  // Whether minimising hides the window behind the notification-area icon;
  // without a notification area it stays minimised on the taskbar instead.
  bool HidesWhenMinimised() const;

  cl* Link() const { return link_.get(); }
  EventSpool* Spool() const { return spool_.get(); }
  MessageDecoder* Decoder() const { return decoder_.get(); }

protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void BuildHeader();
  void BuildDefaultPage();
  void BuildSetupPage();
  void createTrayIcon();
  void wireConnections();
  void SetRunning();
  void SetStopped();
  bool OpenPort(const std::string& name);
  void LineLost();
  void CloseInOrder();
  IniFile Settings_File() const;

  DriverEnvironment env_;
  std::unique_ptr<Clock> own_clock_;
  std::unique_ptr<SerialPorts> own_ports_;
  const Clock* clock_ = nullptr;
  SerialPorts* ports_ = nullptr;
  ErrorLog error_log_;
  QtPeriodicTimer poll_timer_;
  std::unique_ptr<MessageDecoder> decoder_;
  std::unique_ptr<EventSpool> spool_;
  WindowDispatcher dispatcher_;
  SharedPortState port_state_;
  std::unique_ptr<cl> link_;

  bool running_ = true;
  bool closing_ = false;  // an orderly end has begun: no more dialogs
  bool closed_ = false;
  QImage station_picture_;
  QImage server_picture_;
};

}  // namespace orvent
