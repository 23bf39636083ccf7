// The station as both programs use it, driven through its commands on a
// manual event loop and a fake clock: start-up that waits for nobody, the
// close code, a port that fails and comes back, the port-state notices, the
// status lines and warnings it words, the view it shows, the orderly end.
// Real pseudo-terminals stand in for the receiver's line and a scripted
// loopback server for the message server.

#include "station/station.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "delivery/commands.h"
#include "delivery/spool.h"
#include "delivery/spool_folder.h"
#include "platform/files.h"
#include "platform/manual_event_loop.h"
#include "receiver/serial_packet_driver.h"
#include "support/loopback_server.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using test::ScriptedServer;

constexpr std::uint32_t kCode = 54321;

// The face records what the station shows and answers its questions from a
// list (nothing left: cancelled).
class RecordingFace final : public StationFace {
public:
  void ShowView(const StationView& view) override { views.push_back(view); }
  void ShowStatus(TDateTime, Priority priority, const std::string& text) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(text);
    priorities_.push_back(priority);
  }
  void ShowWarning(TDateTime, const std::string& text) override { warnings.push_back(text); }
  void ShowFailure(const std::string& text) override { ShowStatus(0, Priority::Error, "failure: " + text); }
  std::optional<std::string> AskCloseCode() override {
    ++asked;
    if (answers.empty()) return std::nullopt;
    std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }

  // With `later` set the face keeps the question open, as the Windows
  // window does, and the test answers it through `pending`.
  bool AskCloseCodeLater(const CloseCodeAnswer& answer) override {
    if (!later) return false;
    ++asked;
    pending = answer;
    return true;
  }

  bool Showed(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), text) != lines_.end();
  }
  Priority PriorityOf(const std::string& text) const {
    std::lock_guard lock(mutex_);
    const auto it = std::find(lines_.begin(), lines_.end(), text);
    return it == lines_.end() ? Priority::Info : priorities_[static_cast<std::size_t>(it - lines_.begin())];
  }
  std::size_t Count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), text));
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    views.clear();
    warnings.clear();
  }
  // The last line that is not the verdict's own (those are checked apart).
  std::string Last() const {
    std::lock_guard lock(mutex_);
    for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
      if (!IsVerdictLine(*it)) return *it;
    }
    return {};
  }
  static bool IsVerdictLine(const std::string& line) {
    for (const char* word : {"Работает: ", "Внимание: ", "Тревоги не проходят: "}) {
      if (line.starts_with(word)) return true;
    }
    return false;
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  const StationView& View() const { return views.back(); }

  std::vector<StationView> views;
  std::vector<std::string> warnings;
  std::deque<std::optional<std::string>> answers;
  int asked = 0;
  bool later = false;
  CloseCodeAnswer pending;

private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<Priority> priorities_;
};

const std::string kLine = std::string("5011 181234113001015") + '\x14';

class StationTest : public ::testing::Test {
protected:
  void SetUp() override { fs::create_directory(dev_dir); }

