#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <optional>

#include "app/access_dialog.h"
#include "app/failure_text.h"
#include "app/main_window.h"
#include "app/message_form.h"
#include "delivery/commands.h"
#include "platform/serial_device.h"
#include "platform/tcp_socket.h"
#include "receiver/serial_packet_driver.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using Answer = std::function<void(TForm2&)>;

Answer Typing(const QString& text) {
  return [text](TForm2& dialog) {
    QTest::keyClicks(dialog.MaskEdit1, text);
    dialog.BitBtn1->click();
  };
}
Answer PressOk() {
  return [](TForm2& dialog) { dialog.BitBtn1->click(); };
}
Answer Cancel() {
  return [](TForm2& dialog) { dialog.BitBtn2->click(); };
}

// Answers the modal windows as they come up: the access dialog from a list
// of answers, the message form by noting its text and pressing OK.
class ModalResponder {
public:
  ModalResponder() {
    timer_.setInterval(2);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Respond(); });
    timer_.start();
  }

  std::deque<Answer> answers;
  QStringList warnings;
  int unexpected = 0;

private:
  void Respond() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (!widget->isVisible()) continue;
      if (auto* form = qobject_cast<Tadvsm*>(widget)) {
        warnings << form->Warning();
        form->BitBtn1->click();
      } else if (auto* dialog = qobject_cast<TForm2*>(widget)) {
        if (answers.empty()) {
          ++unexpected;
          dialog->reject();
        } else {
          const Answer answer = answers.front();
          answers.pop_front();
          answer(*dialog);
        }
      }
    }
  }
  QTimer timer_;
};

// A port on which nothing listens, so the link stays down and keeps its
// queue for the test to read.
std::uint16_t ClosedPort() {
  TcpListener probe;
  if (probe.Listen(kLoopback, 0)) return 1;
  return probe.LocalPort();
}

class MainWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::filesystem::create_directory(dev_dir);
    WriteSettings("");
  }

  void WriteSettings(const std::string& main_section) {
    work.Write(kSettingsFileName, "[main]\n" + main_section + "\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                      std::to_string(closed_port) + "\n");
  }
  // Makes a pseudo-terminal appear as COMn.
  void Present(int n, const test::PtyPair& pty) {
    std::filesystem::create_symlink(pty.path(), dev_dir + "/ttyS" + std::to_string(n - 1));
  }

  std::unique_ptr<TForm1> Start() {
    DriverEnvironment env;
    env.WorkDir = work.path();
    env.ports = &ports;
    env.TrayAvailable = [] { return true; };
    env.DrawCloseCode = [] { return 54321u; };
    return std::make_unique<TForm1>(env);
  }

  // The port-state notices waiting for the server, oldest first.
  static std::vector<std::vector<std::uint8_t>> Notices(TForm1& form) {
    std::vector<std::vector<std::uint8_t>> notices;
    auto& queue = const_cast<OutgoingQueue&>(form.Core().Link()->OutQueue());
    stru_arb frame;
    while (queue.QueuePeek(frame)) {
      queue.QueuePop();
      const std::uint32_t command =
          frame[1] | frame[2] << 8 | frame[3] << 16 | static_cast<std::uint32_t>(frame[4]) << 24;
      if (command == cmd_port_state) notices.emplace_back(frame.begin() + 18, frame.end());
    }
    return notices;
  }

  static std::vector<std::uint8_t> Notice(const std::string& port, bool open) {
    std::vector<std::uint8_t> n(8, 0);
    n[0] = static_cast<std::uint8_t>(std::min<std::size_t>(port.size(), 6));
    std::copy_n(port.begin(), n[0], n.begin() + 1);
    n[7] = open ? 1 : 0;
    return n;
  }

  test::TempDir work;
  std::string dev_dir = work.File("dev");
  SystemSerialPorts ports{dev_dir};
  std::uint16_t closed_port = ClosedPort();
  ModalResponder responder;
};

