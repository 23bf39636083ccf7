#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "station/settings.h"
#include "platform/fake_clock.h"
#include "receiver/message_decoder.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

// A receiver line from its groups; the closing DC4 is added.
std::string Line(std::string_view text) { return std::string(text) + '\x14'; }

const std::string kAlarm = "5011 181234113001015";
const std::string kMessage = Line(kAlarm);
const std::string kHeartbeat = Line("1011           @    ");

// The decoder with every outlet recorded.
class Decoder final : public EventSink {
public:
  explicit Decoder(DecoderSettings settings = {}, std::map<std::string, std::int32_t> razdels = {})
      : razdels_(std::move(razdels)) {
    DecoderOutlets out;
    out.AppendRawLog = [this](std::span<const std::uint8_t> bytes) {
      if (log_fails) return std::make_error_code(std::errc::no_space_on_device);
      raw_log.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      return std::error_code{};
    };
    // The line takes `ack_room` more bytes; a write beyond them fails.
    out.SendData = [this](const std::uint8_t* data, std::uint32_t size, std::error_code& why) {
      const std::uint32_t taken = std::min(size, ack_room);
      sent.append(reinterpret_cast<const char*>(data), taken);
      ack_room -= taken;
      if (taken < size) why = ack_error;
      return taken;
    };
    out.RedrawStation = [this] { ++redraws; };
    out.Sink = this;
    out.LookupRazdel = [this](const std::string& key) {
      lookups.push_back(key);
      const auto it = razdels_.find(key);
      return it == razdels_.end() ? -1 : it->second;
    };
    out.LogError = [this](std::int32_t n) { errors.push_back(n); };
    out.ReportFailure = [this](const std::string& m) { failures.push_back(m); };
    decoder = std::make_unique<MessageDecoder>(settings, clock, std::move(out));
  }

  StoreResults StoreEvents(std::span<const EventToKeep> batch) override {
    // What the receiver had been sent when the records were stored.
    sent_at_store.push_back(sent);
    StoreResults results;
    for (const EventToKeep& event : batch) {
      records.push_back(event.Record);
      results.push_back({store_answer, ++tickets});
    }
    return results;
  }

  void Feed(std::string_view packet) {
    decoder->HandlePacket(reinterpret_cast<const std::uint8_t*>(packet.data()), static_cast<std::uint32_t>(packet.size()));
  }
  // Lines handed over together, as the packet driver cut them.
  void FeedLines(const std::vector<std::string>& lines, bool first_start_seen = true) {
    std::vector<ReceivedLine> batch;
    for (const std::string& line : lines) {
      batch.push_back({{reinterpret_cast<const std::uint8_t*>(line.data()), line.size()},
                       batch.empty() ? first_start_seen : true, !line.empty() && line.back() == '\x14'});
    }
    decoder->HandleLines(batch);
  }
  stru_soob LastRecord() const { return *DeserializeSoob(records.back()); }
  std::string LastZone() const {
    const stru_soob r = LastRecord();
    return std::string(r.ZoneChars.begin(), r.ZoneChars.begin() + r.ZoneLength);
  }

  FakeClock clock{CivilTime{2011, 9, 6, 14, 30, 0, 250}};
  std::unique_ptr<MessageDecoder> decoder;
  std::string raw_log;
  std::string sent;
  int redraws = 0;
  std::vector<SoobBytes> records;
  std::vector<std::string> sent_at_store;
  RecordKept store_answer = RecordKept::OnDisk;
  std::uint64_t tickets = 0;
  std::vector<std::string> lookups;
  std::vector<std::int32_t> errors;
  std::vector<std::string> failures;
  bool log_fails = false;
  std::uint32_t ack_room = std::numeric_limits<std::uint32_t>::max();
  std::error_code ack_error = std::make_error_code(std::errc::io_error);

private:
  std::map<std::string, std::int32_t> razdels_;
};

struct WorkedExample {
  const char* name;
  std::string line;
  DecoderSettings settings;
  std::map<std::string, std::int32_t> razdels;
  std::int32_t number;
  std::string zone;
  int razdel;
  int kind;
};

void PrintTo(const WorkedExample& c, std::ostream* os) { *os << c.name; }