  // The spool goes into the test's folder: an empty PathForSoob would be
  // the test program's working directory.
  void Configure(const std::string& main_section, std::uint16_t server_port) {
    work.Write(kSettingsFileName, "[main]\nPathForSoob=" + work.Prefix() + "\n" + main_section +
                                      "\n[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(server_port) + "\n");
  }
  // Makes a pseudo-terminal appear as COM1 (again, after a replug).
  void PlugIn(const test::PtyPair& pty) {
    fs::remove(dev_dir + "/ttyS0");
    fs::create_symlink(pty.path(), dev_dir + "/ttyS0");
  }
  Station& Make(bool offers_port_choice = true) {
    station = std::make_unique<Station>(
        StationEnvironment{work.path(), &loop, &clock, &ports, [] { return kCode; }, offers_port_choice}, face);
    return *station;
  }

  // Runs the loop's posted calls (the link's status lines wait for them)
  // until the condition holds; bounded.
  template <typename Condition>
  bool Pump(Condition done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      loop.RunPosted();
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  // The port-state notices the server received, payloads in order.
  static std::vector<Bytes> Notices(const ScriptedServer& server) {
    std::vector<Bytes> notices;
    for (const auto& m : server.Messages()) {
      if (m.Command == cmd_port_state) notices.push_back(m.Payload);
    }
    return notices;
  }
  // A receiver line through the pseudo-terminal; true when the core's ACK
  // came back (the packet's time-out runs on the loop's timers). The line
  // comes after a quiet moment: one that follows the port's opening at once
  // may be the rest of a line already on its way, and goes unanswered.
  bool Acknowledged(test::PtyPair& pty) {
    loop.Advance(100);
    if (!pty.Write(kLine) || !pty.WaitUntilWaiting(static_cast<int>(kLine.size()))) return false;
    loop.SignalWatches();  // the loop sees the line readable
    loop.Advance(200);
    return pty.Read(1, 1s) == "\x06";
  }

  test::TempDir work;
  std::string dev_dir = work.File("dev");
  SystemSerialPorts ports{dev_dir};
  FakeClock clock;
  ManualEventLoop loop{clock};
  RecordingFace face;
  std::unique_ptr<Station> station;
};

TEST_F(StationTest, StartsWithTheListingFirstAndStoresNoChoiceOfIt) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  fs::create_symlink(pty.path(), dev_dir + "/ttyS1");  // COM2 is there
  ScriptedServer server(test::Behaving);
  Configure("", server.Port());
  Make().Start();
  const StationView& view = face.View();
  EXPECT_EQ(view.PortChoices, std::vector<std::string>{"COM2"});
  EXPECT_EQ(view.PortName, "COM255");
  EXPECT_EQ(view.Port, PortMode::Stopped);
  EXPECT_EQ(view.PortCommand, "Запустить");
  EXPECT_TRUE(view.PortChoiceOpen);
  EXPECT_EQ(view.CloseCode, "54321");
  EXPECT_EQ(view.StartedAt, clock.Now());
  EXPECT_TRUE(face.warnings.empty());
  EXPECT_EQ(ReadMainSettings(IniFile(work.File(kSettingsFileName))).ComPort, "COM255");
  // Without a port the handshake still names the one the window holds.
  ASSERT_TRUE(Pump([&] { return !Notices(server).empty(); }));
  EXPECT_EQ(Notices(server).front(), (Bytes{0x06, 'C', 'O', 'M', '2', '5', '5', 0x00}));
}

// A station whose face offers no port choice (the service) probes no port
// at start-up: the configured one is opened, no other is touched.
TEST_F(StationTest, WithoutAPortChoiceNoPortIsListed) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  fs::create_symlink(pty.path(), dev_dir + "/ttyS1");  // COM2 is there
  Configure("", 1);
  Make(false).Start();
  EXPECT_TRUE(face.View().PortChoices.empty());
  EXPECT_EQ(face.View().PortName, "COM255");
}

// The first line says what the station runs with: the settings file (or
// why it gives none), the port, the server and where the spool goes.
TEST_F(StationTest, StartUpSaysWhatItUses) {
  const std::string ini = work.File(kSettingsFileName);
  const std::string spool = "Очередь: " + work.Prefix() + "*.dd8, свободно ";
  struct Case {
    const char* name;
    std::function<void()> make;
    std::string starts;
  };
  const Case cases[] = {
      {"good", [&] { Configure("ComPort=COM3", 5000); },
       "Настройки: " + ini + ". Порт: COM3. Сервер: 127.0.0.1:5000. " + spool},
      {"bad values",
       [&] {
         work.Write(kSettingsFileName, "[main]\nPathForSoob=" + work.Prefix() +
                                           "\nFirstNumber=7x\nAttention=25:00:00\n[ServerHost]\nPort=1x\n");
       },
       "Настройки: " + ini +
           "; неверные значения: FirstNumber=\"7x\" (взято 4), Attention=\"25:00:00\" (взято 0:10:00), "
           "Port=\"1x\" (взято 12543). Порт: не задан. Сервер: 127.0.0.1:12543. Очередь: "},
      {"none", [] {}, "Настройки: файл " + ini + " не найден, действуют значения по умолчанию. Порт: не задан. "},
      // A pipe would hold a reader that waits for its writer for ever.
      {"a pipe", [&] { ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0); },
       "Настройки: файл " + ini + " не читается (это не обычный файл), действуют значения по умолчанию. Порт: не задан. "},
      {"too large", [&] { work.Write(kSettingsFileName, std::string(IniFile::kMaxSize + 1, ';')); },
       "Настройки: файл " + ini + " не читается (больше 1 МБ), действуют значения по умолчанию."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(ini);
    c.make();
    face.Reset();
    Make().Start();
    const std::vector<std::string> lines = face.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.front().starts_with(c.starts)) << lines.front();
    station.reset();
  }
}