TEST_F(MainWindowTest, WithoutComPortStartsStoppedAndSilent) {
  const auto form = Start();
  EXPECT_TRUE(responder.warnings.isEmpty());
  EXPECT_EQ(form->Core().View().Port, PortMode::Stopped);
  EXPECT_EQ(form->AdvGlowButton2->text(), QStringLiteral("Запустить"));
  EXPECT_TRUE(form->AdvGlowButton1->isEnabled());
  EXPECT_TRUE(form->AdvOfficeComboBox1->isEnabled());
  EXPECT_EQ(form->AdvOfficeComboBox1->currentText(), QStringLiteral("COM255"));
  EXPECT_EQ(form->Label15->text(), QStringLiteral("54321"));
  EXPECT_FALSE(form->Label6->text().isEmpty());
}

TEST_F(MainWindowTest, ABusyPortAtStartUpIsReportedWithItsReasonAndTriedAgain) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  Present(1, pty);
  WriteSettings("ComPort=COM1");
  ASSERT_EQ(flock(pty.slave(), LOCK_EX | LOCK_NB), 0);  // another program holds it
  const auto form = Start();
  EXPECT_EQ(responder.warnings,
            QStringList{QStringLiteral("Порт уже занят. Смените его. Порт COM1: занят другой программой.")});
  // Until it opens, the station says that no alarm flows, and why.
  EXPECT_TRUE(form->HealthBand->text().startsWith(QStringLiteral("Тревоги не проходят: порт COM1 не открывается")))
      << form->HealthBand->text().toStdString();
  EXPECT_TRUE(form->Memo1->toPlainText().contains(QStringLiteral("Порт COM1: занят другой программой.")));
  // The port is tried again until it opens or the operator stops it.
  EXPECT_EQ(form->Core().View().Port, PortMode::Retrying);
  EXPECT_EQ(form->AdvGlowButton2->text(), QStringLiteral("Остановить"));
  // The server link runs all the same: its first attempt shows.
  EXPECT_TRUE(QTest::qWaitFor([&] { return form->Memo1->toPlainText().contains(QStringLiteral("Соединение...")); },
                              2000));
}

TEST_F(MainWindowTest, StoppingAsksForTheCodeAndKeepsIt) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  Present(1, pty);
  WriteSettings("ComPort=COM1");
  const auto form = Start();
  const auto open = [&] { return form->Core().PacketDriver().Connected(); };
  ASSERT_TRUE(open());
  EXPECT_FALSE(form->AdvGlowButton1->isEnabled());

  responder.answers = {Cancel()};
  form->AdvGlowButton2->click();
  EXPECT_TRUE(responder.warnings.isEmpty()) << "a cancelled question is no wrong code";
  EXPECT_TRUE(open());

  responder.answers = {Typing(QStringLiteral("00000"))};
  form->AdvGlowButton2->click();
  EXPECT_EQ(responder.warnings, QStringList{QStringLiteral("Неправильный пароль. В доступе отказано")});
  EXPECT_TRUE(open());

  responder.answers = {Typing(QStringLiteral("54321"))};
  form->AdvGlowButton2->click();
  EXPECT_FALSE(open());
  EXPECT_EQ(form->AdvGlowButton2->text(), QStringLiteral("Запустить"));
  EXPECT_TRUE(form->AdvGlowButton1->isEnabled());

  form->AdvGlowButton2->click();  // start again: no code needed
  EXPECT_TRUE(open());

  // The code typed last time is still in the field and accepted as it is.
  responder.answers = {PressOk()};
  form->AdvGlowButton2->click();
  EXPECT_FALSE(open());
  EXPECT_EQ(responder.warnings.size(), 1);
  EXPECT_EQ(responder.unexpected, 0);
  // Every press posted a notice of its own, each with the port's state then.
  const auto notices = Notices(*form);
  ASSERT_GE(notices.size(), 4u);
  EXPECT_EQ(std::vector(notices.end() - 4, notices.end()),
            (std::vector{Notice("COM1", true), Notice("COM1", false), Notice("COM1", true), Notice("COM1", false)}));
}