DecoderSettings With(bool hex, std::int32_t variant) {
  DecoderSettings s;
  s.Hex = hex;
  s.VariantRazdel = variant;
  return s;
}

class WorkedExamples : public ::testing::TestWithParam<WorkedExample> {};

TEST_P(WorkedExamples, GiveTheirRecordFields) {
  const WorkedExample& c = GetParam();
  Decoder d(c.settings, c.razdels);
  d.Feed(c.line);
  ASSERT_EQ(d.records.size(), 1u);
  const stru_soob r = d.LastRecord();
  EXPECT_EQ(r.Number, c.number);
  EXPECT_EQ(d.LastZone(), c.zone);
  EXPECT_EQ(r.Razdel, c.razdel);
  EXPECT_EQ(r.Kind, c.kind);
  EXPECT_EQ(r.Mark, 33);
  EXPECT_EQ(d.sent, "\x06");
  EXPECT_TRUE(d.failures.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, WorkedExamples,
    ::testing::Values(
        WorkedExample{"rule1", kMessage, {}, {}, 51234, "015", 1, 1},
        WorkedExample{"hex", kMessage, With(true, 1), {}, 51234, "0f", 1, 1},
        WorkedExample{"rule2_mapped", kMessage, With(false, 2), {{"1234_1", 777}}, 40777, "015", 1, 1},
        WorkedExample{"rule2_unmapped", kMessage, With(false, 2), {}, 41234, "015", 1, 1},
        WorkedExample{"rule3", kMessage, With(false, 3), {}, 41234, "015", 1, 1},
        WorkedExample{"rule3_partition3", Line("5011 181234113003015"), With(false, 3), {}, 41236, "015", 3, 1},
        WorkedExample{"rule7", Line("5011 181234113003015"), With(false, 7), {}, 41234, "015", 3, 1},
        WorkedExample{"kind_A0", Line("5011 181234A00001015"), {}, {}, 51234, "015", 1, 0},
        WorkedExample{"partition_1A", Line("5011 18123411301A015"), {}, {}, 41234, "015", 26, 1},
        WorkedExample{"account_12B4", Line("5011 1812B4113001015"), {}, {}, 50000, "015", 1, 1},
        WorkedExample{"hex_255", Line("5011 181234113001255"), With(true, 1), {}, 51234, "ff", 1, 1},
        WorkedExample{"hex_999", Line("5011 181234113001999"), With(true, 1), {}, 51234, "3e7", 1, 1},
        WorkedExample{"hex_000", Line("5011 181234113001000"), With(true, 1), {}, 51234, "00", 1, 1},
        WorkedExample{"rule3_partition0", Line("5011 181234113000015"), With(false, 3), {}, 41234, "015", 0, 1},
        WorkedExample{"zone_letters", Line("5011 181234113001A0F"), {}, {}, 51234, "a0f", 1, 1},
        WorkedExample{"lower_case_letters", Line("5011 1812b4a0000aa0f"), {}, {}, 40000, "a0f", 10, 0}),
    [](const ::testing::TestParamInfo<WorkedExample>& p) { return std::string(p.param.name); });

TEST(MessageDecoder, RecordBytesAndTheStaleZoneByteAfterAShorterZone) {
  Decoder d;
  d.Feed(kMessage);
  const SoobBytes expected = {0x22, 0xC8, 0x00, 0x00, 0x03, 0x30, 0x31, 0x35, 0x00, 0x01,
                              0x01, 0xC7, 0x66, 0x5B, 0x55, 0x13, 0xEB, 0xE3, 0x40, 0x21};
  EXPECT_EQ(d.records.back(), expected);

  // The same message with Hex on: the zone "0f" overwrites two characters
  // only, so the third still holds the "5" of the previous zone.
  Decoder hex(With(true, 1));
  hex.Feed(kMessage);
  hex.decoder->CurrentSoob.ZoneChars = {'0', '1', '5', 0};  // as left by the previous record
  hex.Feed(kMessage);
  const SoobBytes& second = hex.records.back();
  EXPECT_EQ(std::vector<std::uint8_t>(second.begin() + 4, second.begin() + 9),
            (std::vector<std::uint8_t>{0x02, 0x30, 0x66, 0x35, 0x00}));
}

TEST(MessageDecoder, StaleZoneBytesComeFromTheDecodersOwnPreviousRecord) {
  Decoder d(With(true, 1));
  d.Feed(Line("5011 181234113001999"));  // "3e7"
  d.Feed(kMessage);                      // "0f"
  EXPECT_EQ(d.records.back()[4], 2);
  EXPECT_EQ(d.records.back()[7], '7');
}

TEST(MessageDecoder, HexZoneThatIsNoIntegerStillGivesTheEventAndIsReported) {
  Decoder d(With(true, 1));
  d.Feed(Line("5011 1812341130010A1"));
  ASSERT_EQ(d.records.size(), 1u);
  EXPECT_EQ(d.LastZone(), "0a1");
  EXPECT_EQ(d.LastRecord().Number, 51234);
  EXPECT_EQ(d.failures, std::vector<std::string>{"'0A1' is not a valid integer value"});

  // A blank in the zone is damage: the line is never decoded, so there is
  // nothing to report, and the receiver sends it again.
  d.Feed(Line("5011 18123411300112 "));
  EXPECT_EQ(d.records.size(), 1u);
  EXPECT_EQ(d.failures.size(), 1u);
  EXPECT_EQ(d.sent, "\x06");
}

TEST(MessageDecoder, PacketsThatYieldNoEvent) {
  DecoderSettings logging;
  logging.Log = true;
  Decoder d(logging);
  const TDateTime start = d.decoder->LastStationTime;

  d.clock.Advance(1000);
  d.Feed("5011 181234113001015");  // no DC4
  EXPECT_EQ(d.sent, "");
  EXPECT_EQ(d.redraws, 0);
  EXPECT_EQ(d.decoder->LastStationTime, start);

  d.Feed(kHeartbeat);  // not an event, but acknowledged and counted
  EXPECT_EQ(d.sent, "\x06");
  EXPECT_EQ(d.decoder->StationTick, 1);
  EXPECT_EQ(d.redraws, 1);
  EXPECT_GT(d.decoder->LastStationTime, start);
  EXPECT_TRUE(d.records.empty());
  EXPECT_EQ(d.raw_log, "5011 181234113001015\r\n# no ACK: no DC4, the line stopped\r\n" + kHeartbeat);
}

TEST(MessageDecoder, TwoMessagesInOnePacketAreEachRecordedAndAcknowledged) {
  Decoder d;
  // Handed over together: each its own record and ACK, stored together
  // before either ACK.
  d.FeedLines({kMessage, Line("5011 189999113002016")});
  EXPECT_EQ(d.records.size(), 2u);
  EXPECT_EQ(d.sent, "\x06\x06");
  EXPECT_EQ(d.sent_at_store.back(), "");
  EXPECT_EQ(DeserializeSoob(d.records[0])->Number, 51234);
  EXPECT_EQ(d.LastRecord().Number, 69999);
}

TEST(MessageDecoder, AnEventIsStoredBeforeItsAckAndNotAcknowledgedUnlessStored) {
  Decoder d;
  d.Feed(kMessage);
  d.Feed(kMessage);
  EXPECT_EQ(d.sent_at_store, (std::vector<std::string>{"", "\x06"}));
  EXPECT_EQ(d.sent, "\x06\x06");

  // Neither on disk nor with the server: the receiver must send it again.
  d.store_answer = RecordKept::Refused;
  d.Feed(kMessage);
  EXPECT_EQ(d.sent, "\x06\x06");
  EXPECT_EQ(d.records.size(), 3u);
  EXPECT_EQ(d.decoder->StationTick, 3);  // the receiver spoke all the same
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), 1u);
  EXPECT_EQ(d.decoder->LastNoAck()->Cause, NoAckCause::NotKept);
  // A line that is no event needs no room and is acknowledged.
  d.Feed(kHeartbeat);
  EXPECT_EQ(d.sent, "\x06\x06\x06");
}

