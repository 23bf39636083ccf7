#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "support/alarm_ledger.h"
#include "support/child_process.h"
#include "support/driver_process.h"

// Bursts of numbered alarms written back to back by receiver-sim --burst,
// for the end-to-end tests and the driver benchmark alike.
namespace orvent::test {

// The ledger's next `count` alarms, a line each, into `path` for
// receiver-sim --file.
inline void WriteBurstFile(AlarmLedger& ledger, const std::string& path, std::size_t count) {
  std::ofstream lines(path);
  for (std::size_t i = 0; i < count; ++i) lines << ledger.Next() << "\n";
}

// receiver-sim's one report of a burst.
struct BurstReport {
  long lines = 0;
  long acked = 0;
  double last_ack_ms = 0;
  double per_s = 0;  // ACKs from the first write to the last ACK
};

// msgserver-sim reports every frame; its output is taken while a run waits,
// so that a long run never fills the pipe and holds the server. Whether
// `done` held within the limit.
inline bool WaitDrainingServer(MsgServerSim& server, std::chrono::milliseconds limit, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    while (server.ReadLine(std::chrono::milliseconds(0))) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Reads a receiver's burst report on a thread of its own from construction
// on, while the run goes on; Wait takes the server's output meanwhile.
class BurstReader {
public:
  explicit BurstReader(ReceiverSim& receiver, std::chrono::milliseconds limit = std::chrono::seconds(120))
      : thread_([this, &receiver, limit] {
          report_ = Read(receiver, limit);
          done_ = true;
        }) {}
  ~BurstReader() { thread_.join(); }
  BurstReader(const BurstReader&) = delete;
  BurstReader& operator=(const BurstReader&) = delete;

  std::optional<BurstReport> Wait(MsgServerSim& server) {
    WaitDrainingServer(server, std::chrono::hours(1), [this] { return done_.load(); });
    return report_;
  }

private:
  static std::optional<BurstReport> Read(ReceiverSim& receiver, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      const auto line = left.count() > 0 ? receiver.ReadLine(left) : std::nullopt;
      if (!line) return std::nullopt;
      BurstReport r;
      double write_ms = 0;
      if (std::sscanf(line->c_str(), "burst lines %ld acked %ld write_ms %lf last_ack_ms %lf alarms_per_s %lf",
                      &r.lines, &r.acked, &write_ms, &r.last_ack_ms, &r.per_s) == 5) {
        return r;
      }
    }
  }

  std::optional<BurstReport> report_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Waits until the server holds as many distinct alarms as were
// acknowledged; the tally then.
inline AlarmTally WaitDeliveredTally(const AlarmLedger& ledger, MsgServerSim& server, const std::string& events_file,
                                     const std::string& spool_dir, long acked, std::chrono::milliseconds limit) {
  AlarmTally t;
  WaitDrainingServer(server, limit, [&] {
    t = ledger.Tally(events_file, spool_dir);
    return t.Delivered >= static_cast<std::size_t>(acked);
  });
  return t;
}

}  // namespace orvent::test