TEST_F(MainWindowTest, ClosingWantsTheRightCode) {
  const auto form = Start();
  form->show();
  responder.answers = {Typing(QStringLiteral("00000"))};
  EXPECT_FALSE(form->close());
  EXPECT_EQ(responder.warnings, QStringList{QStringLiteral("Не правильный пароль.")});
  EXPECT_TRUE(form->isVisible());

  responder.answers = {Cancel()};
  EXPECT_FALSE(form->close());
  EXPECT_EQ(responder.warnings.size(), 1) << "cancel shows nothing";

  responder.answers = {Typing(QStringLiteral("54321"))};
  EXPECT_TRUE(form->close());
}

TEST_F(MainWindowTest, AFailedStartRescansAndPostsTwoNoticesInOrder) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  Present(2, pty);
  WriteSettings("ComPort=COM255");
  const auto form = Start();
  ASSERT_EQ(form->Core().View().Port, PortMode::Stopped);
  (void)Notices(*form);  // the start-up notices

  form->AdvOfficeComboBox1->setEditText(QStringLiteral("COM7"));
  form->AdvGlowButton2->click();
  // Only a busy port is called busy: this one is not there at all.
  EXPECT_EQ(responder.warnings, QStringList{QStringLiteral("Порт COM7: нет такого устройства.")});
  EXPECT_EQ(form->AdvGlowButton2->text(), QStringLiteral("Запустить"));
  // The rescan picked COM2 and stored it; its notice comes first, then the button's.
  EXPECT_EQ(form->AdvOfficeComboBox1->currentText(), QStringLiteral("COM2"));
  EXPECT_EQ(form->Core().Settings().ComPort, "COM2");
  EXPECT_EQ(ReadMainSettings(IniFile(work.File(kSettingsFileName))).ComPort, "COM2");
  EXPECT_EQ(Notices(*form), (std::vector{Notice("COM2", false), Notice("COM2", false)}));
}

TEST_F(MainWindowTest, APortThatCannotBeStoredIsLoggedAs19) {
  const auto form = Start();
  std::filesystem::remove(work.File(kSettingsFileName));
  std::filesystem::create_directory(work.File(kSettingsFileName));  // not writable as a file
  form->AdvOfficeComboBox1->addItem(QStringLiteral("COM4"));
  form->AdvOfficeComboBox1->setCurrentIndex(form->AdvOfficeComboBox1->count() - 1);
  form->AdvOfficeComboBox1Select();
  EXPECT_EQ(form->Core().Settings().ComPort, "COM255");
  EXPECT_EQ(work.Read("error.txt"), "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9" "19\r\n");
}

// Every label, button and list of a shown page lies within its parent and
// is as large as its text needs (a wrapped label as tall as its width needs).
void ExpectNothingCut(QWidget& page) {
  QCoreApplication::processEvents();  // lays out a page just shown
  for (QWidget* widget : page.findChildren<QWidget*>()) {
    if (!widget->isVisible()) continue;
    auto* label = qobject_cast<QLabel*>(widget);
    if (label == nullptr && qobject_cast<QAbstractButton*>(widget) == nullptr &&
        qobject_cast<QComboBox*>(widget) == nullptr && qobject_cast<QGroupBox*>(widget) == nullptr) {
      continue;
    }
    SCOPED_TRACE((label != nullptr ? label->text() : widget->metaObject()->className()).toStdString());
    EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry())) << "within its parent";
    if (label != nullptr && label->wordWrap()) {
      EXPECT_GE(label->height(), label->heightForWidth(label->width()));
    } else {
      const QSize needed = label != nullptr ? label->sizeHint() : widget->minimumSizeHint();
      EXPECT_GE(widget->width(), needed.width());
      EXPECT_GE(widget->height(), needed.height());
    }
  }
}