// A spool folder that cannot take files is said at start and in the error
// log; the station keeps running and says when the folder is there again.
TEST_F(StationTest, AMissingSpoolFolderIsToldAndLookedForAgain) {
  const std::string folder = work.File("spool");
  // Written without its separator: an existing folder means that folder.
  work.Write(kSettingsFileName, "[main]\nPathForSoob=" + folder + "\n[ServerHost]\nPort=1\n");
  Make().Start();
  // The folder is not there yet, so the name stays a prefix in the work folder.
  EXPECT_TRUE(face.Lines().front().find("Очередь: " + folder + "*.dd8") != std::string::npos) << face.Lines().front();
  station.reset();

  fs::create_directory(folder);
  face.Reset();
  Make().Start();
  EXPECT_TRUE(face.Lines().front().find("Очередь: " + folder + "/*.dd8") != std::string::npos) << face.Lines().front();
  station.reset();

  work.Write(kSettingsFileName, "[main]\nPathForSoob=" + folder + "/later/\n[ServerHost]\nPort=1\n");
  face.Reset();
  Make().Start();
  const std::string missing = "Папка очереди " + folder +
                              "/later/ недоступна (нет такой папки) - события остаются в приёмнике, пока их не "
                              "подтвердит сервер.";
  EXPECT_EQ(face.Count(missing), 1u);
  std::string log;
  ASSERT_FALSE(ReadWholeFile(work.File("error.txt"), log));
  EXPECT_EQ(log, ErrorLogLine(kSpoolFolderErrorNumber));
  loop.Advance(Station::kSpoolFolderRetry.count());
  EXPECT_EQ(face.Count(missing), 1u) << "said once";
  fs::create_directory(folder + "/later");
  loop.Advance(Station::kSpoolFolderRetry.count());
  // (The link's own lines, on a thread of their own, may come in between.)
  EXPECT_EQ(face.Count("Папка очереди " + folder + "/later/ снова доступна."), 1u) << face.Last();
}

TEST_F(StationTest, APortMissingAtStartHoldsNothingBackAndOpensWhenItAppears) {
  ScriptedServer server(test::Behaving);
  Configure("ComPort=COM1", server.Port());
  Make().Start();
  EXPECT_TRUE(face.Showed("Порт COM1: нет такого устройства."));
  // The warning carries the reason, in the status line's words; a port that
  // is not there is not called busy.
  EXPECT_EQ(face.warnings, std::vector<std::string>{"Порт COM1: нет такого устройства."});
  EXPECT_EQ(face.View().Verdict.Level, HealthLevel::Stopped);
  EXPECT_EQ(face.View().Verdict.Reason.rfind("порт COM1 не открывается (нет такого устройства)", 0), 0u)
      << face.View().Verdict.Reason;
  EXPECT_EQ(face.View().Port, PortMode::Retrying);
  EXPECT_EQ(face.View().PortCommand, "Остановить");
  EXPECT_FALSE(face.View().PortChoiceOpen);
  // The server gets the handshake at the first attempt, the port closed.
  ASSERT_TRUE(Pump([&] { return !Notices(server).empty(); }));
  EXPECT_EQ(Notices(server).front(), (Bytes{0x04, 'C', 'O', 'M', '1', 0x00, 0x00, 0x00}));

  loop.Advance(Station::kPortRetry.count());
  EXPECT_EQ(face.Count("Порт COM1: нет такого устройства."), 1u);  // told once, not every 5 s
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  loop.Advance(Station::kPortRetry.count() + Station::kViewPeriod.count());
  EXPECT_EQ(face.View().Port, PortMode::Open);
  EXPECT_TRUE(face.Showed("Порт COM1 открыт."));
  const Bytes open_notice{0x04, 'C', 'O', 'M', '1', 0x00, 0x00, 0x01};
  EXPECT_TRUE(Pump([&] { return Notices(server).back() == open_notice; }));
  EXPECT_TRUE(Acknowledged(pty));
}

