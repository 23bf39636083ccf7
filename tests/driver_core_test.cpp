// The driver core as both programs use it, on a manual event loop and a fake
// clock: start-up that waits for nobody, a port that fails and comes back,
// the port-state notices, the status lines that say why, the orderly end.
// Real pseudo-terminals stand in for the receiver's line and a scripted
// loopback server for the message server.

#include "station/driver_core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "delivery/commands.h"
#include "delivery/spool.h"
#include "platform/manual_event_loop.h"
#include "receiver/comm_port_driver.h"
#include "support/loopback_server.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using test::ScriptedServer;

// The face records what the core shows.
class RecordingFace final : public DriverFace {
public:
  void ShowStatus(const std::string& text) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(text);
  }
  void StationChanged() override {}
  void ServerChanged() override {}
  void PortChanged() override { ++port_changes; }
  void ReportFailure(const std::string& message) override { ShowStatus("failure: " + message); }

  bool Showed(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), text) != lines_.end();
  }
  std::size_t Count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), text));
  }
  int port_changes = 0;

private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

const std::string kLine = std::string("5011 181234113001015") + '\x14';

class DriverCoreTest : public ::testing::Test {
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
  DriverCore& Make() {
    core = std::make_unique<DriverCore>(CoreEnvironment{work.path(), &loop, &clock, &ports}, face);
    return *core;
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
  std::unique_ptr<DriverCore> core;
};

TEST_F(DriverCoreTest, WithoutAPortTheHandshakeStillNamesTheOneTheWindowHolds) {
  ScriptedServer server(test::Behaving);
  Configure("", server.Port());
  EXPECT_EQ(Make().Start(), DriverCore::StartResult::NoPort);
  EXPECT_FALSE(core->Running());
  ASSERT_TRUE(Pump([&] { return !Notices(server).empty(); }));
  EXPECT_EQ(Notices(server).front(), (Bytes{0x06, 'C', 'O', 'M', '2', '5', '5', 0x00}));
}

TEST_F(DriverCoreTest, APortMissingAtStartHoldsNothingBackAndOpensWhenItAppears) {
  ScriptedServer server(test::Behaving);
  Configure("ComPort=COM1", server.Port());
  EXPECT_EQ(Make().Start(), DriverCore::StartResult::PortFailed);
  EXPECT_TRUE(face.Showed("Порт COM1: нет такого устройства."));
  EXPECT_EQ(core->Mode(), DriverCore::PortMode::Retrying);
  // The server gets the handshake at the first attempt, the port closed.
  ASSERT_TRUE(Pump([&] { return !Notices(server).empty(); }));
  EXPECT_EQ(Notices(server).front(), (Bytes{0x04, 'C', 'O', 'M', '1', 0x00, 0x00, 0x00}));

  loop.Advance(DriverCore::kPortRetry.count());
  EXPECT_EQ(face.Count("Порт COM1: нет такого устройства."), 1u);  // told once, not every 5 s
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  loop.Advance(DriverCore::kPortRetry.count());
  EXPECT_EQ(core->Mode(), DriverCore::PortMode::Open);
  EXPECT_TRUE(face.Showed("Порт COM1 открыт."));
  const Bytes open_notice{0x04, 'C', 'O', 'M', '1', 0x00, 0x00, 0x01};
  EXPECT_TRUE(Pump([&] { return Notices(server).back() == open_notice; }));
  EXPECT_TRUE(Acknowledged(pty));
}

TEST_F(DriverCoreTest, ALostLineIsOpenedAgainWhenTheAdapterComesBack) {
  test::PtyPair first;
  ASSERT_TRUE(first.ok());
  PlugIn(first);
  Configure("ComPort=COM1", 1);
  EXPECT_EQ(Make().Start(), DriverCore::StartResult::PortOpen);
  ASSERT_TRUE(Acknowledged(first));

  first.CloseMaster();  // unplugged: the line hangs up
  loop.SignalWatches();
  EXPECT_TRUE(face.Showed("Порт COM1 потерян."));
  EXPECT_EQ(core->Mode(), DriverCore::PortMode::Retrying);
  EXPECT_FALSE(core->PortOpen());

  test::PtyPair second;  // plugged in again, under a new device
  ASSERT_TRUE(second.ok());
  PlugIn(second);
  loop.Advance(DriverCore::kPortRetry.count());
  EXPECT_EQ(core->Mode(), DriverCore::PortMode::Open);
  EXPECT_TRUE(Acknowledged(second));

  // The operator's stop ends the retries for good.
  second.CloseMaster();
  loop.SignalWatches();
  core->StopPort();
  loop.Advance(3 * DriverCore::kPortRetry.count());
  EXPECT_EQ(core->Mode(), DriverCore::PortMode::Stopped);
}

TEST_F(DriverCoreTest, TheStationGoingQuietAndComingBackAreStatusLines) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  Configure("ComPort=COM1\nAttention=00:00:05", 1);
  Make().Start();
  loop.Advance(1000);
  EXPECT_TRUE(core->StationOnline());
  EXPECT_FALSE(face.Showed("Связь со станцией восстановлена."));  // the first turn online is no news
  loop.Advance(5000);
  EXPECT_FALSE(core->StationOnline());
  EXPECT_TRUE(face.Showed("Станция не выходит на связь."));
  ASSERT_TRUE(Acknowledged(pty));
  loop.Advance(200);
  EXPECT_TRUE(face.Showed("Связь со станцией восстановлена."));
}

TEST_F(DriverCoreTest, TheEndSaysHowManyRecordsWaitInTheSpool) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PlugIn(pty);
  Configure("ComPort=COM1", 1);  // nothing listens there
  Make().Start();
  ASSERT_TRUE(Acknowledged(pty));
  ASSERT_TRUE(Acknowledged(pty));
  EXPECT_EQ(core->End(), 2u);
  EXPECT_TRUE(face.Showed("Драйвер остановлен. Событий в очереди: 2."));
  EXPECT_EQ(core->End(), 2u);  // once only
  EXPECT_EQ(face.Count("Драйвер остановлен. Событий в очереди: 2."), 1u);
}

}  // namespace
}  // namespace orvent