TEST_F(MainWindowTest, PagesHoldTheirTextsAtTheDesktopFont) {
  const auto form = Start();
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Драйвер ORVENT"));
  StationView view = form->Core().View();
  view.Waiting = 123456;
  view.OldestWaiting = EncodeDateTime(CivilTime{2026, 12, 28, 23, 58, 58, 0});
  view.LastAcknowledged = view.LastConfirmed = view.OldestWaiting;
  view.PortName = "/dev/ttyUSB10";
  form->ShowView(view);
  form->show();
  EXPECT_EQ(form->Notebook1->currentWidget(), form->PageDefault);
  EXPECT_TRUE(form->AdvGlowButton28->isChecked());
  ExpectNothingCut(*form);
  EXPECT_GE(form->Image2->height(), 48) << "readable across the room";
  EXPECT_EQ(form->Image3->size(), form->Image2->size());
  // The server picture is drawn at start-up: not green, the link is not up
  // yet (red while down, amber while it connects).
  EXPECT_NE(form->ServerPicture().pixel(0, 8), qRgb(0, 128, 0));
  EXPECT_NE(form->ServerPicture().pixel(0, 8), qRgb(255, 255, 255));

  form->AdvGlowButton47->click();
  EXPECT_EQ(form->Notebook1->currentWidget(), form->PageSetup);
  EXPECT_FALSE(form->AdvGlowButton28->isChecked());
  ExpectNothingCut(*form->PageSetup);
  form->AdvGlowButton28->click();
  EXPECT_EQ(form->Notebook1->currentWidget(), form->PageDefault);
  EXPECT_FALSE(form->AdvGlowButton47->isChecked());
}

TEST_F(MainWindowTest, MinimisingHidesOnlyWhileTheNotificationAreaIconIsShown) {
  bool tray = false;  // the panel starts after the driver
  DriverEnvironment env;
  env.WorkDir = work.path();
  env.ports = &ports;
  env.TrayAvailable = [&tray] { return tray; };
  TForm1 form(env);
  form.show();
  EXPECT_FALSE(form.RxTrayIcon1->isVisible());
  form.setWindowState(Qt::WindowMinimized);
  QCoreApplication::processEvents();
  EXPECT_TRUE(form.isVisible()) << "nothing would bring a hidden window back";
  form.N4Click();

  tray = true;
  form.CheckNotificationArea();
  EXPECT_TRUE(form.RxTrayIcon1->isVisible());
  form.setWindowState(Qt::WindowMinimized);
  QCoreApplication::processEvents();
  EXPECT_FALSE(form.isVisible());
  form.N4Click();
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.windowState() & Qt::WindowMinimized);
}

