#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <exception>

#include "app/access_dialog.h"
#include "app/failure_text.h"
#include "app/link_indicator.h"
#include "app/message_form.h"
#include "app/status_text.h"

namespace orvent {
namespace {

constexpr int kClientWidth = 447;
constexpr int kClientHeight = 302;
constexpr int kHeaderHeight = 57;
constexpr int kPageButtonsHeight = 81;
constexpr int kPagesHeight = 164;

const QString kTitle = QStringLiteral("Драйвер ORVENT");

// How often the window looks for a notification area that appeared later.
constexpr int kTrayCheckMs = 3000;

void EchoToStandardError(const QString& line) {
  const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
  std::fflush(stderr);
}

QLabel* AddLabel(QWidget* parent, const QString& text, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->move(x, y);
  label->adjustSize();
  return label;
}

// The picture of a page button: a simple glyph, since the look is ours to choose.
QIcon PageIcon(bool settings) {
  QPixmap pixmap(40, 40);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(40, 90, 160), 3));
  if (settings) {
    p.drawEllipse(QPointF(20, 20), 9, 9);
    for (int i = 0; i < 8; ++i) {
      p.save();
      p.translate(20, 20);
      p.rotate(45.0 * i);
      p.drawLine(0, -11, 0, -16);
      p.restore();
    }
  } else {
    p.drawRect(6, 8, 28, 20);
    p.drawLine(12, 34, 28, 34);
    p.drawPolyline(QPolygon({QPoint(10, 22), QPoint(16, 16), QPoint(22, 20), QPoint(30, 12)}));
  }
  return QIcon(pixmap);
}

}  // namespace

QString DrawCloseCode() { return QString::number(QRandomGenerator::system()->bounded(10000, 99999)); }

TForm1::TForm1(DriverEnvironment env, QWidget* parent) : QWidget(parent), env_(std::move(env)) {
  if (!env_.TrayAvailable) env_.TrayAvailable = &QSystemTrayIcon::isSystemTrayAvailable;
  core_ = std::make_unique<DriverCore>(CoreEnvironment{env_.WorkDir, &loop_, env_.clock, env_.ports}, *this);

  setWindowTitle(kTitle);
  setFixedSize(kClientWidth, kClientHeight);
  // The layout's positions are pixels for a small face (8 points at 96 dots
  // per inch in a narrower font).
  QFont face = font();
  face.setPixelSize(10);
  setFont(face);
  BuildHeader();
  Notebook1 = new QStackedWidget(this);
  Notebook1->setGeometry(0, kHeaderHeight + kPageButtonsHeight, kClientWidth, kPagesHeight);
  BuildDefaultPage();
  BuildSetupPage();
  Notebook1->setCurrentWidget(PageDefault);
  createTrayIcon();
  // Opens centred on the screen.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
  }

  // The message form and the access dialog exist before start-up, which may
  // already have to show a warning.
  advsm = new Tadvsm(this);
  Form2 = new TForm2([this] { return CloseCode; }, this);
  wireConnections();
  FormCreate();
}

TForm1::~TForm1() { CloseInOrder(); }

void TForm1::wireConnections() {
  connect(AdvGlowButton28, &QToolButton::clicked, this, &TForm1::AdvGlowButton28Click);
  connect(AdvGlowButton47, &QToolButton::clicked, this, &TForm1::AdvGlowButton47Click);
  connect(AdvGlowButton2, &QPushButton::clicked, this, &TForm1::AdvGlowButton2Click);
  connect(AdvGlowButton1, &QPushButton::clicked, this, &TForm1::AdvGlowButton1Click);
  connect(AdvOfficeComboBox1, &QComboBox::activated, this, &TForm1::AdvOfficeComboBox1Select);
  connect(N4, &QAction::triggered, this, &TForm1::N4Click);
  connect(N6, &QAction::triggered, this, &TForm1::N6Click);
  tray_check_ = new QTimer(this);
  connect(tray_check_, &QTimer::timeout, this, &TForm1::CheckNotificationArea);
  tray_check_->start(kTrayCheckMs);
}

void TForm1::FormCreate() {
  CloseCode = DrawCloseCode();
  Label15->setText(CloseCode);
  Label15->adjustSize();

  // Scanned before the core starts, so the selection handler that ends the
  // scan stores nothing.
  AdvGlowButton1Click();

  // The spool and the server link start before anything can show a message.
  const DriverCore::StartResult started = core_->Start();
  AdvOfficeComboBox1->setEditText(QString::fromStdString(core_->Settings().ComPort));
  if (started == DriverCore::StartResult::PortFailed) ShowWarning(QStringLiteral("Порт уже занят. Смените его."));

  RedrawServerIndicator();
  Label6->setText(FormatStatusStamp(QDateTime::currentDateTime()));
  Label6->adjustSize();
}

void TForm1::Timer2Timer() { core_->Timer2Timer(); }

void TForm1::CommPortDriver1ReceivePacket(const std::uint8_t* packet, std::uint32_t size) {
  core_->CommPortDriver1ReceivePacket(packet, size);
}