// Which lines are messages. The receiver's messages have one length and an
// event's fields one shape; every other line is damaged and goes without an
// ACK, so that the receiver sends it again rather than take the ACK for its
// alarm's. The table holds the damaged first tries a resending receiver was
// seen to have acknowledged, other line noise, and the looser lines that
// were once taken for messages; the first rows are messages that must pass.
struct LineCase {
  const char* name;
  std::string line;  // as the packet driver cut it
  std::optional<LineFault> fault;  // none: a message
  bool event = false;              // for a message
  bool start_seen = true;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

std::string Dropped(std::string text, std::size_t at) { return text.erase(at, 1); }
std::string Replaced(std::string text, std::size_t at, char byte) {
  text[at] = byte;
  return text;
}

const LineCase kLineCases[] = {
    // Messages.
    {"an alarm", kMessage, {}, true},
    {"an alarm in lower case", Line("5011 1812b4a0000aa0f"), {}, true},
    {"a heartbeat", kHeartbeat, {}, false},
    {"a line of another kind", Line("3011 receiver normal"), {}, false},
    // Damaged first tries of an alarm.
    {"\"5\" in front of an alarm", Line("5" + kAlarm), LineFault::WrongLength},
    {"\"55\" in front of an alarm", Line("55" + kAlarm), LineFault::WrongLength},
    {"\"5x\" in front of an alarm", Line("5x" + kAlarm), LineFault::WrongLength},
    {"\"5011 18\" in front of an alarm", Line("5011 18" + kAlarm), LineFault::WrongLength},
    {"a byte dropped in the middle", Line(Dropped(kAlarm, 10)), LineFault::WrongLength},
    {"a byte inserted in the middle", Line(kAlarm.substr(0, 10) + "7" + kAlarm.substr(10)), LineFault::WrongLength},
    {"\"5\" alone: before a DC4 at 1, or after one at 19", Line("5"), LineFault::WrongLength},
    {"the part before a DC4 at 9", Line(kAlarm.substr(0, 9)), LineFault::WrongLength},
    {"the rest after a DC4 at 9", Line(kAlarm.substr(9)), LineFault::WrongLength},
    {"the part before a DC4 at 19", Line(kAlarm.substr(0, 19)), LineFault::WrongLength},
    {"the lead hit to 4", Line(Replaced(kAlarm, 0, '4')), LineFault::DamagedLead},
    {"the lead hit to x", Line(Replaced(kAlarm, 0, 'x')), LineFault::DamagedLead},
    {"the lead dropped, or the rest after a DC4 at 1", Line(kAlarm.substr(1)), LineFault::WrongLength},
    {"a short noise line", Line("A"), LineFault::WrongLength},
    // Line noise.
    {"a byte above 127 before an alarm", Line("\xFF" + kAlarm), LineFault::HighByte},
    {"random bytes then an alarm", Line("\x9C\x03z" + kAlarm), LineFault::ControlByte},
    {"printable noise, a byte above 127, an alarm", Line("q\xF3" + kAlarm), LineFault::HighByte},
    {"a printable byte before an alarm", Line("q" + kAlarm), LineFault::WrongLength},
    {"printable noise before an alarm", Line("noise " + kAlarm), LineFault::WrongLength},
    {"NUL inside an alarm", Line(Replaced(kAlarm, 7, '\0')), LineFault::ControlByte},
    {"the tail of a line after a dropped start", Line(kAlarm.substr(7)), LineFault::StartNotSeen, false, false},
    {"an alarm whose start was not seen", kMessage, LineFault::StartNotSeen, false, false},
    {"an alarm without its DC4", kAlarm, LineFault::Incomplete},
    {"DC4 alone", Line(""), LineFault::Empty},
    // Once decoded from whatever stood at the fields' places, now damaged.
    {"a longer alarm line", Line(kAlarm + "EXTRA FIELDS"), LineFault::WrongLength},
    {"a heartbeat longer than an alarm", Line("1011 receiver status: all quiet"), LineFault::WrongLength},
    {"a short heartbeat", Line("1 heartbeat text"), LineFault::WrongLength},
    {"a zone written -01", Line("5011 181234113001-01"), LineFault::FieldShape},
    {"a zone with a blank", Line("5011 18123411300112 "), LineFault::FieldShape},
    {"a kind that is no digit", Line("5011 181234 x3001015"), LineFault::FieldShape},
    {"signs in the account and the partition", Line("5011 18-0121130-1015"), LineFault::FieldShape},
    {"an alarm with a zone byte above 127", Line(Replaced(kAlarm, 19, '\xE9')), LineFault::HighByte},
    {"a heartbeat whose lead was hit to 5", Line("5011           @    "), LineFault::FieldShape},
    {"an event's fields behind lead 1", Line("1011 181234113001015"), LineFault::DamagedLead},
};

class Lines : public ::testing::TestWithParam<LineCase> {};

TEST_P(Lines, AreAcknowledgedOnlyAsMessagesOfTheReceiver) {
  const LineCase& c = GetParam();
  const bool message = !c.fault;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.line.data());
  const LineVerdict verdict = ClassifyLine({bytes, c.line.size()}, c.start_seen, !c.line.empty() && c.line.back() == '\x14');
  EXPECT_EQ(verdict.Kind, !message ? LineKind::Damaged : c.event ? LineKind::Event : LineKind::NonEvent);
  if (c.fault) {
    EXPECT_EQ(verdict.Fault, *c.fault);
    EXPECT_STREQ(verdict.Why, LineFaultText(*c.fault));
  }

