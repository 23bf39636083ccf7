#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "station/station_view.h"

namespace orvent {

// When a face without a window writes the backlog's line (BacklogLine):
// often enough to follow, seldom enough that a burst of alarms does not
// become a line per alarm.
//
// - The first line, and a line that tells the backlog filled (from none
//   waiting) or emptied, are written at once.
// - Any other change is written at once when the last line is kGap old;
//   otherwise when kGap has passed since it, as the backlog then stands:
//   the latest state is always written in the end.
// - A filling within kGap of an emptying counts as any change: a server
//   that keeps pace with a burst makes the backlog flick between 0 and 1,
//   and that gives two lines a gap, not two an alarm.
// - While records wait, the line is written again kRepeat after the last.
//
// Views that leave the backlog as it was (a sign of life of the link) cost
// a comparison. A timer runs only while a change waits for its turn or
// records wait. Runs on the loop's thread.
class BacklogReport {
public:
  static constexpr std::chrono::milliseconds kGap{10000};
  static constexpr std::chrono::milliseconds kRepeat{60000};

  using Writer = std::function<void(const std::string& line)>;

  BacklogReport(EventLoop& loop, const Clock& clock, Writer write);
  ~BacklogReport();
  BacklogReport(const BacklogReport&) = delete;
  BacklogReport& operator=(const BacklogReport&) = delete;

  // The station's latest view.
  void Show(const StationView& view);

private:
  void Write();
  // Sets the timer for the next line that is due, if any.
  void Schedule();
  void StopTimer();

  // The view's backlog fields, compared before a line is made of them.
  struct Fields {
    std::size_t Waiting = 0;
    std::optional<TDateTime> OldestWaiting;
    std::optional<TDateTime> LastAcknowledged;
    std::optional<TDateTime> LastConfirmed;
    bool operator==(const Fields&) const = default;
  };
  // A backlog as its line shows it: times to the second, so that two
  // states that read the same count as one.
  struct Line {
    std::string Text;
    std::size_t Waiting = 0;
  };

  EventLoop& loop_;
  const Clock& clock_;
  const Writer write_;
  std::optional<Fields> latest_fields_;
  std::optional<Line> latest_;
  std::optional<Line> written_;
  std::int64_t written_at_ms_ = 0;
  std::optional<std::int64_t> emptied_at_ms_;  // when a line last told of an emptying
  std::optional<EventLoop::TimerId> timer_;
  std::int64_t timer_due_ms_ = 0;
};

}  // namespace orvent