TEST_F(StationTest, ALostLineIsOpenedAgainWhenTheAdapterComesBack) {
  test::PtyPair first;
  ASSERT_TRUE(first.ok());
  PlugIn(first);
  Configure("ComPort=COM1", 1);
  Make().Start();
  EXPECT_EQ(face.View().Port, PortMode::Open);
  ASSERT_TRUE(Acknowledged(first));
  loop.Advance(Station::kViewPeriod.count());
  EXPECT_TRUE(face.View().ReceiverHeard);

  first.CloseMaster();  // unplugged: the line hangs up
  loop.SignalWatches();
  EXPECT_TRUE(face.Showed("Порт COM1 потерян."));
  loop.Advance(Station::kViewPeriod.count());
  EXPECT_EQ(face.View().Port, PortMode::Retrying);
  EXPECT_FALSE(face.View().ReceiverHeard) << "a port that is not open hears nobody";

  test::PtyPair second;  // plugged in again, under a new device
  ASSERT_TRUE(second.ok());
  PlugIn(second);
  loop.Advance(Station::kPortRetry.count());
  EXPECT_EQ(face.View().Port, PortMode::Open);
  EXPECT_TRUE(Acknowledged(second));
  loop.Advance(Station::kViewPeriod.count());
  EXPECT_TRUE(face.View().ReceiverHeard);

  // The operator's stop ends the retries for good.
  second.CloseMaster();
  loop.SignalWatches();
  face.answers = {"54321"};
  station->StopPort();
  loop.Advance(3 * Station::kPortRetry.count());
  EXPECT_EQ(face.View().Port, PortMode::Stopped);
}

TEST_F(StationTest, StoppingWantsTheCloseCodeAndEveryPressIsANotice) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  ScriptedServer server(test::Behaving);
  Configure("ComPort=COM1", server.Port());
  Make().Start();
  ASSERT_TRUE(Pump([&] { return station->Link()->Accepted() && !Notices(server).empty(); }));  // the handshake is done
  const std::size_t before = Notices(server).size();

  struct Case {
    std::optional<std::string> answer;
    PortMode after;
    std::vector<std::string> warnings;
    const char* line;  // every answer leaves a line in the list
  };
  const Case cases[] = {
      {std::nullopt, PortMode::Open, {}, "Остановка порта отменена."},  // cancelled: no warning
      {"12345", PortMode::Open, {"Неправильный пароль. В доступе отказано"}, "Неправильный пароль. В доступе отказано."},
      {"54321", PortMode::Stopped, {}, "Порт COM1 остановлен оператором."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer.value_or("cancelled"));
    face.warnings.clear();
    face.answers = {c.answer};
    station->StartOrStopPort("COM1");
    EXPECT_EQ(face.View().Port, c.after);
    EXPECT_EQ(face.warnings, c.warnings);
    EXPECT_EQ(face.Last(), c.line);
  }
  station->StartOrStopPort("COM1");  // starting asks for nothing
  EXPECT_EQ(face.View().Port, PortMode::Open);
  EXPECT_EQ(face.Last(), "Порт COM1 открыт оператором.");
  EXPECT_EQ(face.asked, 3);

  // The server hears the port's state after every press, as it was then.
  const Bytes open{0x04, 'C', 'O', 'M', '1', 0x00, 0x00, 0x01};
  const Bytes closed{0x04, 'C', 'O', 'M', '1', 0x00, 0x00, 0x00};
  // (An announcement of the opening may follow the handshake: the link can
  // be up before the port opens at start-up.)
  const std::vector<Bytes> expected{open, open, closed, open};
  const auto last_four = [&] {
    const std::vector<Bytes> notices = Notices(server);
    return notices.size() < before + 4 ? std::vector<Bytes>{} : std::vector(notices.end() - 4, notices.end());
  };
  EXPECT_TRUE(Pump([&] { return last_four() == expected; }));
  EXPECT_EQ(last_four(), expected);
}

