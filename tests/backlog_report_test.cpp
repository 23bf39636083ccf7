// When orvent-service writes its backlog line: the cadence on a fake clock,
// step by step, and bursts of alarms that must not become a line per alarm.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/fake_clock.h"
#include "platform/manual_event_loop.h"
#include "station/backlog_report.h"

namespace orvent {
namespace {

// A view the station shows `at_ms` into the test.
struct Step {
  std::int64_t AtMs;
  std::size_t Waiting;
  // Only the link's sign of life moved: the backlog is the one before.
  bool SignOfLife = false;
};

// A line written `AtMs` into the test, of the view of step `Of`.
struct Written {
  std::int64_t AtMs;
  std::size_t Of;
  bool operator==(const Written&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Written& w) { return out << w.Of << "@" << w.AtMs; }

struct CadenceCase {
  const char* Name;
  std::vector<Step> Steps;
  std::int64_t RunToMs;
  std::vector<Written> Lines;
};

std::ostream& operator<<(std::ostream& out, const CadenceCase& c) { return out << c.Name; }

// The report on a fake clock and a manual loop, with the lines it writes.
class ReportRun {
public:
  ReportRun() : loop_(clock_), report_(loop_, clock_, [this](const std::string& line) { Record(line); }) {}

  // Moves to the step's time, with every timer due on the way, and shows its view.
  void Show(const Step& step) {
    loop_.Advance(step.AtMs - clock_.MonotonicMs());
    StationView view = views_.empty() ? StationView{} : views_.back();
    ++view.ServerPulse;
    if (!step.SignOfLife) {
      view.Waiting = step.Waiting;
      view.OldestWaiting = step.Waiting > 0 ? std::optional<TDateTime>(kOldest) : std::nullopt;
      // A second of its own, so that each step reads differently.
      view.LastAcknowledged = DateTimeFromMs(kBaseMs + static_cast<std::int64_t>(views_.size()) * 1000);
    }
    views_.push_back(view);
    last_step_at_ = step.AtMs;
    report_.Show(view);
  }
  void RunTo(std::int64_t ms) { loop_.Advance(ms - clock_.MonotonicMs()); }

  // The lines as steps, each checked against the view it names.
  std::vector<Written> Lines() const {
    std::vector<Written> out;
    for (const auto& [at, line] : lines_) {
      std::size_t of = views_.size();
      for (std::size_t i = views_.size(); i-- > 0;) {
        if (BacklogLine(views_[i]) == line) of = i;
      }
      out.push_back({at, of});
    }
    return out;
  }
  std::size_t LineCount() const { return lines_.size(); }
  const std::pair<std::int64_t, std::string>& LastLine() const { return lines_.back(); }
  const StationView& LastView() const { return views_.back(); }
  std::int64_t LastStepAt() const { return last_step_at_; }
  std::size_t Timers() const { return loop_.TimerCount(); }

private:
  static constexpr std::int64_t kBaseMs = 40'000LL * kMsPerDay;
  static constexpr TDateTime kOldest = 40'000.0;

  void Record(const std::string& line) { lines_.emplace_back(clock_.MonotonicMs(), line); }