// The window draws whatever view it is given, and nothing else.
TEST_F(MainWindowTest, DrawsTheViewItIsGiven) {
  const auto form = Start();
  StationView view;
  view.PortName = "USB0";
  view.PortChoices = {"COM1", "USB0"};
  view.PortCommand = "Остановить";
  view.PortChoiceOpen = false;
  view.ReceiverHeard = true;
  view.ReceiverPicture = HealthLevel::Working;
  view.Link = LinkMode::Down;
  view.ServerPicture = HealthLevel::Stopped;
  view.StartedAt = EncodeDateTime(CivilTime{2011, 9, 6, 14, 30, 5, 0});
  view.CloseCode = "11111";
  view.Verdict = {HealthLevel::Stopped, "сервер 127.0.0.1:12543 не принимает события с 14:30:05"};
  view.LastWarning = "06.09.2011 14:30:13 Связь с сервером потеряна - переподсоединение.";
  view.LinesUnacknowledged = 2;
  view.LastUnacknowledged = "14:30:07 строка не той длины";
  form->ShowView(view);
  EXPECT_EQ(form->AdvGlowButton2->text(), QStringLiteral("Остановить"));
  EXPECT_FALSE(form->AdvGlowButton1->isEnabled());
  EXPECT_FALSE(form->AdvOfficeComboBox1->isEnabled());
  EXPECT_EQ(form->AdvOfficeComboBox1->count(), 2);
  EXPECT_EQ(form->AdvOfficeComboBox1->currentText(), QStringLiteral("USB0"));
  EXPECT_EQ(form->Label15->text(), QStringLiteral("11111"));
  EXPECT_EQ(form->Label6->text(), QStringLiteral("06.09.2011 14:30:05"));
  EXPECT_EQ(form->StationPicture().pixel(0, 8), qRgb(0, 128, 0));
  EXPECT_EQ(form->ServerPicture().pixel(0, 8), qRgb(255, 0, 0));
  // The verdict in words on its colour, the last warning and the lines left
  // without an ACK, where nothing scrolls them away.
  EXPECT_EQ(form->HealthBand->text(),
            QStringLiteral("Тревоги не проходят: сервер 127.0.0.1:12543 не принимает события с 14:30:05"));
  EXPECT_EQ(form->HealthBand->palette().color(QPalette::Window), QColor(255, 0, 0));
  EXPECT_EQ(form->LastWarning->text(),
            QStringLiteral("06.09.2011 14:30:13 Связь с сервером потеряна - переподсоединение."));
  EXPECT_EQ(form->Unacknowledged->text(),
            QStringLiteral("Без подтверждения: 2 (последняя: 14:30:07 строка не той длины)"));
  EXPECT_TRUE(form->RxTrayIcon1->toolTip().endsWith(form->HealthBand->text()));

  view.Link = LinkMode::Accepted;
  view.ServerPicture = HealthLevel::Attention;
  view.Verdict = {HealthLevel::Working, "порт USB0 открыт, сервер принимает события"};
  view.PortName = "COM7";  // a name no scan found stays shown
  form->ShowView(view);
  EXPECT_EQ(form->ServerPicture().pixel(0, 8), qRgb(230, 140, 0));
  EXPECT_EQ(form->HealthBand->palette().color(QPalette::Window), QColor(0, 128, 0));
  EXPECT_EQ(form->AdvOfficeComboBox1->currentText(), QStringLiteral("COM7"));
}

// The backlog's fields, each beside its label; a time that is not there
// shows as a dash, also where one was shown before.
TEST_F(MainWindowTest, DrawsTheBacklogOfTheView) {
  const auto form = Start();
  form->show();
  const TDateTime oldest = EncodeDateTime(CivilTime{2026, 12, 10, 4, 50, 1, 0});
  const TDateTime acknowledged = EncodeDateTime(CivilTime{2026, 12, 11, 3, 40, 12, 0});
  const TDateTime confirmed = EncodeDateTime(CivilTime{2026, 12, 9, 23, 5, 0, 0});
  struct Case {
    const char* name;
    std::size_t waiting;
    std::optional<TDateTime> oldest, acknowledged, confirmed;
    QStringList shown;  // waiting, oldest, last acknowledged, last confirmed
  };
  const Case cases[] = {
      {"nothing yet", 0, {}, {}, {}, {"0", "-", "-", "-"}},
      {"three waiting", 3, oldest, acknowledged, confirmed,
       {"3", "10.12.2026 04:50:01", "11.12.2026 03:40:12", "09.12.2026 23:05:00"}},
      {"drained", 0, {}, acknowledged, acknowledged, {"0", "-", "11.12.2026 03:40:12", "11.12.2026 03:40:12"}},
      {"waiting, none confirmed", 1, acknowledged, acknowledged, {},
       {"1", "11.12.2026 03:40:12", "11.12.2026 03:40:12", "-"}},
  };
  const std::pair<const char*, QLabel*> fields[] = {
      {kLabelWaiting, form->BacklogWaiting},
      {kLabelOldestWaiting, form->BacklogOldest},
      {kLabelLastAcknowledged, form->BacklogLastAcknowledged},
      {kLabelLastConfirmed, form->BacklogLastConfirmed},
  };
  StationView view = form->Core().View();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    view.Waiting = c.waiting;
    view.OldestWaiting = c.oldest;
    view.LastAcknowledged = c.acknowledged;
    view.LastConfirmed = c.confirmed;
    form->ShowView(view);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(fields[i].second->text(), c.shown[i]) << fields[i].first;
  }

  QCoreApplication::processEvents();
  const QList<QLabel*> labels = form->PageDefault->findChildren<QLabel*>();
  for (const auto& [text, value] : fields) {
    const auto label = std::find_if(labels.begin(), labels.end(),
                                    [&](QLabel* l) { return l->text() == QString::fromUtf8(text); });
    ASSERT_NE(label, labels.end()) << text;
    EXPECT_LT((*label)->geometry().right(), value->geometry().left()) << text;
    EXPECT_EQ((*label)->geometry().center().y(), value->geometry().center().y()) << text;
  }
}

