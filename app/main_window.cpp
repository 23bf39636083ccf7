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

// A station date-time as Qt's local date-time.
QDateTime ToQDateTime(TDateTime t) {
  const CivilTime c = DecodeDateTime(t);
  return QDateTime(QDate(c.year, c.month, c.day), QTime(c.hour, c.minute, c.second, c.millisecond));
}

TForm1::TForm1(DriverEnvironment env, QWidget* parent) : QWidget(parent), env_(std::move(env)) {
  if (!env_.TrayAvailable) env_.TrayAvailable = &QSystemTrayIcon::isSystemTrayAvailable;
  station_ = std::make_unique<Station>(
      StationEnvironment{env_.WorkDir, &loop_, env_.clock, env_.ports, env_.DrawCloseCode}, *this);

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
  Form2 = new TForm2(this);
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
  Guarded(this, [&] { station_->Start(); });
}

void TForm1::AdvGlowButton1Click() {
  Guarded(this, [&] { station_->Rescan(); });
}

void TForm1::AdvGlowButton2Click() {
  Guarded(this, [&] { station_->StartOrStopPort(AdvOfficeComboBox1->currentText().toStdString()); });
}

void TForm1::AdvOfficeComboBox1Select() {
  Guarded(this, [&] { station_->SelectPort(AdvOfficeComboBox1->currentText().toStdString()); });
}

void TForm1::ShowView(const StationView& view) {
  if (ending_at_exit_) return;
  // Only what differs from the view drawn last is drawn again: the server's
  // sign of life alone changes twice a second, for months.
  const StationView* drawn = drawn_ ? &*drawn_ : nullptr;
  const auto changed = [&](auto field) { return drawn == nullptr || drawn->*field != view.*field; };

  if (changed(&StationView::PortCommand)) AdvGlowButton2->setText(QString::fromStdString(view.PortCommand));
  if (changed(&StationView::PortChoiceOpen)) {
    AdvGlowButton1->setEnabled(view.PortChoiceOpen);
    AdvOfficeComboBox1->setEnabled(view.PortChoiceOpen);
  }
  if (changed(&StationView::PortChoices)) {
    AdvOfficeComboBox1->clear();
    for (const std::string& port : view.PortChoices) AdvOfficeComboBox1->addItem(QString::fromStdString(port));
  }
  if (changed(&StationView::PortChoices) || changed(&StationView::PortName)) {
    const QString port = QString::fromStdString(view.PortName);
    AdvOfficeComboBox1->setCurrentIndex(AdvOfficeComboBox1->findText(port));
    AdvOfficeComboBox1->setEditText(port);
  }
  if (changed(&StationView::ReceiverHeard) || changed(&StationView::ReceiverPulse)) {
    DrawLinkIndicator(station_picture_, view.ReceiverHeard, view.ReceiverPulse);
    Image2->setPixmap(QPixmap::fromImage(station_picture_));
  }
  if (changed(&StationView::Link) || changed(&StationView::ServerPulse)) {
    DrawLinkIndicator(server_picture_, view.Link == LinkMode::Up || view.Link == LinkMode::Accepted, view.ServerPulse);
    Image3->setPixmap(QPixmap::fromImage(server_picture_));
  }
  if (changed(&StationView::StartedAt)) {
    Label6->setText(FormatStatusStamp(ToQDateTime(view.StartedAt)));
    Label6->adjustSize();
  }
  if (changed(&StationView::CloseCode)) {
    Label15->setText(QString::fromStdString(view.CloseCode));
    Label15->adjustSize();
  }
  drawn_ = view;
}

void TForm1::ShowFailure(const std::string& text) { orvent::ShowFailure(this, QString::fromStdString(text)); }

void TForm1::ShowStatus(TDateTime at, const std::string& text) {
  const QString line = FormatStatusLine(ToQDateTime(at), QString::fromStdString(text));
  EchoToStandardError(line);
  if (!ending_at_exit_) Memo1->appendPlainText(line);
}

void TForm1::ShowWarning(TDateTime at, const std::string& text) {
  const QString warning = QString::fromStdString(text);
  EchoToStandardError(FormatStatusLine(ToQDateTime(at), warning));
  if (!closing_) advsm->ShowWarning(warning);
}

std::optional<std::string> TForm1::AskCloseCode() {
  // Once an orderly end has begun nobody is asked anything.
  if (closing_) return std::nullopt;
  return Form2->Ask();
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
  bool accepted = closed_;
  if (!accepted) Guarded(this, [&] { accepted = station_->Close(); });
  if (!accepted) {
    event->ignore();
    return;
  }
  CloseInOrder();
  event->accept();
  QCoreApplication::quit();
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
  Guarded(this, [&] { station_->End(); });
}

void TForm1::EndDriver() {
  ending_at_exit_ = true;
  closed_ = true;
  closing_ = true;
  try {
    station_->End();
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