  DecoderSettings logging;
  logging.Log = true;
  Decoder d(logging);
  d.clock.Advance(5000);
  d.FeedLines({c.line}, c.start_seen);
  EXPECT_EQ(d.sent, message ? "\x06" : "");
  EXPECT_EQ(d.records.size(), c.event ? 1u : 0u);
  EXPECT_EQ(d.decoder->StationTick, message ? 1 : 0) << "only a message shows the receiver alive";
  // The raw log keeps the bytes as they came, and says why a line went unanswered.
  EXPECT_EQ(d.raw_log.substr(0, c.line.size()), c.line);
  EXPECT_EQ(d.raw_log.substr(c.line.size()), message ? "" : std::string("\r\n# no ACK: ") + verdict.Why + "\r\n");
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), message ? 0u : 1u);
  const std::optional<NoAck> no_ack = d.decoder->LastNoAck();
  EXPECT_EQ(no_ack.has_value(), !message);
  if (no_ack && c.fault) {
    EXPECT_EQ(no_ack->Cause, NoAckCause::Damaged);
    EXPECT_EQ(no_ack->Fault, *c.fault);
  }
  EXPECT_EQ(d.decoder->UnansweredSinceMs(), message ? std::optional<std::int64_t>() : std::optional<std::int64_t>(5000));
}

