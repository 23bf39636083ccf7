#pragma once

#include <QImage>
#include <QWidget>
#include <functional>

class QComboBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QToolButton;
class QAction;

namespace orvent {

// A close code: five decimal digits, 10000..99998, drawn anew at every start.
QString DrawCloseCode();

// The main window's controls and the handlers that only touch the window.
// The handlers that reach the serial port, the decoder, the spool and the
// server link are added where the program is wired together.
class TForm1 : public QWidget {
  Q_OBJECT

public:
  explicit TForm1(QWidget* parent = nullptr);

  // Header band and page buttons.
  QLabel* HeaderTitle = nullptr;
  QToolButton* AdvGlowButton28 = nullptr;  // "Состояние"
  QToolButton* AdvGlowButton47 = nullptr;  // "Настройки"
  QStackedWidget* Notebook1 = nullptr;
  QWidget* PageDefault = nullptr;
  QWidget* PageSetup = nullptr;

  // Page "Default".
  QLabel* Image2 = nullptr;  // station indicator
  QLabel* Image3 = nullptr;  // server indicator
  QLabel* Label6 = nullptr;  // start time
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

  QString CloseCode;
  int ServerActivityCounter = 0;

  // Draws the pictures from the given state.
  void RedrawStationIndicator(bool online, int tick);
  void RedrawServerIndicator(bool link_up);
  const QImage& StationPicture() const { return station_picture_; }
  const QImage& ServerPicture() const { return server_picture_; }

  // Appends one status line to Memo1 (and to standard error, so that a run
  // without a display can be followed).
  void ShowStatus(const QString& text);

  void AdvGlowButton28Click();
  void AdvGlowButton47Click();
  void ApplicationEvents1Minimize();
  void N4Click();

  // Whether minimising hides the window behind the notification-area icon;
  // without a notification area it stays minimised on the taskbar instead.
  bool HidesWhenMinimised() const;
  // Tells whether the desktop has a notification area (tests replace it).
  std::function<bool()> TrayAvailable;

protected:
  void changeEvent(QEvent* event) override;

private:
  void BuildHeader();
  void BuildDefaultPage();
  void BuildSetupPage();
  void createTrayIcon();

  QImage station_picture_;
  QImage server_picture_;
};

}  // namespace orvent
