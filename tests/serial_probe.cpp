// A Windows program that works a serial port step by step, as a Linux test
// asks on its standard input: one command a line, one answer a line on the
// standard output ("ok ..." or "error CONDITION CODE MESSAGE"), flushed at
// once. Run under Wine by serial_wine_test.cpp, whose pseudo-terminal Wine
// shows as a COM port, so that the Linux side can check every step on the
// terminal itself. Bytes travel as hex.
//
//   open NAME [BAUD BITS N|O|E|M|S 1|1.5|2 [dtr=0|1] [rts=off|on|handshake|toggle] [xonxoff=0|1]]
//                                the port through SystemSerialPorts, with the receiver's line
//                                (9600 8N1) unless settings follow
//   status                       ok in=N out=N
//   read N                       one read: ok bytes=HEX ms=T
//   readfor N MS                 reads as the driver polls, until N bytes or MS: ok bytes=HEX ms=T
//   write HEX                    ok count=N ms=T
//   dtr 0|1    watch (ok none | ok handle)    adapters (ok NAME...)
//   close
//   driver NAME                  the packet driver on the port, as the service sets it up
//   run MS                       the event loop for MS, once (its end is for good); each packet is
//                                acknowledged: ok packets=HEX,... first_ms=T
//   quit

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/poll_event_loop.h"
#include "platform/serial_device.h"
#include "receiver/serial_packet_driver.h"

namespace orvent {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> Bytes(const std::string& hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(hex.c_str() + i, "%2x", &value) != 1) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return bytes;
}

std::string ConditionName(const std::error_code& e) {
  if (e == std::errc::no_such_file_or_directory || e == std::errc::no_such_device) return "no_such_device";
  if (e == std::errc::permission_denied) return "permission_denied";
  if (e == std::errc::device_or_resource_busy) return "busy";
  if (e == std::errc::invalid_argument) return "invalid_argument";
  if (e == std::errc::not_supported) return "not_supported";
  return "other";
}

std::string Failure(const std::error_code& e) {
  return "error " + ConditionName(e) + " " + e.category().name() + ":" + std::to_string(e.value()) + " " +
         e.message();
}

std::string Answer(const std::error_code& e, const std::string& ok = {}) {
  if (e) return Failure(e);
  return ok.empty() ? "ok" : "ok " + ok;
}

class Probe {
public:
  std::string Do(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "open") return Open(in);
    if (command == "close") {
      device_.reset();
      return "ok";
    }
    if (command == "adapters") {
      std::string names;
      for (const std::string& name : ports_.AdapterPaths()) names += " " + name;
      return "ok" + names;
    }
    if (command == "driver") return StartDriver(in);
    if (command == "run") return Run(in);
    if (!device_) return "error no_port";
    if (command == "status") {
      SerialQueues queues;
      const std::error_code e = device_->Queued(queues);
      return Answer(e, "in=" + std::to_string(queues.to_read) + " out=" + std::to_string(queues.to_send));
    }
    if (command == "read") return Read(in);
    if (command == "readfor") return ReadFor(in);
    if (command == "write") return Write(in);
    if (command == "dtr") {
      int on = 0;
      in >> on;
      return Answer(device_->SetDtr(on != 0));
    }
    if (command == "watch") return device_->WaitHandle() ? "ok handle" : "ok none";
    return "error unknown_command";
  }