INSTANTIATE_TEST_SUITE_P(Table, Lines, ::testing::ValuesIn(kLineCases));

// A damaged first try leaves the receiver unanswered until a later line is
// answered, in the order the lines came: an ACK written later for a line
// that came earlier answers nothing after it.
TEST(MessageDecoder, UnansweredSinceTheFirstLineWithoutAnAckUntilALaterLineIsAnswered) {
  Decoder d;
  EXPECT_FALSE(d.decoder->UnansweredSinceMs());
  d.clock.Advance(1000);
  d.Feed(Line(Replaced(kAlarm, 0, '4')));
  EXPECT_EQ(d.decoder->UnansweredSinceMs(), 1000);
  d.clock.Advance(1000);
  d.Feed(Line("5" + kAlarm));  // the next try is damaged too
  EXPECT_EQ(d.decoder->UnansweredSinceMs(), 1000);
  d.clock.Advance(1000);
  d.Feed(kMessage);  // the clean resend
  EXPECT_FALSE(d.decoder->UnansweredSinceMs());
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), 2u);

  // A noise line right behind an alarm, handed over together: the alarm's
  // ACK goes out after the noise line was seen, and answers only the alarm.
  d.clock.Advance(1000);
  d.FeedLines({kMessage, Line("A")});
  EXPECT_EQ(d.sent, "\x06\x06");
  EXPECT_EQ(d.decoder->UnansweredSinceMs(), 4000);
  d.Feed(kHeartbeat);
  EXPECT_FALSE(d.decoder->UnansweredSinceMs());

  // The same with an alarm whose ACK waits for the server.
  d.store_answer = RecordKept::AwaitingServer;
  d.Feed(kMessage);
  EXPECT_FALSE(d.decoder->UnansweredSinceMs()) << "a line that waits for the server is not unanswered";
  d.clock.Advance(1000);
  d.Feed(Line("A"));
  d.decoder->ServerVerdict(d.tickets, true);
  EXPECT_EQ(d.sent, "\x06\x06\x06\x06");
  EXPECT_EQ(d.decoder->UnansweredSinceMs(), 5000);
  d.Feed(kHeartbeat);
  EXPECT_FALSE(d.decoder->UnansweredSinceMs());
}

