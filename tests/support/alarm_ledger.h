#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/driver_process.h"
#include "support/event_records.h"

// Numbered alarms for the end-to-end tests: each has an account of its own,
// so its record is known by the object number wherever it turns up, and the
// record it must become is written out here from the documented rules, not
// taken from the driver's decoder.
namespace orvent::test {

// With the default settings (FirstNumber 4, VariantRazdel 1) the object
// number is account + (partition read as decimal + 4) * 10000.
inline constexpr std::int32_t kDefaultFirstNumber = 4;
inline constexpr std::int32_t kObjectBlock = 10000;

// The parts of a line that vary besides the account, and what the record
// makes of them.
struct AlarmShape {
  const char* Code;       // positions 11-14
  const char* Partition;  // 15-16
  const char* Zone;       // 17-19
  int Kind;               // "A0" at 11-12: 0; else the digit at 12
  int Razdel;             // the partition read as hexadecimal
  int PartitionDecimal;   // the partition read as decimal; 0 when it is not
  const char* ZoneText;   // lower-cased
};

inline constexpr AlarmShape kAlarmShapes[] = {
    {"1130", "01", "015", 1, 0x01, 1, "015"},  // an alarm
    {"3130", "12", "0AB", 1, 0x12, 12, "0ab"},  // its restore; letters in the zone
    {"A002", "03", "007", 0, 0x03, 3, "007"},  // a test message
    {"1602", "1A", "F12", 6, 0x1A, 0, "f12"},  // a partition that is not decimal
};

struct NumberedAlarm {
  std::string Line;  // as receiver-sim takes it: without the closing DC4
  std::int32_t Number = 0;
  std::string Expected;  // FieldsText of its record
};

// Accounts 1000, 1001, ...: four decimal digits up to index 8999.
inline NumberedAlarm MakeNumberedAlarm(std::size_t index) {
  const AlarmShape& s = kAlarmShapes[index % std::size(kAlarmShapes)];
  const int account = 1000 + static_cast<int>(index % 9000);
  char line[32];
  std::snprintf(line, sizeof line, "5011 18%04d%s%s%s", account, s.Code, s.Partition, s.Zone);
  const std::int32_t number = account + (s.PartitionDecimal + kDefaultFirstNumber) * kObjectBlock;
  return {line, number, FieldsText(number, s.ZoneText, s.Razdel, s.Kind, kRecordMark)};
}

// Where the acknowledged alarms ended up.
struct AlarmTally {
  std::size_t Sent = 0;
  std::size_t Acked = 0;
  std::size_t Delivered = 0;  // distinct alarms at the server
  std::size_t Repeated = 0;   // server receipts beyond the first of an alarm
  std::size_t Spooled = 0;    // not at the server, still in a spool file
  std::size_t Lost = 0;       // acknowledged, yet neither at the server nor spooled
  std::size_t AckedNotAtServer = 0;  // acknowledged, not (yet) at the server
  std::vector<std::size_t> LostLines;  // receiver-sim's line numbers
  // Records that no alarm sent accounts for, or whose fields are not the
  // alarm's.
  std::vector<std::string> Faults;

  std::string Text() const {
    std::string text = "sent " + std::to_string(Sent) + ", acknowledged " + std::to_string(Acked) + ", delivered " +
                       std::to_string(Delivered) + ", repeated " + std::to_string(Repeated) +
                       ", left in the spool " + std::to_string(Spooled) + ", lost " + std::to_string(Lost);
    if (!LostLines.empty()) {
      text += " (lines";
      for (const std::size_t line : LostLines) text += " " + std::to_string(line);
      text += ")";
    }
    if (!Faults.empty()) text += ", faulty records " + std::to_string(Faults.size());
    return text;
  }
  std::string FaultText() const {
    std::string text;
    for (const std::string& fault : Faults) text += fault + "\n";
    return text;
  }
};

// The alarms a test sends through one receiver-sim, as the only lines it
// sends, so that line N of its reports is the N-th alarm; and what became of
// them.
class AlarmLedger {
public:
  // The next alarm's line, for receiver-sim.
  const std::string& Next() {
    alarms_.push_back(MakeNumberedAlarm(alarms_.size()));
    by_number_[alarms_.back().Number] = alarms_.size() - 1;
    return alarms_.back().Line;
  }
  std::size_t Sent() const { return alarms_.size(); }
  std::size_t Acked() const { return acked_.size(); }
  // Lines acknowledged or given up by the receiver.
  std::size_t Outcomes() const { return acked_.size() + given_up_; }
  // receiver-sim has reported its summary: every line it had has an outcome.
  bool Finished() const { return finished_; }

  // The alarm of `line` (1-based, in the order sent) was acknowledged, as a
  // test that plays the receiver itself saw it.
  void Acknowledged(std::size_t line) { acked_.insert(line + line_offset_); }