TEST_F(StationTest, ClosingWantsTheCloseCode) {
  Configure("", 1);
  Make().Start();
  face.answers = {std::nullopt, "00000", "54321"};
  EXPECT_FALSE(station->Close());
  EXPECT_TRUE(face.warnings.empty()) << "cancel shows nothing";
  EXPECT_EQ(face.Last(), "Закрытие программы отменено.");
  EXPECT_FALSE(station->Close());
  EXPECT_EQ(face.warnings, std::vector<std::string>{"Не правильный пароль."});
  EXPECT_EQ(face.Last(), "Не правильный пароль.");
  EXPECT_FALSE(station->Ended());
  EXPECT_TRUE(station->Close());
  EXPECT_TRUE(station->Ended());
  EXPECT_TRUE(face.Showed("Драйвер остановлен. Событий в очереди: 0."));
}

// A question answered later leaves the station working meanwhile: alarms are
// acknowledged while the operator types, and the answer then counts as if
// it had come at once; an answer that comes after the end does nothing.
TEST_F(StationTest, AQuestionAnsweredLaterLeavesTheStationWorking) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  ScriptedServer server(test::Behaving);
  Configure("ComPort=COM1", server.Port());
  Make().Start();
  face.later = true;

  station->StartOrStopPort("COM1");
  ASSERT_TRUE(face.pending);
  EXPECT_TRUE(Acknowledged(pty)) << "the port is read while the question is up";
  EXPECT_EQ(face.View().Port, PortMode::Open);
  std::exchange(face.pending, {})("54321");
  EXPECT_EQ(face.View().Port, PortMode::Stopped);
  EXPECT_EQ(face.Last(), "Порт COM1 остановлен оператором.");

  EXPECT_FALSE(station->Close()) << "not ended while the question is up";
  ASSERT_TRUE(face.pending);
  std::exchange(face.pending, {})("00000");
  EXPECT_EQ(face.warnings.back(), "Не правильный пароль.");
  EXPECT_FALSE(station->Ended());
  station->Close();
  std::exchange(face.pending, {})("54321");
  EXPECT_TRUE(station->Ended());
  EXPECT_EQ(face.asked, 3);

  // The system ended the station while the question was up.
  Make().Start();
  station->Close();
  station->End();
  const std::size_t lines = face.Lines().size();
  std::exchange(face.pending, {})("54321");
  EXPECT_EQ(face.Lines().size(), lines);
}

TEST_F(StationTest, AFailedStartWarnsRescansAndTellsTheServerTwice) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  fs::create_symlink(pty.path(), dev_dir + "/ttyS1");  // COM2
  ScriptedServer server(test::Behaving);
  Configure("", server.Port());
  Make().Start();
  ASSERT_TRUE(Pump([&] { return station->Link()->Accepted() && !Notices(server).empty(); }));  // the handshake is done
  const std::size_t before = Notices(server).size();

  station->StartOrStopPort("COM7");
  EXPECT_TRUE(face.Showed("Порт COM7: нет такого устройства."));
  EXPECT_EQ(face.warnings, std::vector<std::string>{"Порт COM7: нет такого устройства."});
  EXPECT_EQ(face.View().Port, PortMode::Stopped);
  // The new scan picked COM2 and stored it; its notice comes first, then the button's.
  EXPECT_EQ(face.View().PortName, "COM2");
  EXPECT_EQ(ReadMainSettings(IniFile(work.File(kSettingsFileName))).ComPort, "COM2");
  const Bytes com2{0x04, 'C', 'O', 'M', '2', 0x00, 0x00, 0x00};
  ASSERT_TRUE(Pump([&] { return Notices(server).size() >= before + 2; }));
  const std::vector<Bytes> notices = Notices(server);
  EXPECT_EQ(std::vector(notices.begin() + static_cast<std::ptrdiff_t>(before), notices.end()),
            (std::vector{com2, com2}));
}

TEST_F(StationTest, AChoiceThatCannotBeStoredIsLoggedAs19) {
  Configure("", 1);
  Make().Start();
  fs::remove(work.File(kSettingsFileName));
  fs::create_directory(work.File(kSettingsFileName));  // not writable as a file
  station->SelectPort("COM4");
  EXPECT_EQ(station->Settings().ComPort, "COM255");
  EXPECT_EQ(work.Read("error.txt"), "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9" "19\r\n");
}