TEST_F(MainWindowTest, OpensCentredOnTheScreen) {
  const auto form = Start();
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((form->geometry().center() - screen.center()).manhattanLength(), 2);
}

TEST_F(MainWindowTest, StatusLinesAreAppendedAndTheOldestGoAfterAThousand) {
  const auto form = Start();
  form->Memo1->clear();
  // Midnight keeps its time: the same stamp as every other.
  const TDateTime now = EncodeDateTime(CivilTime{2026, 12, 10, 0, 0, 0, 0});
  form->ShowStatus(now, Priority::Info, "Соединение...");
  form->ShowStatus(EncodeDateTime(CivilTime{2026, 12, 10, 0, 0, 1, 0}), Priority::Info, "Соединение установлено.");
  QStringList lines = form->Memo1->toPlainText().split(QLatin1Char('\n'));
  EXPECT_EQ(lines, QStringList({QStringLiteral("10.12.2026 00:00:00 Соединение..."),
                                QStringLiteral("10.12.2026 00:00:01 Соединение установлено.")}));

  for (int i = 0; i < TForm1::kMemoLines + 5; ++i) form->ShowStatus(now, Priority::Info, std::to_string(i));
  lines = form->Memo1->toPlainText().split(QLatin1Char('\n'));
  EXPECT_EQ(lines.size(), TForm1::kMemoLines);
  EXPECT_TRUE(lines.back().endsWith(QString::number(TForm1::kMemoLines + 4)));
}

TEST(FailureBox, RepeatedFailuresShareOneBoxAndNeverWait) {
  QWidget window;
  ShowFailure(&window, QStringLiteral("'0A1' is not a valid integer value"));
  ShowFailure(&window, QStringLiteral("'0B2' is not a valid integer value"));
  QList<QMessageBox*> boxes;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) boxes << box;
  }
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_EQ(boxes[0]->text(), QStringLiteral("'0B2' is not a valid integer value."));
  EXPECT_EQ(boxes[0]->icon(), QMessageBox::Critical);
  boxes[0]->close();
}

TEST(FailureText, AFullStopAfterALastCharacterThatSortsAfterIt) {
  EXPECT_EQ(FailureText(QStringLiteral("'0A1' is not a valid integer value")),
            QStringLiteral("'0A1' is not a valid integer value."));
  EXPECT_EQ(FailureText(QStringLiteral("Disk full.")), QStringLiteral("Disk full."));
  EXPECT_EQ(FailureText(QStringLiteral("Stop!")), QStringLiteral("Stop!"));
  EXPECT_EQ(FailureText(QStringLiteral("Нет связи")), QStringLiteral("Нет связи."));
  EXPECT_EQ(FailureText(QString()), QString());
}

}  // namespace
}  // namespace orvent