  // A new receiver-sim takes over (a replugged line): it counts its lines
  // from 1 again, for the alarms sent from now on.
  void ReceiverReplaced() { line_offset_ = alarms_.size(); }

  // One line of receiver-sim's output; anything but a report is passed over.
  void Take(const std::string& output) {
    std::size_t line = 0;
    char what[16] = {};
    if (std::sscanf(output.c_str(), "line %zu %15s", &line, what) == 2) {
      if (std::string(what) == "ack_ms") {
        acked_.insert(line + line_offset_);
      } else {
        ++given_up_;
      }
    } else if (output.rfind("summary ", 0) == 0) {
      finished_ = true;
    }
  }

  // Takes receiver-sim's output until `done()` holds or the limit passes;
  // whether it held. A zero limit takes what has come already.
  template <typename Done>
  bool TakeReports(ReceiverSim& receiver, std::chrono::milliseconds limit, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      const auto line = receiver.ReadLine(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
      if (!line) return done();
      Take(*line);
    }
    return true;
  }
  void TakeArrivedReports(ReceiverSim& receiver) {
    TakeReports(receiver, std::chrono::milliseconds(0), [] { return false; });
  }

  // Accounts for every alarm from the server's receipts and the spool
  // files' records. A record's time must fall within the ledger's life.
  AlarmTally Tally(const std::vector<RecordBytes>& at_server, const std::vector<RecordBytes>& spooled) const {
    AlarmTally t;
    t.Sent = alarms_.size();
    t.Acked = acked_.size();
    const double latest = LocalDays(std::chrono::system_clock::now() + kTimeSlack);
    std::vector<std::size_t> receipts(alarms_.size(), 0);
    std::vector<bool> in_spool(alarms_.size(), false);
    const auto place = [&](const RecordBytes& bytes, const char* where, auto&& count) {
      const auto fields = ReadEventRecord(bytes);
      if (!fields) {
        t.Faults.push_back(std::string(where) + ": a record of " + std::to_string(bytes.size()) + " bytes");
        return;
      }
      const auto found = by_number_.find(fields->Number);
      if (found == by_number_.end()) {
        t.Faults.push_back(std::string(where) + ": a record of no alarm sent: " + FieldsText(*fields));
        return;
      }
      const NumberedAlarm& alarm = alarms_[found->second];
      if (FieldsText(*fields) != alarm.Expected) {
        t.Faults.push_back(std::string(where) + ": line " + std::to_string(found->second + 1) + " \"" + alarm.Line +
                           "\" became " + FieldsText(*fields) + ", expected " + alarm.Expected);
      }
      if (!(fields->RecvTime >= earliest_ && fields->RecvTime <= latest)) {
        t.Faults.push_back(std::string(where) + ": line " + std::to_string(found->second + 1) +
                           " has a time outside the run: " + std::to_string(fields->RecvTime));
      }
      count(found->second);
    };
    for (const RecordBytes& r : at_server) place(r, "server", [&](std::size_t i) { ++receipts[i]; });
    for (const RecordBytes& r : spooled) place(r, "spool", [&](std::size_t i) { in_spool[i] = true; });
    for (std::size_t i = 0; i < alarms_.size(); ++i) {
      if (receipts[i] == 0 && acked_.contains(i + 1)) ++t.AckedNotAtServer;
      if (receipts[i] > 0) {
        ++t.Delivered;
        t.Repeated += receipts[i] - 1;
      } else if (in_spool[i]) {
        ++t.Spooled;
      } else if (acked_.contains(i + 1)) {
        ++t.Lost;
        t.LostLines.push_back(i + 1);
      }
    }
    return t;
  }

  // Tally from msgserver-sim's --events file and the spool files in `dir`;
  // a spool file that is not 24 bytes behind the event command is a fault.
  AlarmTally Tally(const std::string& events_file, const std::string& spool_dir) const {
    std::vector<RecordBytes> spooled;
    std::vector<std::string> bad;
    for (const auto& [name, bytes] : SpoolFiles(spool_dir)) {
      if (const auto record = SpoolRecord(bytes)) {
        spooled.push_back(*record);
      } else {
        bad.push_back("spool: " + name + " is not an event record's file (" + std::to_string(bytes.size()) +
                      " bytes)");
      }
    }
    AlarmTally t = Tally(ServerRecords(events_file), spooled);
    t.Faults.insert(t.Faults.end(), bad.begin(), bad.end());
    return t;
  }

private:
  // The driver's clock and this one are the same wall clock; the slack only
  // covers rounding.
  static constexpr std::chrono::seconds kTimeSlack{2};

  std::vector<NumberedAlarm> alarms_;
  std::map<std::int32_t, std::size_t> by_number_;
  std::set<std::size_t> acked_;
  std::size_t given_up_ = 0;
  std::size_t line_offset_ = 0;
  bool finished_ = false;
  double earliest_ = LocalDays(std::chrono::system_clock::now() - kTimeSlack);
};

}  // namespace orvent::test
