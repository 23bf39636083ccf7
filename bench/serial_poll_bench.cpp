// CPU time of one poll of the packet driver on a pseudo-terminal, with the
// production settings: nothing waiting, and a partial packet being gathered.

#include <benchmark/benchmark.h>

#include <string>

#include "platform/clock.h"
#include "platform/manual_event_loop.h"
#include "platform/serial_device.h"
#include "receiver/serial_packet_driver.h"
#include "support/pty_pair.h"

namespace orvent {
namespace {

struct PolledPort {
  explicit PolledPort(benchmark::State& state) {
    if (!pty.ok()) {
      state.SkipWithError("no pseudo-terminal");
      return;
    }
    driver.SetPortName(pty.path());
    ApplyReceiverLineSettings(driver);
    driver.OnReceivePacket = [](SerialPacketDriver*, const std::uint8_t*, std::uint32_t) {};
    if (!driver.Connect()) state.SkipWithError("cannot open the pseudo-terminal");
  }

  test::PtyPair pty;
  SystemClock clock;
  FakeClock loop_clock;
  ManualEventLoop loop{loop_clock};
  SystemSerialPorts ports;
  SerialPacketDriver driver{ports, loop, clock};
};

void BM_PollNothingWaiting(benchmark::State& state) {
  PolledPort port(state);
  for (auto _ : state) port.driver.Poll();
}
BENCHMARK(BM_PollNothingWaiting)->MeasureProcessCPUTime();

void BM_PollGatheringPartialPacket(benchmark::State& state) {
  PolledPort port(state);
  // Bytes that wait out their time-out: every poll counts them and checks
  // the clock. A time-out that never ends keeps them waiting.
  port.driver.SetPacketTimeout(0);
  port.pty.Write(std::string(21, '5'));
  port.pty.WaitUntilWaiting(21);
  for (auto _ : state) port.driver.Poll();
}
BENCHMARK(BM_PollGatheringPartialPacket)->MeasureProcessCPUTime();

}  // namespace
}  // namespace orvent

BENCHMARK_MAIN();