TEST(MessageDecoder, AnAckThatWaitsForTheServerHoldsBackTheAcksBehindIt) {
  Decoder d;
  d.store_answer = RecordKept::AwaitingServer;
  d.FeedLines({kMessage, Line("1011           @    ")});
  EXPECT_EQ(d.sent, "") << "nothing is acknowledged on memory's word, nor ahead of it";
  EXPECT_EQ(d.decoder->AcksWaiting(), 2u);
  // The receiver sends the alarm again while it waits: no second record, and
  // the one ACK will answer both. Neither is unanswered while it waits.
  d.FeedLines({kMessage});
  EXPECT_EQ(d.records.size(), 1u);
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), 0u);
  EXPECT_FALSE(d.decoder->UnansweredSinceMs());
  d.decoder->ServerVerdict(1, true);
  EXPECT_EQ(d.sent, "\x06\x06");
  EXPECT_EQ(d.decoder->AcksWaiting(), 0u);
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), 0u);

  // Not confirmed in time: no ACK, and the messages behind it go on.
  d.FeedLines({Line("5011 189999113002016"), kHeartbeat});
  d.clock.Advance(700);
  d.decoder->ServerVerdict(2, false);
  EXPECT_EQ(d.sent, "\x06\x06\x06");
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), 1u);
  EXPECT_EQ(d.decoder->LastNoAck()->Cause, NoAckCause::NotKept);
  // The heartbeat came after the dropped alarm, and its ACK was written.
  EXPECT_FALSE(d.decoder->UnansweredSinceMs());
  // A verdict for a ticket nobody waits for changes nothing.
  d.decoder->ServerVerdict(2, true);
  EXPECT_EQ(d.sent, "\x06\x06\x06");

  // An alarm sent again while it waits, then dropped: both lines went
  // without their ACK.
  d.FeedLines({Line("5011 189998113002016")});
  d.FeedLines({Line("5011 189998113002016")});
  d.decoder->ServerVerdict(3, false);
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), 3u);
  EXPECT_EQ(d.decoder->UnansweredSinceMs(), d.clock.MonotonicMs());
}

TEST(MessageDecoder, AShortFiveLineIsNeverDecodedSoNothingIsReported) {
  Decoder d(With(true, 1));
  d.Feed(Line("5"));
  EXPECT_TRUE(d.records.empty());
  EXPECT_TRUE(d.failures.empty()) << "its zone is never read";
  EXPECT_EQ(d.sent, "");
}

TEST(MessageDecoder, Rule2LooksUpAccountAndPartitionWithoutLeadingZeros) {
  Decoder d(With(false, 2), {{"12_1", 5}});
  d.Feed(Line("5011 180012113001015"));
  EXPECT_EQ(d.lookups, std::vector<std::string>{"12_1"});
  EXPECT_EQ(d.LastRecord().Number, 40005);
  // Signs in the account and the partition are damage: nothing is looked up.
  d.Feed(Line("5011 18-0121130-1015"));
  EXPECT_EQ(d.lookups.size(), 1u);
  EXPECT_EQ(d.sent, "\x06");
}

TEST(MessageDecoder, Rule2ReadsTheSettingsFileAtEveryMessage) {
  test::TempDir dir;
  const IniFile ini(dir.File(kSettingsFileName));
  FakeClock clock;
  test::RecordingSink sink;
  std::vector<SoobBytes>& records = sink.records;
  DecoderOutlets out;
  out.Sink = &sink;
  out.LookupRazdel = [&](const std::string& key) { return LookupRazdel(ini, key); };
  MessageDecoder decoder(With(false, 2), clock, out);
  const auto feed = [&] {
    decoder.HandlePacket(reinterpret_cast<const std::uint8_t*>(kMessage.data()), static_cast<std::uint32_t>(kMessage.size()));
    return DeserializeSoob(records.back())->Number;
  };
  EXPECT_EQ(feed(), 41234);
  dir.Write(kSettingsFileName, "[Razdels]\n1234_1=777\n");
  EXPECT_EQ(feed(), 40777);
}