private:
  std::string Open(std::istream& in) {
    std::string name;
    in >> name;
    device_.reset();
    SerialLineSettings settings;
    if (in >> settings.baud_rate) {
      if (const std::optional<std::string> refused = Settings(in, settings)) return *refused;
    }
    std::error_code e;
    device_ = ports_.Open(name, settings, e);
    return Answer(e);
  }

  // The rest of a line's settings after the rate; a refusal when they do not parse.
  static std::optional<std::string> Settings(std::istream& in, SerialLineSettings& s) {
    unsigned bits = 8;
    std::string parity;
    std::string stop;
    in >> bits >> parity >> stop;
    s.data_bits = static_cast<std::uint8_t>(bits);
    const std::string parities = "NOEMS";
    if (parity.size() != 1 || parities.find(parity[0]) == std::string::npos) return "error bad_parity";
    s.parity = static_cast<SerialParity>(parities.find(parity[0]));
    s.stop_bits = stop == "2" ? SerialStopBits::Two : stop == "1.5" ? SerialStopBits::OneAndHalf : SerialStopBits::One;
    std::string option;
    while (in >> option) {
      if (option == "dtr=0") s.dtr_on = false;
      if (option == "xonxoff=1") s.xon_xoff = true;
      if (option == "rts=off") s.rts = SerialRts::Off;
      if (option == "rts=handshake") s.rts = SerialRts::Handshake;
      if (option == "rts=toggle") s.rts = SerialRts::Toggle;
    }
    return std::nullopt;
  }

  std::string Read(std::istream& in) {
    std::size_t size = 0;
    in >> size;
    std::vector<std::uint8_t> buffer(size);
    std::size_t count = 0;
    const auto start = Clock::now();
    const std::error_code e = device_->Read(buffer.data(), size, count);
    return Answer(e, "bytes=" + Hex(buffer.data(), count) + " ms=" + std::to_string(MsSince(start)));
  }

  // As the packet driver reads: the queue's count first, then that many.
  std::string ReadFor(std::istream& in) {
    std::size_t size = 0;
    long long limit = 0;
    in >> size >> limit;
    std::vector<std::uint8_t> got;
    const auto start = Clock::now();
    while (got.size() < size && MsSince(start) < limit) {
      SerialQueues queues;
      if (const std::error_code e = device_->Queued(queues)) return Failure(e);
      if (queues.to_read == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      std::vector<std::uint8_t> buffer(std::min(queues.to_read, size - got.size()));
      std::size_t count = 0;
      if (const std::error_code e = device_->Read(buffer.data(), buffer.size(), count)) return Failure(e);
      got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
    }
    return "ok bytes=" + Hex(got.data(), got.size()) + " ms=" + std::to_string(MsSince(start));
  }

  std::string Write(std::istream& in) {
    std::string hex;
    in >> hex;
    const auto bytes = Bytes(hex);
    if (!bytes) return "error bad_hex";
    std::size_t count = 0;
    const auto start = Clock::now();
    const std::error_code e = device_->Write(bytes->data(), bytes->size(), count);
    return Answer(e, "count=" + std::to_string(count) + " ms=" + std::to_string(MsSince(start)));
  }

  std::string StartDriver(std::istream& in) {
    std::string name;
    in >> name;
    device_.reset();
    driver_ = std::make_unique<SerialPacketDriver>(ports_, loop_, clock_);
    driver_->SetPortName(name);
    ApplyReceiverLineSettings(*driver_, true);
    driver_->OnReceivePacket = [this](SerialPacketDriver* sender, const std::uint8_t* packet, std::uint32_t size) {
      if (packets_.empty()) first_packet_ms_ = MsSince(run_start_);
      packets_.push_back(Hex(packet, size));
      const std::uint8_t ack = 6;
      sender->SendData(&ack, 1);
    };
    std::error_code e;
    if (!driver_->Connect(e)) return Failure(e);
    return std::string("ok watched=") + (driver_->Watched() ? "1" : "0");
  }

  std::string Run(std::istream& in) {
    long long ms = 0;
    in >> ms;
    if (!driver_) return "error no_driver";
    packets_.clear();
    first_packet_ms_ = -1;
    run_start_ = Clock::now();
    const auto timer = loop_.StartTimer(std::chrono::milliseconds(ms), [this] { loop_.Quit(); });
    const std::error_code e = loop_.Run();
    loop_.StopTimer(timer);
    std::string list;
    for (const std::string& p : packets_) list += (list.empty() ? "" : ",") + p;
    return Answer(e, "packets=" + list + " first_ms=" + std::to_string(first_packet_ms_));
  }

  SystemSerialPorts ports_;
  std::unique_ptr<SerialDevice> device_;
  SystemClock clock_;
  PollEventLoop loop_;
  std::unique_ptr<SerialPacketDriver> driver_;
  std::vector<std::string> packets_;
  Clock::time_point run_start_;
  long long first_packet_ms_ = -1;
};

}  // namespace
}  // namespace orvent

int main() {
  // Lines end in "\n" alone, as the Linux side reads them.
  ::_setmode(::_fileno(stdout), _O_BINARY);
  orvent::Probe probe;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "quit") break;
    std::cout << probe.Do(line) << std::endl;
  }
  return 0;
}