  FakeClock clock_;
  ManualEventLoop loop_;
  std::vector<StationView> views_;
  std::vector<std::pair<std::int64_t, std::string>> lines_;
  std::int64_t last_step_at_ = 0;
  BacklogReport report_;
};

class BacklogCadence : public ::testing::TestWithParam<CadenceCase> {};

TEST_P(BacklogCadence, LinesComeAtTheirTimesWithTheLatestBacklog) {
  const CadenceCase& c = GetParam();
  ReportRun run;
  for (const Step& step : c.Steps) run.Show(step);
  run.RunTo(c.RunToMs);
  EXPECT_EQ(run.Lines(), c.Lines);
  // Idle costs nothing: no timer once nothing waits.
  EXPECT_EQ(run.Timers(), run.LastView().Waiting > 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BacklogCadence,
    ::testing::Values(
        CadenceCase{"FirstViewAtOnce", {{0, 0}}, 200'000, {{0, 0}}},
        CadenceCase{"SignsOfLifeWriteNothing", {{0, 0}, {500, 0, true}, {1000, 0, true}}, 200'000, {{0, 0}}},
        CadenceCase{"ChangeAfterAQuietSpellAtOnce", {{0, 0}, {15'000, 0}}, 200'000, {{0, 0}, {15'000, 1}}},
        CadenceCase{"ChangeSoonAfterALineWaitsForTheGap",
                    {{0, 1}, {3000, 2}},
                    75'000,
                    {{0, 0}, {10'000, 1}, {70'000, 1}}},
        CadenceCase{"TheGapWritesTheLatestOfManyChanges",
                    {{0, 1}, {2000, 2}, {4000, 3}, {6000, 4}, {8000, 4, true}},
                    75'000,
                    {{0, 0}, {10'000, 3}, {70'000, 3}}},
        CadenceCase{"EmptyingAtOnce", {{0, 0}, {20'000, 1}, {20'050, 0}}, 200'000,
                    {{0, 0}, {20'000, 1}, {20'050, 2}}},
        CadenceCase{"FillingSoonAfterALineAtOnce", {{0, 0}, {50, 1}}, 70'000, {{0, 0}, {50, 1}, {60'050, 1}}},
        CadenceCase{"FillingSoonAfterAnEmptyingWaitsForTheGap",
                    {{0, 0}, {20'000, 1}, {20'050, 0}, {20'200, 1}},
                    95'000,
                    {{0, 0}, {20'000, 1}, {20'050, 2}, {30'050, 3}, {90'050, 3}}},
        CadenceCase{"FillingAGapAfterAnEmptyingAtOnce",
                    {{0, 0}, {20'000, 1}, {20'050, 0}, {30'050, 1}},
                    35'000,
                    {{0, 0}, {20'000, 1}, {20'050, 2}, {30'050, 3}}},
        CadenceCase{"EmptyingInTheGapAtOnce",
                    {{0, 2}, {3000, 3}, {5000, 0}},
                    200'000,
                    {{0, 0}, {5000, 2}}},
        CadenceCase{"RepeatedEveryMinuteWhileWaiting",
                    {{0, 3}, {30'000, 3, true}},
                    190'000,
                    {{0, 0}, {60'000, 0}, {120'000, 0}, {180'000, 0}}},
        CadenceCase{"AChangeBetweenRepeatsMovesTheNextRepeat",
                    {{0, 3}, {30'000, 4}},
                    95'000,
                    {{0, 0}, {30'000, 1}, {90'000, 1}}},
        CadenceCase{"RepeatsEndWithTheBacklog",
                    {{0, 3}, {130'000, 0}},
                    400'000,
                    {{0, 0}, {60'000, 0}, {120'000, 0}, {130'000, 1}}}),
    [](const ::testing::TestParamInfo<CadenceCase>& c) { return std::string(c.param.Name); });

// A burst of 2,000 alarms, one every 50 ms, as the view shows it.
struct BurstCase {
  const char* Name;
  // Whether the server takes each record at once (the backlog flicks
  // between 1 and 0) or is away until the burst is over (it grows, then
  // drains at 100 records a second).
  bool ServerKeepsPace;
  // How long after the backlog's last change its line may come: at once
  // when it empties, within a gap when the last line already said empty.
  std::int64_t LastLineWithinMs;
};

std::ostream& operator<<(std::ostream& out, const BurstCase& c) { return out << c.Name; }

class BacklogBurst : public ::testing::TestWithParam<BurstCase> {};

TEST_P(BacklogBurst, GivesALineOrTwoEveryGapAndTheLatestInTheEnd) {
  constexpr std::int64_t kStart = 20'000;
  constexpr std::size_t kAlarms = 2000;
  const BurstCase& c = GetParam();
  ReportRun run;
  run.Show({0, 0});
  std::int64_t at = kStart;
  for (std::size_t i = 0; i < kAlarms; ++i, at += 50) run.Show({at, c.ServerKeepsPace ? (i + 1) % 2 : i + 1});
  if (!c.ServerKeepsPace) {
    for (std::size_t left = kAlarms; left-- > 0; at += 10) run.Show({at, left});
  }
  run.RunTo(at + 200'000);

  // The line before the burst, then at most two a gap (a change at the
  // gap's end, then the emptying), and at least one.
  const std::int64_t last_at = run.LastLine().first;
  const auto gaps = static_cast<std::size_t>((last_at - kStart) / BacklogReport::kGap.count() + 1);
  EXPECT_LE(run.LineCount(), 2 * gaps + 1);
  EXPECT_GE(run.LineCount(), gaps);
  EXPECT_EQ(run.LastLine().second, BacklogLine(run.LastView()));
  EXPECT_LE(last_at - run.LastStepAt(), c.LastLineWithinMs);
  EXPECT_EQ(run.Timers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Servers, BacklogBurst,
                         ::testing::Values(BurstCase{"ServerKeepsPace", true, BacklogReport::kGap.count()},
                                           BurstCase{"ServerAway", false, 0}),
                         [](const ::testing::TestParamInfo<BurstCase>& c) { return std::string(c.param.Name); });

}  // namespace
}  // namespace orvent