TEST(MessageDecoder, ObjectNumbersWrapAt32Bits) {
  DecoderSettings s;
  s.FirstNumber = 214748;  // 2147480000: the account pushes it past INT32_MAX
  Decoder d(s);
  d.Feed(Line("5011 189999113000015"));
  EXPECT_EQ(d.LastRecord().Number, static_cast<std::int32_t>(2147480000u + 9999u));
}

TEST(MessageDecoder, StationTickCountsToSixteenThenZero) {
  Decoder d;
  for (int i = 1; i <= 16; ++i) d.Feed(kHeartbeat);
  EXPECT_EQ(d.decoder->StationTick, 16);
  d.Feed(kHeartbeat);
  EXPECT_EQ(d.decoder->StationTick, 0);
}

TEST(MessageDecoder, ARawLogThatCannotBeWrittenHoldsNoLineBack) {
  DecoderSettings logging;
  logging.Log = true;
  Decoder d(logging);
  d.log_fails = true;
  // Handled as with the log off: the alarm kept and acknowledged, the damaged
  // line left for its resend. The failure is kept for the station to word.
  d.FeedLines({kMessage, Line("A")});
  EXPECT_EQ(d.sent, "\x06");
  EXPECT_EQ(d.records.size(), 1u);
  EXPECT_EQ(d.decoder->StationTick, 1);
  EXPECT_EQ(d.decoder->LastAcknowledged(), d.clock.Now());
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), 1u);
  EXPECT_EQ(d.decoder->RawLogError(), std::errc::no_space_on_device);
  EXPECT_TRUE(d.failures.empty()) << "no message box for the raw log";
  EXPECT_EQ(d.raw_log, "");

  d.log_fails = false;
  d.Feed(kHeartbeat);
  EXPECT_FALSE(d.decoder->RawLogError()) << "cleared by the next entry written";
  EXPECT_EQ(d.raw_log, kHeartbeat);
  EXPECT_EQ(d.sent, "\x06\x06");

  // With Log off the raw log is never written, so it never fails.
  Decoder quiet;
  quiet.log_fails = true;
  quiet.Feed(kMessage);
  EXPECT_FALSE(quiet.decoder->RawLogError());
  EXPECT_EQ(quiet.sent, "\x06");
}

// An ACK counts only once its byte is on the line. ACKs due together go out in
// one write; those it did not take answer the first messages in order, and
// the rest are left for the receiver's resends.
TEST(MessageDecoder, OnlyTheAcksWrittenCountAndTheRestAreLeftForTheResends) {
  Decoder d;
  d.Feed(kMessage);
  const TDateTime first = d.clock.Now();
  EXPECT_EQ(d.decoder->LastAcknowledged(), first);

  // Three due, one written: the heartbeat's, so no alarm's time moves.
  d.clock.Advance(1000);
  d.ack_room = 1;
  const std::string second = Line("5011 189999113002016");
  d.FeedLines({kHeartbeat, second, Line("5011 189998113002016")});
  EXPECT_EQ(d.sent, "\x06\x06");
  EXPECT_EQ(d.records.size(), 3u) << "kept all the same; their resends are repeats";
  EXPECT_EQ(d.decoder->LastAcknowledged(), first);
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), 2u);
  ASSERT_TRUE(d.decoder->LastNoAck());
  EXPECT_EQ(d.decoder->LastNoAck()->Cause, NoAckCause::AckNotWritten);
  EXPECT_EQ(d.decoder->LastNoAck()->Error, std::errc::io_error);
  EXPECT_EQ(d.decoder->AckWriteError(), std::errc::io_error);
  EXPECT_EQ(d.decoder->UnansweredSinceMs(), 1000);

  // The line takes two of three: the first two count, in order.
  d.clock.Advance(1000);
  d.ack_room = 2;
  d.ack_error = std::make_error_code(std::errc::timed_out);
  d.FeedLines({second, kHeartbeat, kHeartbeat});
  EXPECT_EQ(d.sent, "\x06\x06\x06\x06");
  const TDateTime resent = d.clock.Now();
  EXPECT_EQ(d.decoder->LastAcknowledged(), resent);
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), 3u);
  EXPECT_EQ(d.decoder->AckWriteError(), std::errc::timed_out);
  EXPECT_EQ(d.decoder->UnansweredSinceMs(), 2000) << "the last heartbeat came after the alarm's ACK";

  // Every ACK written again: the error is gone with the unanswered stretch.
  d.ack_room = std::numeric_limits<std::uint32_t>::max();
  d.Feed(kHeartbeat);
  EXPECT_FALSE(d.decoder->AckWriteError());
  EXPECT_FALSE(d.decoder->UnansweredSinceMs());
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), 3u);

  // A line that takes nothing, as a closed port: no alarm counts.
  d.ack_room = 0;
  d.ack_error = std::make_error_code(std::errc::not_connected);
  d.clock.Advance(1000);
  d.Feed(kMessage);
  EXPECT_EQ(d.decoder->LastAcknowledged(), resent);
  EXPECT_EQ(d.decoder->AckWriteError(), std::errc::not_connected);
  EXPECT_EQ(d.decoder->LinesLeftUnacknowledged(), 4u);
}

