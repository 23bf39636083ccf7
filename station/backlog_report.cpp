#include "station/backlog_report.h"

#include <algorithm>
#include <utility>

namespace orvent {

BacklogReport::BacklogReport(EventLoop& loop, const Clock& clock, Writer write)
    : loop_(loop), clock_(clock), write_(std::move(write)) {}

BacklogReport::~BacklogReport() { StopTimer(); }

void BacklogReport::Show(const StationView& view) {
  const Fields fields{view.Waiting, view.OldestWaiting, view.LastAcknowledged, view.LastConfirmed};
  if (fields == latest_fields_) return;
  latest_fields_ = fields;
  Line line{BacklogLine(view), view.Waiting};
  if (latest_ && latest_->Text == line.Text) return;
  latest_ = std::move(line);
  const std::int64_t now = clock_.MonotonicMs();
  bool at_once = !written_ || now - written_at_ms_ >= kGap.count();
  if (written_ && (written_->Waiting > 0) != (latest_->Waiting > 0)) {
    const bool flicking = latest_->Waiting > 0 && emptied_at_ms_ && now - *emptied_at_ms_ < kGap.count();
    at_once = at_once || !flicking;
  }
  if (at_once) {
    Write();
  } else {
    Schedule();
  }
}

void BacklogReport::Write() {
  const std::int64_t now = clock_.MonotonicMs();
  if (written_ && written_->Waiting > 0 && latest_->Waiting == 0) emptied_at_ms_ = now;
  written_ = latest_;
  written_at_ms_ = now;
  write_(written_->Text);
  Schedule();
}

void BacklogReport::Schedule() {
  std::optional<std::int64_t> due;
  if (latest_->Text != written_->Text) {
    due = written_at_ms_ + kGap.count();
  } else if (written_->Waiting > 0) {
    due = written_at_ms_ + kRepeat.count();
  }
  if (timer_ && due == timer_due_ms_) return;
  StopTimer();
  if (!due) return;
  timer_due_ms_ = *due;
  const std::int64_t wait = std::max<std::int64_t>(*due - clock_.MonotonicMs(), 1);
  timer_ = loop_.StartTimer(std::chrono::milliseconds(wait), [this] {
    StopTimer();
    Write();
  });
}

void BacklogReport::StopTimer() {
  if (timer_) loop_.StopTimer(*std::exchange(timer_, std::nullopt));
}

}  // namespace orvent
