// The receiver link as the station reads it: the decoder's account of lines
// left without an ACK, with the reasons the serial line and the raw log
// gave, on a fake line whose writes fail on purpose. The same on every system.

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <system_error>

#include "platform/fake_clock.h"
#include "platform/manual_event_loop.h"
#include "receiver/receiver_link.h"
#include "support/fake_serial_ports.h"
#include "support/recording_sink.h"

namespace orvent {
namespace {

const std::string kMessage = std::string("5011 181234113001015") + '\x14';

class QuietObserver final : public ReceiverObserver {
public:
  void ReceiverSpoke() override {}
  void LineLost() override {}
  void ReceiverFailure(const std::string& message) override { ADD_FAILURE() << "told the operator: " << message; }
  void LogError(std::int32_t number) override { ADD_FAILURE() << "error log: " << number; }
};

TEST(ReceiverLinkTest, TellsWhichLinesWentWithoutAnAckAndWhy) {
  FakeClock clock;
  ManualEventLoop loop(clock);
  test::FakeSerialPorts ports;
  ports.present = {"COM1"};
  QuietObserver observer;
  test::RecordingSink sink;
  ReceiverLink link(ports, loop, clock, observer);

  // Nothing to tell before the decoder begins.
  EXPECT_EQ(link.LinesLeftUnacknowledged(), 0u);
  EXPECT_FALSE(link.LastNoAck());
  EXPECT_FALSE(link.UnansweredSinceMs());
  EXPECT_FALSE(link.RawLogError());
  EXPECT_FALSE(link.AckWriteError());

  ReceiverSettings settings;
  settings.QuickAck = true;
  settings.Decoding.Log = true;
  settings.AppendRawLog = [](std::span<const std::uint8_t>) {
    return std::make_error_code(std::errc::read_only_file_system);
  };
  link.Begin(std::move(settings), sink);
  ASSERT_FALSE(link.Open("COM1"));
  loop.Advance(100);  // quiet since the opening: the next byte starts a line

  // The line refuses the ACK.
  ports.line.write_room = 0;
  ports.line.write_error = std::make_error_code(std::errc::broken_pipe);
  ports.line.to_read = kMessage;
  loop.Advance(25);  // a poll
  EXPECT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(link.LinesLeftUnacknowledged(), 1u);
  ASSERT_TRUE(link.LastNoAck());
  EXPECT_EQ(link.LastNoAck()->Cause, NoAckCause::AckNotWritten);
  EXPECT_EQ(link.LastNoAck()->Error, std::errc::broken_pipe);
  EXPECT_EQ(link.AckWriteError(), std::errc::broken_pipe);
  EXPECT_TRUE(link.UnansweredSinceMs());
  EXPECT_FALSE(link.LastAcknowledged());
  EXPECT_EQ(link.RawLogError(), std::errc::read_only_file_system);

  // The receiver sends the alarm again, and the line takes its ACK.
  ports.line.write_room = std::numeric_limits<std::size_t>::max();
  ports.line.to_read = kMessage;
  loop.Advance(25);
  EXPECT_EQ(ports.line.written, "\x06");
  EXPECT_TRUE(link.LastAcknowledged());
  EXPECT_FALSE(link.AckWriteError());
  EXPECT_FALSE(link.UnansweredSinceMs());
  EXPECT_EQ(link.LinesLeftUnacknowledged(), 1u);
}

}  // namespace
}  // namespace orvent
