#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "delivery/event_record.h"

namespace orvent {

// What the event spool needs of the server link. The link thread `cl`
// implements it; tests use a fake. Every member is safe to call from the
// window thread while the link thread runs.
class SpoolLinkView {
public:
  virtual ~SpoolLinkView() = default;

  // The connection is usable (`LinkUp`).
  virtual bool LinkUp() const = 0;
  // The server has accepted the driver since the connection was made (`Accepted`).
  virtual bool Accepted() const = 0;
  // Queues the frame of the spool file `spool_file` being replayed; false
  // when `OutQueue` is full (the file simply goes out again later). Should
  // the frame's delivery come to doubt after the file has gone (deleted by
  // the acknowledgement of another frame), the link hands its record back.
  virtual bool PostSpoolFrame(std::uint32_t command, std::span<const std::uint8_t> payload,
                              const std::string& spool_file) = 0;
  // Queues a live record as an event frame; false when `OutQueue` is full (the
  // caller then spools it). From here on the link owns its delivery: should
  // the frame's reply never be read, or should the program end with the frame
  // still queued, the link hands the record back to the spool.
  virtual bool PostLiveEvent(const SoobBytes& record) = 0;
};

}  // namespace orvent