TEST_F(StationTest, TheStationGoingQuietAndComingBackAreStatusLines) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  Configure("ComPort=COM1\nAttention=00:00:05", 1);
  Make().Start();
  loop.Advance(1000);
  EXPECT_TRUE(face.View().ReceiverHeard);
  EXPECT_FALSE(face.Showed("Связь со станцией восстановлена."));  // the first turn online is no news
  loop.Advance(5000);
  EXPECT_FALSE(face.View().ReceiverHeard);
  EXPECT_TRUE(face.Showed("Станция не выходит на связь."));
  const TDateTime before = clock.Now();
  ASSERT_TRUE(Acknowledged(pty));
  loop.Advance(200);
  EXPECT_TRUE(face.Showed("Связь со станцией восстановлена."));
  EXPECT_TRUE(face.View().ReceiverHeard);
  EXPECT_GT(face.View().ReceiverLastHeard, before);
}

TEST_F(StationTest, TheViewFollowsARecordFromItsAckToTheServer) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  ScriptedServer server(test::Behaving);
  Configure("ComPort=COM1", 1);  // nothing listens there yet
  Make().Start();
  ASSERT_TRUE(Acknowledged(pty));
  loop.Advance(Station::kViewPeriod.count());
  StationView view = face.View();
  EXPECT_EQ(view.Waiting, 1u);
  ASSERT_TRUE(view.LastAcknowledged.has_value());
  ASSERT_TRUE(view.OldestWaiting.has_value());
  EXPECT_EQ(MsFromDateTime(*view.OldestWaiting), MsFromDateTime(*view.LastAcknowledged));
  EXPECT_EQ(view.LastConfirmed, std::nullopt);
  EXPECT_EQ(view.Link, LinkMode::Down);
  std::ostringstream printed;
  printed << view;
  EXPECT_NE(printed.str().find("waiting 1"), std::string::npos) << printed.str();

  // The server comes: the record goes and is confirmed.
  work.Write(kSettingsFileName, "[main]\nPathForSoob=" + work.Prefix() + "\nComPort=COM1\n[ServerHost]\n"
                                "Address=127.0.0.1\nPort=" + std::to_string(server.Port()) + "\n");
  const int pulse = view.ServerPulse;
  // The link's reconnect pause runs on the fake clock; woken, it looks again.
  ASSERT_TRUE(Pump([&] {
    loop.Advance(100);
    station->Link()->Wake();
    return face.View().Waiting == 0 && face.View().Link == LinkMode::Accepted;
  }));
  EXPECT_NE(face.View().ServerPulse, pulse);
  EXPECT_EQ(face.View().LastAcknowledged, view.LastAcknowledged);
  EXPECT_EQ(face.View().OldestWaiting, std::nullopt);
  ASSERT_TRUE(face.View().LastConfirmed.has_value());
  EXPECT_EQ(MsFromDateTime(*face.View().LastConfirmed), MsFromDateTime(*view.LastAcknowledged));
}

TEST_F(StationTest, TheViewGoesOutAtMostEveryPeriodForWhatTheStationSees) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  Configure("ComPort=COM1", 1);
  Make().Start();
  const std::size_t shown = face.views.size();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Acknowledged(pty));  // each takes 300 ms
  // Three messages over 900 ms: at most one view per 100 ms.
  EXPECT_LE(face.views.size() - shown, 10u);
  EXPECT_GE(face.views.size() - shown, 1u);
}

TEST_F(StationTest, TheEndSaysHowManyRecordsWaitInTheSpool) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  Configure("ComPort=COM1", 1);  // nothing listens there
  Make().Start();
  ASSERT_TRUE(Acknowledged(pty));
  ASSERT_TRUE(Acknowledged(pty));
  EXPECT_EQ(station->End(), 2u);
  EXPECT_TRUE(face.Showed("Драйвер остановлен. Событий в очереди: 2."));
  EXPECT_EQ(station->End(), 2u);  // once only
  EXPECT_EQ(face.Count("Драйвер остановлен. Событий в очереди: 2."), 1u);
}

