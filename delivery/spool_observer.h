#pragma once

#include <cstdint>
#include <string>

namespace orvent {

// Who hears what the spool has to say (the station). LogError and
// ShowStatus come on the main thread only, from EmitReports, with no lock of
// the spool held.
class SpoolObserver {
public:
  virtual ~SpoolObserver() = default;
  // A number for the error log.
  virtual void LogError(std::int32_t number) = 0;
  // A status line.
  virtual void ShowStatus(const std::string& text) = 0;
  // Something waits to be told: the main thread should call EmitReports.
  // Called from any thread, with no lock of the spool held; it must only post.
  virtual void ReportsWaiting() = 0;
  // Whether the server takes events now (the link is up and accepted): a
  // record the disk refused goes to it only then. Main thread.
  virtual bool ServerTakesEvents() = 0;
  // The verdict on a record that the disk refused: confirmed by the server
  // in time, or not. Given once per ticket, from any thread, with no lock
  // held; it must only post.
  virtual void ServerVerdict(std::uint64_t ticket, bool confirmed) = 0;
};

}  // namespace orvent