void TForm1::AdvGlowButton1Click() {
  Guarded(this, [&] {
    AdvOfficeComboBox1->clear();
    const PortScanResult found = core_->ScanPorts();
    for (const std::string& port : found.Ports) AdvOfficeComboBox1->addItem(QString::fromStdString(port));
    AdvOfficeComboBox1->setCurrentIndex(found.Selected);
    if (found.Selected < 0) AdvOfficeComboBox1->setEditText(QString());
  });
  AdvOfficeComboBox1Select();
}

void TForm1::AdvGlowButton2Click() {
  Guarded(this, [&] {
    if (core_->Running()) {
      const int result = closing_ ? TForm2::kCancel : Form2->exec();
      if (result == TForm2::kOk) {
        core_->StopPort();
      } else {
        ShowWarning(QStringLiteral("Неправильный пароль. В доступе отказано"));
      }
    } else if (!core_->StartPort(AdvOfficeComboBox1->currentText().toStdString())) {
      ShowWarning(QStringLiteral("Порт уже занят!"));
      AdvGlowButton1Click();
    }
    PostPortStateNotice();
  });
}

void TForm1::AdvOfficeComboBox1Select() {
  if (!core_->Started() || core_->Running()) return;
  try {
    core_->SelectPort(AdvOfficeComboBox1->currentText().toStdString());
  } catch (const std::exception&) {
    Guarded(this, [&] { core_->errorLog().LogError(kErrorPortSelection); });
  }
}

void TForm1::PostPortStateNotice() { core_->PostPortStateNotice(); }

void TForm1::PortChanged() {
  const bool running = core_->Running();
  AdvGlowButton2->setText(running ? QStringLiteral("Остановить") : QStringLiteral("Запустить"));
  AdvGlowButton1->setEnabled(!running);
  AdvOfficeComboBox1->setEnabled(!running);
}

void TForm1::StationChanged() { RedrawStationIndicator(); }

void TForm1::ServerChanged() { RedrawServerIndicator(); }

void TForm1::ReportFailure(const std::string& message) { ShowFailure(this, QString::fromStdString(message)); }

void TForm1::ShowStatus(const std::string& text) { ShowStatus(QString::fromStdString(text)); }

void TForm1::ShowStatus(const QString& text) {
  const QString line = FormatStatusLine(QDateTime::currentDateTime(), text);
  EchoToStandardError(line);
  if (!ending_at_exit_) Memo1->appendPlainText(line);
}

void TForm1::ShowWarning(const QString& text) {
  EchoToStandardError(FormatStatusLine(QDateTime::currentDateTime(), text));
  if (!closing_) advsm->ShowWarning(text);
}

void TForm1::RedrawStationIndicator() {
  // A port that is not open cannot hear the receiver, whatever the watchdog says.
  DrawLinkIndicator(station_picture_, core_->StationOnline() && core_->PortOpen(), core_->StationTick());
  Image2->setPixmap(QPixmap::fromImage(station_picture_));
}

void TForm1::RedrawServerIndicator() {
  DrawLinkIndicator(server_picture_, core_->LinkUp(), core_->ServerActivityCounter());
  Image3->setPixmap(QPixmap::fromImage(server_picture_));
}

void TForm1::AdvGlowButton28Click() {
  Notebook1->setCurrentWidget(PageDefault);
  AdvGlowButton28->setChecked(true);
  AdvGlowButton47->setChecked(false);
}

void TForm1::AdvGlowButton47Click() {
  Notebook1->setCurrentWidget(PageSetup);
  AdvGlowButton47->setChecked(true);
  AdvGlowButton28->setChecked(false);
}

void TForm1::CheckNotificationArea() {
  if (!RxTrayIcon1->isVisible() && env_.TrayAvailable()) RxTrayIcon1->show();
}

bool TForm1::HidesWhenMinimised() const { return RxTrayIcon1->isVisible() && env_.TrayAvailable(); }

void TForm1::ApplicationEvents1Minimize() {
  CheckNotificationArea();
  // A hidden window without a notification-area icon could never be
  // restored or closed, so it stays on the taskbar where there is none.
  if (HidesWhenMinimised()) QTimer::singleShot(0, this, &QWidget::hide);
}

void TForm1::N4Click() {
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

void TForm1::N6Click() { close(); }

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) {
    ApplicationEvents1Minimize();
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  int result = TForm2::kCancel;
  Guarded(this, [&] { result = closing_ ? TForm2::kOk : Form2->exec(); });
  if (result == TForm2::kOk) {
    CloseInOrder();
    event->accept();
    QCoreApplication::quit();
    return;
  }
  event->ignore();
  if (result == TForm2::kWrongCode) ShowWarning(QStringLiteral("Не правильный пароль."));
}

void CloseOpenDialogs() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(widget); dialog != nullptr && dialog->isVisible()) dialog->reject();
  }
}

void TForm1::Terminate() {
  closing_ = true;
  // Modal windows up at this moment are closed; their handlers then run on
  // without showing anything new.
  CloseOpenDialogs();
  CloseInOrder();
  close();
  QCoreApplication::quit();
}