// Two programs on one working folder would share the port and the spool:
// the second refuses before it touches either, and the first goes on.
TEST_F(StationTest, ASecondStationOnTheFolderRefusesAndTheFirstGoesOn) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  Configure("ComPort=COM1", 1);
  Make().Start();
  ASSERT_TRUE(station->Started());

  RecordingFace second_face;
  Station second(StationEnvironment{work.path(), &loop, &clock, &ports, [] { return kCode; }, true}, second_face);
  EXPECT_FALSE(second.Start());
  EXPECT_TRUE(second.Ended());
  EXPECT_EQ(second.Spool(), nullptr) << "the spool is not touched";
  EXPECT_EQ(second.Refusal(), "В папке " + work.path() + "/ уже работает драйвер (процесс " +
                                  std::to_string(::getpid()) +
                                  "): второй не запускается, чтобы не делить с ним порт и очередь.");
  EXPECT_EQ(second_face.Lines(), std::vector<std::string>{second.Refusal()});
  EXPECT_TRUE(second_face.views.empty());
  EXPECT_EQ(second.End(), 0u);

  EXPECT_TRUE(Acknowledged(pty)) << "the first goes on";
  station.reset();
  Make().Start();
  EXPECT_TRUE(station->Started()) << "the folder is free once the first has ended";
}

// No port is a loud state, at start and for as long as it lasts; the
// verdict's lines come when it changes, with the level's priority.
TEST_F(StationTest, NoPortIsRedFromTheStartAndTheVerdictLinesFollowItsChanges) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  ScriptedServer server(test::Behaving);
  Configure("", server.Port());
  Make(false).Start();
  const std::string red = "Тревоги не проходят: порт приёмника не задан (ComPort в kelmora.ini).";
  EXPECT_EQ(face.View().Verdict.Level, HealthLevel::Stopped);
  EXPECT_EQ(face.View().ReceiverPicture, HealthLevel::Stopped);
  EXPECT_EQ(face.Count(red), 1u);
  // (The link connects in real time; the fake clock moves only once it has.)
  ASSERT_TRUE(Pump([&] { return station->Link()->Accepted(); }));
  loop.Advance(60'000);
  EXPECT_EQ(face.View().Verdict.Level, HealthLevel::Stopped) << "as long as it lasts";
  EXPECT_EQ(face.Count(red), 1u) << "said when it changes, not again";

  station->StartPort("COM1");
  EXPECT_EQ(face.View().Verdict, (Health{HealthLevel::Working, "порт COM1 открыт, сервер принимает события"}));
  EXPECT_EQ(face.View().LastWarning, "") << "a working station keeps no warning in sight";
  const std::vector<std::string> lines = face.Lines();
  EXPECT_EQ(lines.back(), "Работает: порт COM1 открыт, сервер принимает события.");
  EXPECT_EQ(face.PriorityOf(red), Priority::Error);
  EXPECT_EQ(face.PriorityOf(lines.back()), Priority::Info);
}

// Lines left without an ACK are counted with the last one's reason; lines
// left unanswered for longer than the receiver's own resends would need turn
// the verdict red, and the next ACK written ends it.
TEST_F(StationTest, LinesLeftUnansweredAreCountedAndTurnTheVerdictRed) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  ScriptedServer server(test::Behaving);
  Configure("ComPort=COM1", server.Port());
  Make(false).Start();
  ASSERT_TRUE(Pump([&] { return station->Link()->Accepted(); }));
  ASSERT_TRUE(Acknowledged(pty));
  ASSERT_EQ(face.View().Verdict.Level, HealthLevel::Working) << face.View();

  // Noise of its own between two DC4s: too short for any message.
  loop.Advance(100);
  const TDateTime noise_at = clock.Now();
  ASSERT_TRUE(pty.Write(std::string("A") + '\x14'));
  ASSERT_TRUE(pty.WaitUntilWaiting(2));
  loop.SignalWatches();
  loop.Advance(200);
  EXPECT_EQ(pty.Read(1, 100ms), "") << "no ACK for it";
  loop.Advance(Station::kViewPeriod.count());
  EXPECT_EQ(face.View().LinesUnacknowledged, 1u);
  EXPECT_TRUE(face.View().LastUnacknowledged.ends_with(" строка не той длины")) << face.View().LastUnacknowledged;
  EXPECT_EQ(face.View().ReceiverPicture, HealthLevel::Attention);
  EXPECT_EQ(face.View().Verdict.Level, HealthLevel::Working) << "the receiver's resend may still come";

  loop.Advance(kUnansweredLimitMs);
  EXPECT_EQ(face.View().Verdict.Level, HealthLevel::Stopped);
  EXPECT_EQ(face.View().Verdict.Reason,
            "строки приёмника остаются без подтверждения с " + ClockText(noise_at) + " (строка не той длины)");
  EXPECT_TRUE(face.Showed("Тревоги не проходят: " + face.View().Verdict.Reason + "."));

  ASSERT_TRUE(Acknowledged(pty));
  loop.Advance(Station::kViewPeriod.count());
  EXPECT_EQ(face.View().Verdict.Level, HealthLevel::Working);
  EXPECT_EQ(face.View().LinesUnacknowledged, 1u) << "counted since the start";
}

