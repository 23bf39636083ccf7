#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <exception>

#include "app/access_dialog.h"
#include "app/failure_text.h"
#include "app/link_indicator.h"
#include "app/message_form.h"
#include "app/text_width.h"

namespace orvent {
namespace {

constexpr int kHeaderHeight = 57;
constexpr int kPageButtonsHeight = 81;
constexpr int kPageButtonWidth = 72;
constexpr int kPageButtonHeight = 54;
constexpr int kPageMargin = 8;
// Between the rows of the page's fields.
constexpr int kFieldSpacing = 4;
// The status lines the list shows without scrolling.
constexpr int kMemoVisibleLines = 7;
// The port list is wide enough for this many characters ("/dev/ttyUSB10").
constexpr int kPortNameCharacters = 13;

const QString kTitle = QString::fromUtf8(kWindowTitle);

// How often the window looks for a notification area that appeared later.
constexpr int kTrayCheckMs = 3000;

void EchoToStandardError(const QString& line) {
  const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
  std::fflush(stderr);
}

QString Text(const std::string& text) { return QString::fromStdString(text); }

// A status line as both faces write it: the stamp, a blank and the text.
QString StatusLine(TDateTime at, const std::string& text) { return Text(StampText(at) + " " + text); }

// The narrowest width at which a caption takes at most two lines.
int TwoLineWidth(const QFont& font, const QString& text) {
  int best = TextWidth(font, text);
  for (qsizetype blank = text.indexOf(QLatin1Char(' ')); blank >= 0;
       blank = text.indexOf(QLatin1Char(' '), blank + 1)) {
    best = std::min(best, std::max(TextWidth(font, text.left(blank)), TextWidth(font, text.mid(blank + 1))));
  }
  return best;
}

// A link picture with its caption under it, in a column of `width`.
QLabel* AddIndicator(QWidget* parent, QBoxLayout* row, const QString& caption_text, int width) {
  auto* column = new QVBoxLayout;
  auto* picture = new QLabel(parent);
  // A fixed size keeps the picture's redraws (twice a second from the
  // server's sign of life) from laying the page out again.
  picture->setFixedSize(kIndicatorWidth, kIndicatorHeight);
  column->addWidget(picture, 0, Qt::AlignHCenter);
  auto* caption = new QLabel(caption_text, parent);
  caption->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  caption->setWordWrap(true);
  caption->setFixedSize(width, caption->heightForWidth(width));
  column->addWidget(caption, 0, Qt::AlignHCenter);
  column->addStretch();
  row->addLayout(column);
  return picture;
}

// A field of the page: its label, and the value beside it. The value's size
// is fixed, for `widest`, so that a new value (each alarm brings one) is
// drawn without laying the window out anew.
QLabel* AddField(QWidget* parent, QGridLayout* grid, int row, const char* label, const QString& widest) {
  grid->addWidget(new QLabel(QString::fromUtf8(label), parent), row, 0);
  auto* value = new QLabel(widest, parent);
  QFont bold = value->font();
  bold.setBold(true);
  value->setFont(bold);
  value->setFixedSize(value->sizeHint());
  value->clear();
  grid->addWidget(value, row, 1);
  return value;
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

TForm1::TForm1(DriverEnvironment env, QWidget* parent) : QWidget(parent), env_(std::move(env)) {
  if (!env_.TrayAvailable) env_.TrayAvailable = &QSystemTrayIcon::isSystemTrayAvailable;
  station_ = std::make_unique<Station>(
      StationEnvironment{env_.WorkDir, &loop_, env_.clock, env_.ports, env_.DrawCloseCode}, *this);

  setWindowTitle(kTitle);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  // The window is as large as its pages need at the desktop's font, so that
  // nothing is cut, and it cannot be resized.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  BuildHeader();
  BuildHealthBand();
  Notebook1 = new QStackedWidget(this);
  BuildDefaultPage();
  BuildSetupPage();
  Notebook1->setCurrentWidget(PageDefault);
  layout->addWidget(Notebook1);
  createTrayIcon();
  layout->activate();
  // Opens centred on the screen.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
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

  if (changed(&StationView::PortCommand)) AdvGlowButton2->setText(Text(view.PortCommand));
  if (changed(&StationView::PortChoiceOpen)) {
    AdvGlowButton1->setEnabled(view.PortChoiceOpen);
    AdvOfficeComboBox1->setEnabled(view.PortChoiceOpen);
  }
  if (changed(&StationView::PortChoices)) {
    AdvOfficeComboBox1->clear();
    for (const std::string& port : view.PortChoices) AdvOfficeComboBox1->addItem(Text(port));
  }
  if (changed(&StationView::PortChoices) || changed(&StationView::PortName)) {
    const QString port = Text(view.PortName);
    AdvOfficeComboBox1->setCurrentIndex(AdvOfficeComboBox1->findText(port));
    AdvOfficeComboBox1->setEditText(port);
  }
  if (changed(&StationView::ReceiverPicture) || changed(&StationView::ReceiverPulse)) {
    DrawLinkIndicator(station_picture_, view.ReceiverPicture, view.ReceiverPulse);
    Image2->setPixmap(QPixmap::fromImage(station_picture_));
  }
  if (changed(&StationView::ServerPicture) || changed(&StationView::ServerPulse)) {
    DrawLinkIndicator(server_picture_, view.ServerPicture, view.ServerPulse);
    Image3->setPixmap(QPixmap::fromImage(server_picture_));
  }
  if (changed(&StationView::Verdict)) {
    const QString line = Text(HealthLine(view.Verdict));
    HealthBand->setText(line);
    HealthBand->setToolTip(line);
    QPalette palette = HealthBand->palette();
    palette.setColor(QPalette::Window, HealthColour(view.Verdict.Level));
    HealthBand->setPalette(palette);
    // The icon tells the verdict to a window hidden behind it.
    QImage icon;
    DrawLinkIndicator(icon, view.Verdict.Level, 0);
    RxTrayIcon1->setIcon(QIcon(QPixmap::fromImage(icon)));
    RxTrayIcon1->setToolTip(kTitle + QStringLiteral(": ") + line);
  }
  if (changed(&StationView::LastWarning)) {
    LastWarning->setText(Text(view.LastWarning));
    LastWarning->setToolTip(Text(view.LastWarning));
  }
  if (changed(&StationView::LinesUnacknowledged) || changed(&StationView::LastUnacknowledged)) {
    Unacknowledged->setText(QString::fromUtf8(kLabelUnacknowledged) + QStringLiteral(": ") +
                            Text(UnacknowledgedText(view)));
  }
  if (changed(&StationView::StartedAt)) Label6->setText(Text(StampText(view.StartedAt)));
  if (changed(&StationView::CloseCode)) Label15->setText(Text(view.CloseCode));
  if (changed(&StationView::Waiting)) BacklogWaiting->setText(QString::number(view.Waiting));
  if (changed(&StationView::OldestWaiting)) BacklogOldest->setText(Text(BacklogTimeText(view.OldestWaiting)));
  if (changed(&StationView::LastAcknowledged)) {
    BacklogLastAcknowledged->setText(Text(BacklogTimeText(view.LastAcknowledged)));
  }
  if (changed(&StationView::LastConfirmed)) BacklogLastConfirmed->setText(Text(BacklogTimeText(view.LastConfirmed)));
  drawn_ = view;
}

void TForm1::ShowFailure(const std::string& text) { orvent::ShowFailure(this, Text(text)); }

void TForm1::ShowStatus(TDateTime at, Priority, const std::string& text) {
  const QString line = StatusLine(at, text);
  EchoToStandardError(line);
  if (!ending_at_exit_) Memo1->appendPlainText(line);
}

void TForm1::ShowWarning(TDateTime, const std::string& text) {
  if (!closing_) advsm->ShowWarning(Text(text));
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
  header->setFixedHeight(kHeaderHeight);
  header->setAutoFillBackground(true);
  QPalette palette = header->palette();
  palette.setColor(QPalette::Window, QColor(44, 84, 140));
  palette.setColor(QPalette::WindowText, Qt::white);
  header->setPalette(palette);
  HeaderTitle = new QLabel(QString::fromUtf8(kHeaderTitle), header);
  QFont font = HeaderTitle->font();
  font.setBold(true);
  font.setPixelSize(16);
  HeaderTitle->setFont(font);
  auto* header_layout = new QHBoxLayout(header);
  header_layout->setContentsMargins(12, 0, 12, 0);
  header_layout->addWidget(HeaderTitle);

  auto* band = new QWidget(this);
  band->setFixedHeight(kPageButtonsHeight);
  auto* band_layout = new QHBoxLayout(band);
  band_layout->setContentsMargins(3, 0, 3, 0);
  band_layout->setSpacing(8);
  const auto make_button = [band, band_layout](const QString& text, bool settings) {
    auto* button = new QToolButton(band);
    button->setText(text);
    button->setIcon(PageIcon(settings));
    button->setIconSize(QSize(40, 40));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setCheckable(true);
    button->setAutoRaise(true);
    button->setMinimumSize(kPageButtonWidth, kPageButtonHeight);
    band_layout->addWidget(button);
    return button;
  };
  AdvGlowButton28 = make_button(QString::fromUtf8(kPageState), false);
  AdvGlowButton47 = make_button(QString::fromUtf8(kPageSetup), true);
  band_layout->addStretch();
  AdvGlowButton28->setChecked(true);

  layout()->addWidget(header);
  layout()->addWidget(band);
}

void TForm1::BuildHealthBand() {
  HealthBand = new QLabel(this);
  HealthBand->setAutoFillBackground(true);
  HealthBand->setWordWrap(true);
  HealthBand->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  HealthBand->setMargin(kPageMargin);
  QFont bold = HealthBand->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.25);
  HealthBand->setFont(bold);
  QPalette palette = HealthBand->palette();
  palette.setColor(QPalette::WindowText, Qt::white);
  HealthBand->setPalette(palette);
  // Room for three lines of reasons; a longer text is in its tooltip.
  HealthBand->setFixedHeight(3 * QFontMetrics(bold).lineSpacing() + 2 * kPageMargin);

  LastWarning = new QLabel(this);
  LastWarning->setWordWrap(true);
  LastWarning->setContentsMargins(kPageMargin, 0, kPageMargin, 0);
  QPalette warning = LastWarning->palette();
  warning.setColor(QPalette::WindowText, HealthColour(HealthLevel::Stopped));
  LastWarning->setPalette(warning);
  LastWarning->setFixedHeight(2 * LastWarning->fontMetrics().lineSpacing());

  layout()->addWidget(HealthBand);
  layout()->addWidget(LastWarning);
}

void TForm1::BuildDefaultPage() {
  PageDefault = new QWidget(Notebook1);
  Notebook1->addWidget(PageDefault);
  auto* page = new QVBoxLayout(PageDefault);
  page->setContentsMargins(kPageMargin, kPageMargin, kPageMargin, kPageMargin);

  // The two links side by side, each picture above its caption.
  auto* top = new QHBoxLayout;
  top->setSpacing(2 * kPageMargin);
  const QString receiver_link = QString::fromUtf8(kLabelReceiverLink);
  const QString server_link = QString::fromUtf8(kLabelServerLink);
  const QFont font = PageDefault->font();
  const int caption_width =
      std::max({kIndicatorWidth, TwoLineWidth(font, receiver_link), TwoLineWidth(font, server_link)});
  Image2 = AddIndicator(PageDefault, top, receiver_link, caption_width);
  Image3 = AddIndicator(PageDefault, top, server_link, caption_width);
  top->addSpacing(2 * kPageMargin);

  // The start, the close code, and below them the backlog.
  auto* fields = new QGridLayout;
  fields->setHorizontalSpacing(2 * kPageMargin);
  fields->setVerticalSpacing(kFieldSpacing);
  // A stamp, and room to spare in a font whose digits differ in width.
  const QString widest = Text(StampText(0.0)) + QStringLiteral("00");
  Label6 = AddField(PageDefault, fields, 0, kLabelStartedAt, widest);
  Label15 = AddField(PageDefault, fields, 1, kLabelCloseCode, widest);
  fields->setRowMinimumHeight(2, kPageMargin);
  BacklogWaiting = AddField(PageDefault, fields, 3, kLabelWaiting, widest);
  BacklogOldest = AddField(PageDefault, fields, 4, kLabelOldestWaiting, widest);
  BacklogLastAcknowledged = AddField(PageDefault, fields, 5, kLabelLastAcknowledged, widest);
  BacklogLastConfirmed = AddField(PageDefault, fields, 6, kLabelLastConfirmed, widest);
  top->addLayout(fields);
  top->addStretch();
  page->addLayout(top);
  Unacknowledged = new QLabel(PageDefault);
  page->addWidget(Unacknowledged);

  Memo1 = new QPlainTextEdit(PageDefault);
  Memo1->setMaximumBlockCount(kMemoLines);
  const int frame = Memo1->frameWidth();
  const int margin = static_cast<int>(Memo1->document()->documentMargin());
  Memo1->setFixedHeight(kMemoVisibleLines * Memo1->fontMetrics().lineSpacing() + 2 * (frame + margin));
  page->addWidget(Memo1);
}

void TForm1::BuildSetupPage() {
  PageSetup = new QWidget(Notebook1);
  Notebook1->addWidget(PageSetup);
  auto* page = new QVBoxLayout(PageSetup);
  page->setContentsMargins(kPageMargin, kPageMargin, kPageMargin, kPageMargin);
  auto* group = new QGroupBox(QString::fromUtf8(kLabelPortGroup), PageSetup);
  auto* row = new QHBoxLayout(group);

  AdvOfficeComboBox1 = new QComboBox(group);
  // The list may show a port name that no scan found (the configured one).
  AdvOfficeComboBox1->setEditable(true);
  AdvOfficeComboBox1->lineEdit()->setReadOnly(true);
  AdvOfficeComboBox1->setEnabled(false);
  // A longer name (a /dev/serial/by-id/ one) takes the rest of the row.
  AdvOfficeComboBox1->setMinimumContentsLength(kPortNameCharacters);
  row->addWidget(AdvOfficeComboBox1, 1);

  AdvGlowButton2 = new QPushButton(QStringLiteral("Остановить"), group);
  row->addWidget(AdvGlowButton2);
  AdvGlowButton1 = new QPushButton(QString::fromUtf8(kCommandRescan), group);
  AdvGlowButton1->setEnabled(false);
  row->addWidget(AdvGlowButton1);

  page->addWidget(group);
  page->addStretch();
}

void TForm1::createTrayIcon() {
  TrayMenu = new QMenu(this);
  N4 = TrayMenu->addAction(QString::fromUtf8(kMenuRestore));
  TrayMenu->addSeparator();
  N6 = TrayMenu->addAction(QString::fromUtf8(kMenuClose));

  RxTrayIcon1 = new QSystemTrayIcon(this);
  QImage icon;
  DrawLinkIndicator(icon, HealthLevel::Working, 0);
  RxTrayIcon1->setIcon(QIcon(QPixmap::fromImage(icon)));
  RxTrayIcon1->setToolTip(kTitle);
  RxTrayIcon1->setContextMenu(TrayMenu);
  CheckNotificationArea();
}

}  // namespace orvent