void TForm1::CloseInOrder() {
  if (closed_) return;
  closed_ = true;
  closing_ = true;
  tray_check_->stop();
  Guarded(this, [&] { core_->End(); });
}

void TForm1::EndDriver() {
  ending_at_exit_ = true;
  closed_ = true;
  closing_ = true;
  try {
    core_->End();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
}

void TForm1::BuildHeader() {
  auto* header = new QWidget(this);
  header->setGeometry(0, 0, kClientWidth, kHeaderHeight);
  header->setAutoFillBackground(true);
  QPalette palette = header->palette();
  palette.setColor(QPalette::Window, QColor(44, 84, 140));
  palette.setColor(QPalette::WindowText, Qt::white);
  header->setPalette(palette);
  HeaderTitle = new QLabel(QStringLiteral("КПО Тарвин 2008 - Драйвер ORVENT"), header);
  QFont font = HeaderTitle->font();
  font.setBold(true);
  font.setPixelSize(16);
  HeaderTitle->setFont(font);
  HeaderTitle->setGeometry(12, 0, kClientWidth - 24, kHeaderHeight);
  HeaderTitle->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);

  auto* band = new QWidget(this);
  band->setGeometry(0, kHeaderHeight, kClientWidth, kPageButtonsHeight);
  const auto make_button = [band](const QString& text, int x, bool settings) {
    auto* button = new QToolButton(band);
    button->setText(text);
    button->setIcon(PageIcon(settings));
    button->setIconSize(QSize(40, 40));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setCheckable(true);
    button->setAutoRaise(true);
    button->setGeometry(x, (kPageButtonsHeight - 54) / 2, 72, 54);
    return button;
  };
  AdvGlowButton28 = make_button(QStringLiteral("Состояние"), 3, false);
  AdvGlowButton47 = make_button(QStringLiteral("Настройки"), 83, true);
  AdvGlowButton28->setChecked(true);
}

void TForm1::BuildDefaultPage() {
  PageDefault = new QWidget(Notebook1);
  Notebook1->addWidget(PageDefault);
  AddLabel(PageDefault, QStringLiteral("Контроль связи со станцией"), 8, 10);
  Image2 = new QLabel(PageDefault);
  Image2->setGeometry(176, 8, kIndicatorSize, kIndicatorSize);
  AddLabel(PageDefault, QStringLiteral("Связь с сервером сообщений"), 256, 10);
  Image3 = new QLabel(PageDefault);
  Image3->setGeometry(416, 8, kIndicatorSize, kIndicatorSize);

  // Right-aligned against x 118; it may grow to the left in a wider face.
  QLabel* started = AddLabel(PageDefault, QStringLiteral("Дата и время запуска"), 7, 37);
  const int started_width = std::max(111, started->sizeHint().width());
  started->setGeometry(118 - started_width, 37, started_width, started->height());
  started->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  Label6 = AddLabel(PageDefault, QString(), 124, 37);
  AddLabel(PageDefault, QStringLiteral("Пароль для закрытия"), 256, 37);
  Label15 = AddLabel(PageDefault, QString(), 373, 37);

  Memo1 = new QPlainTextEdit(PageDefault);
  Memo1->setGeometry(7, 56, 432, 100);
  Memo1->setMaximumBlockCount(kMemoLines);
}

void TForm1::BuildSetupPage() {
  PageSetup = new QWidget(Notebook1);
  Notebook1->addWidget(PageSetup);
  auto* group = new QGroupBox(QStringLiteral("Com порт"), PageSetup);
  group->setGeometry(9, 3, 428, 62);

  AdvOfficeComboBox1 = new QComboBox(group);
  // The list may show a port name that no scan found (the configured one).
  AdvOfficeComboBox1->setEditable(true);
  AdvOfficeComboBox1->lineEdit()->setReadOnly(true);
  AdvOfficeComboBox1->setGeometry(18, 25, 103, 22);
  AdvOfficeComboBox1->setEnabled(false);

  AdvGlowButton2 = new QPushButton(QStringLiteral("Остановить"), group);
  AdvGlowButton2->setGeometry(143, 22, 94, 25);
  AdvGlowButton1 = new QPushButton(QStringLiteral("Сканировать заново"), group);
  AdvGlowButton1->setGeometry(243, 22, 170, 25);
  AdvGlowButton1->setEnabled(false);
}

void TForm1::createTrayIcon() {
  TrayMenu = new QMenu(this);
  N4 = TrayMenu->addAction(QStringLiteral("Восстановить"));
  TrayMenu->addSeparator();
  N6 = TrayMenu->addAction(QStringLiteral("Закрыть"));

  RxTrayIcon1 = new QSystemTrayIcon(this);
  QImage icon(kIndicatorSize, kIndicatorSize, QImage::Format_RGB32);
  DrawLinkIndicator(icon, true, 0);
  RxTrayIcon1->setIcon(QIcon(QPixmap::fromImage(icon)));
  RxTrayIcon1->setToolTip(kTitle);
  RxTrayIcon1->setContextMenu(TrayMenu);
  CheckNotificationArea();
}

}  // namespace orvent