// The settings file changed while alarms flow: a change that applies is
// told, one that cannot be read keeps the last good settings and says so
// (amber), and its return is told too.
TEST_F(StationTest, SettingsThatChangeOrFailWhileRunningAreTold) {
  // Written long ago, as far as the file's time tells; each version at a
  // time of its own.
  int versions = 0;
  const auto settle = [&] {
    fs::last_write_time(work.File(kSettingsFileName),
                        fs::file_time_type::clock::now() - std::chrono::seconds(100 - 10 * ++versions));
  };
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  ScriptedServer server(test::Behaving);
  Configure("ComPort=COM1\nVariantRazdel=2\n[Razdels]\n1234_1=777", server.Port());
  settle();
  Make(false).Start();
  ASSERT_TRUE(Pump([&] { return station->Link()->Accepted(); }));
  loop.Advance(Station::kViewPeriod.count());
  ASSERT_EQ(face.View().Verdict.Level, HealthLevel::Working) << face.View();

  const std::string path = work.File(kSettingsFileName);
  Configure("ComPort=COM1\nVariantRazdel=2\n[Razdels]\n1234_1=778\n1234_2=779", server.Port());
  settle();
  loop.Advance(Station::kSettingsCheck.count());
  EXPECT_TRUE(face.Showed("Настройки " + path + " изменены: таблица разделов (2 записи) - со следующего события."))
      << face.Last();

  // A pipe where the file was: nothing is read from it, nothing waits for it.
  fs::remove(path);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  loop.Advance(Station::kSettingsCheck.count());
  const std::string failing = "Настройки " + path +
                              " не читаются (это не обычный файл) - действуют прежние, до перезапуска и после него, "
                              "пока файл не станет снова читаемым.";
  EXPECT_EQ(face.Count(failing), 1u);
  EXPECT_EQ(face.PriorityOf(failing), Priority::Warning);
  EXPECT_EQ(face.View().Verdict.Level, HealthLevel::Attention);
  EXPECT_NE(face.View().Verdict.Reason.find("kelmora.ini не читается (это не обычный файл)"), std::string::npos);
  EXPECT_EQ(LookupRazdel(IniFile(path), "1234_2"), -1) << "a reader of its own gets nothing";
  loop.Advance(Station::kSettingsCheck.count());
  EXPECT_EQ(face.Count(failing), 1u) << "said once while it lasts";

  fs::remove(path);
  Configure("ComPort=COM1\nVariantRazdel=2\n[Razdels]\n1234_1=778\n1234_2=779", server.Port());
  settle();
  loop.Advance(Station::kSettingsCheck.count());
  EXPECT_TRUE(face.Showed("Настройки " + path + " снова читаются."));
  EXPECT_EQ(face.View().Verdict.Level, HealthLevel::Working);
}

TEST(CloseCode, FiveDigitsFrom10000To99998) {
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 500; ++i) {
    const std::uint32_t code = DrawSystemCloseCode();
    EXPECT_GE(code, 10000u);
    EXPECT_LE(code, 99998u);
    seen.insert(code);
  }
  EXPECT_GT(seen.size(), 400u) << "drawn anew each time";
}

TEST(FailureText, AFullStopAfterALastCharacterThatSortsAfterIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"'0A1' is not a valid integer value", "'0A1' is not a valid integer value."},
      {"Disk full.", "Disk full."},
      {"Stop!", "Stop!"},
      {"Нет связи", "Нет связи."},
      {"", ""},
  };
  for (const auto& [message, text] : cases) EXPECT_EQ(FailureText(message), text) << message;
}

}  // namespace
}  // namespace orvent