TEST(MessageDecoder, RawLogFileAppendsPacketsByteForByte) {
  test::TempDir dir;
  const auto log = RawLogFile(dir.path());
  const std::uint8_t a[] = {'5', 0, 0x14};
  const std::uint8_t b[] = {0xFF, '\r', '\n'};
  EXPECT_FALSE(log(a));
  EXPECT_FALSE(log(b));
  EXPECT_EQ(dir.Read(kRawLogFileName), std::string("5\0\x14\xFF\r\n", 6));
  EXPECT_EQ(RawLogFile(dir.File("missing"))(a), std::errc::no_such_file_or_directory);
}

TEST(ReceiverWatchdog, OnlineUntilTheQuietTimeHasPassedTheExactLimitIncluded) {
  Decoder d;  // Attention 00:10:00
  d.clock.SetWall({2011, 9, 6, 12, 0, 0, 0});
  d.Feed(kHeartbeat);
  const int redraws = d.redraws;

  d.decoder->Watchdog();
  EXPECT_TRUE(d.decoder->StationOnline);
  EXPECT_EQ(d.redraws, redraws + 1);
  d.decoder->Watchdog();
  EXPECT_EQ(d.redraws, redraws + 1) << "no redraw without a change";

  d.clock.SetWall({2011, 9, 6, 12, 10, 0, 0});
  d.decoder->Watchdog();
  EXPECT_TRUE(d.decoder->StationOnline);
  d.clock.SetWall({2011, 9, 6, 12, 10, 0, 1});
  d.decoder->Watchdog();
  EXPECT_FALSE(d.decoder->StationOnline);
  EXPECT_EQ(d.redraws, redraws + 2);

  d.Feed(kHeartbeat);  // any message brings it back at the next tick
  d.decoder->Watchdog();
  EXPECT_TRUE(d.decoder->StationOnline);
}

TEST(ReceiverWatchdog, StartsOfflineAndFollowsTheWallClock) {
  DecoderSettings s;
  s.Attention = 30s;
  Decoder d(s);
  EXPECT_FALSE(d.decoder->StationOnline);
  d.decoder->Watchdog();  // the start time counts as the last message
  EXPECT_TRUE(d.decoder->StationOnline);

  d.clock.SetWallMs(d.clock.WallMs() - 60'000);  // clock set back: online longer
  d.clock.Advance(80'000);
  d.decoder->Watchdog();
  EXPECT_TRUE(d.decoder->StationOnline);
  d.clock.SetWallMs(d.clock.WallMs() + 31'000);  // clock set forward past Attention
  d.decoder->Watchdog();
  EXPECT_FALSE(d.decoder->StationOnline);
  EXPECT_TRUE(d.errors.empty());
}

TEST(ReceiverWatchdog, AFailingRedrawIsLoggedAsNumber9) {
  FakeClock clock;
  std::vector<std::int32_t> errors;
  DecoderOutlets out;
  out.RedrawStation = [] { throw std::runtime_error("no picture"); };
  out.LogError = [&](std::int32_t n) { errors.push_back(n); };
  MessageDecoder decoder({}, clock, out);
  decoder.Watchdog();
  EXPECT_EQ(errors, std::vector<std::int32_t>{9});
}

}  // namespace
}  // namespace orvent
