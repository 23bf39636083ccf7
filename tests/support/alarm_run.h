#pragma once

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/alarm_ledger.h"
#include "support/driver_process.h"
#include "support/event_records.h"
#include "support/temp_dir.h"

// Runs of the built programs with numbered alarms: the driver's folder, the
// simulators' files, the ledger, and the count of what went where at the end.
namespace orvent::test {

// A loopback port that nothing listens on, for servers to come and go on.
inline std::uint16_t FreePort() {
  MsgServerSim probe({});
  const std::uint16_t port = probe.Port();
  probe.Process().Signal(SIGTERM);
  probe.Process().WaitExit(std::chrono::seconds(10));
  return port;
}

class AlarmRunTest : public ::testing::Test {
protected:
  std::string EventsFile() const { return side.File("events.jsonl"); }

  // Every server of a test appends its receipts to the one events file.
  std::vector<std::string> ServerArgs(std::vector<std::string> args = {}) const {
    args.insert(args.end(), {"--events", EventsFile()});
    return args;
  }

  bool SendAlarms(ReceiverSim& receiver, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (!receiver.Send(ledger.Next())) return false;
    }
    return true;
  }

  // Takes receiver-sim's reports until `count` alarms in all have an
  // outcome, keeping the acknowledgement times in ack_ms.
  bool TakeAcks(ReceiverSim& receiver, std::size_t count,
                std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (ledger.Outcomes() < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      const auto line = left.count() > 0 ? receiver.ReadLine(left) : std::nullopt;
      if (!line) return false;
      ledger.Take(*line);
      const auto at = line->find(" ack_ms ");
      if (at != std::string::npos) ack_ms.push_back(std::stod(line->substr(at + 8)));
    }
    return true;
  }

  // Alarms sent one at a time, so that each acknowledgement is timed alone.
  bool SendTimed(ReceiverSim& receiver, std::size_t count) {
    const std::size_t before = ledger.Outcomes();
    for (std::size_t i = 1; i <= count; ++i) {
      if (!SendAlarms(receiver, 1) || !TakeAcks(receiver, before + i)) return false;
    }
    return true;
  }

  AlarmTally Tally() const { return ledger.Tally(EventsFile(), work.path()); }

  // Waits until every acknowledged alarm is at the server. Gives up at the
  // limit, or earlier once the spool is empty and nothing has reached the
  // server for kQuiet: an alarm still missing then has no way left to it.
  bool WaitAllDelivered(std::chrono::milliseconds limit) {
    constexpr auto kQuiet = std::chrono::seconds(3);
    std::size_t receipts = 0;
    auto last_receipt = std::chrono::steady_clock::now();
    bool hopeless = false;
    const bool delivered = WaitUntil(
        [&] {
          const AlarmTally t = Tally();
          if (t.AckedNotAtServer == 0) return true;
          if (t.Delivered + t.Repeated != receipts) {
            receipts = t.Delivered + t.Repeated;
            last_receipt = std::chrono::steady_clock::now();
          }
          hopeless = t.Spooled == 0 && std::chrono::steady_clock::now() - last_receipt > kQuiet;
          return hopeless;
        },
        limit);
    return delivered && !hopeless;
  }

  // The counts, shown whether the test passes or not, then the verdict.
  void ExpectNoneLost(const std::string& what) {
    const AlarmTally t = Tally();
    std::printf("%s: %s\n", what.c_str(), t.Text().c_str());
    EXPECT_GT(t.Acked, 0u) << "no alarm was acknowledged: the test proved nothing";
    EXPECT_EQ(t.Lost, 0u) << t.Text();
    EXPECT_TRUE(t.Faults.empty()) << t.FaultText();
  }

  // The driver's folder: kelmora.ini and the spool files.
  TempDir work;
  // The simulators' files.
  TempDir side;
  AlarmLedger ledger;
  // The acknowledgement times TakeAcks saw, in ms.
  std::vector<double> ack_ms;
};

}  // namespace orvent::test
