// The station's health verdict, decided from what the station sees, and the
// repeat rule by which a failure that lasts is told: both on a clock that
// the test moves.

#include <gtest/gtest.h>

#include <string>

#include "station/health.h"
#include "station/repeat_rule.h"

namespace orvent {
namespace {

// 11.12.2026 10:00:00, and the monotonic clock at 1,000,000 ms then.
constexpr TDateTime kTen = 46367.0 + 10.0 / 24.0;
constexpr std::int64_t kTenMs = 1'000'000;

Moment At(std::int64_t ms_after_ten) {
  return {kTenMs + ms_after_ten, DateTimeFromMs(MsFromDateTime(kTen) + ms_after_ten)};
}

// A station that works: its port open, the receiver heard, the server taking
// events since 10:00:00; the case then changes one thing and looks at 10:01:00.
HealthFacts Working() {
  HealthFacts f;
  f.Now = At(60'000);
  f.Port = PortHealth::Open;
  f.PortName = "COM1";
  f.ReceiverLastHeard = At(59'000).At;
  f.ServerTakesEvents = true;
  f.ServerAwaySince = At(0);
  f.ServerAddress = "127.0.0.1:12543";
  return f;
}

struct HealthCase {
  const char* name;
  void (*change)(HealthFacts&);
  HealthLevel level;
  const char* reason;
};

TEST(HealthVerdict, EachCauseGivesItsLevelAndReason) {
  const HealthCase cases[] = {
      {"working (the control)", [](HealthFacts&) {}, HealthLevel::Working,
       "порт COM1 открыт, сервер принимает события"},
      {"no port configured", [](HealthFacts& f) { f.Port = PortHealth::NotConfigured; }, HealthLevel::Stopped,
       "порт приёмника не задан (ComPort в kelmora.ini)"},
      {"a port that will not open",
       [](HealthFacts& f) {
         f.Port = PortHealth::WontOpen;
         f.PortFailure = "нет такого устройства";
       },
       HealthLevel::Stopped, "порт COM1 не открывается (нет такого устройства)"},
      {"the port lost", [](HealthFacts& f) { f.Port = PortHealth::Lost; }, HealthLevel::Stopped, "порт COM1 потерян"},
      {"stopped by the operator", [](HealthFacts& f) { f.Port = PortHealth::StoppedByOperator; },
       HealthLevel::Stopped, "порт COM1 остановлен оператором"},
      {"a port chosen, not started", [](HealthFacts& f) { f.Port = PortHealth::NotStarted; }, HealthLevel::Stopped,
       "порт COM1 не запущен"},
      {"a line unanswered for 5 s is not yet too long",
       [](HealthFacts& f) {
         f.UnansweredSince = At(55'000);
         f.UnansweredWhy = "строка не той длины";
       },
       HealthLevel::Working, "порт COM1 открыт, сервер принимает события"},
      {"lines unanswered for longer",
       [](HealthFacts& f) {
         f.UnansweredSince = At(54'999);
         f.UnansweredWhy = "строка не той длины";
       },
       HealthLevel::Stopped, "строки приёмника остаются без подтверждения с 10:00:54 (строка не той длины)"},
      {"the disk refuses and the server takes events", [](HealthFacts& f) { f.DiskRefuses = true; },
       HealthLevel::Attention, "диск не принимает события: тревоги подтверждаются только после ответа сервера"},
      {"the disk refuses and the server is away a moment",
       [](HealthFacts& f) {
         f.DiskRefuses = true;
         f.ServerTakesEvents = false;
         f.ServerAwaySince = At(59'000);
       },
       HealthLevel::Stopped, "диск не принимает события, а сервер их не берёт: тревоги остаются в приёмнике"},
      {"the server away since start, no attempt ended yet",
       [](HealthFacts& f) {
         f.ServerTakesEvents = false;
         f.ServerAwaySince = At(55'000);
       },
       HealthLevel::Working, "порт COM1 открыт, соединение с сервером"},
      {"the server lost a moment ago",
       [](HealthFacts& f) {
         f.ServerTakesEvents = false;
         f.ServerAwaySince = At(59'500);
         f.ServerFailed = true;
         f.ServerFailure = "связь потеряна";
       },
       HealthLevel::Attention, "сервер 127.0.0.1:12543 не принимает события (связь потеряна), переподсоединение"},
      {"the server away longer than its first retry",
       [](HealthFacts& f) {
         f.ServerTakesEvents = false;
         f.ServerAwaySince = At(51'999);
         f.ServerFailed = true;
         f.ServerFailure = "сервер отказал в соединении";
       },
       HealthLevel::Stopped,
       "сервер 127.0.0.1:12543 не принимает события с 10:00:51 (сервер отказал в соединении): они копятся в очереди"},
      {"the server does not acknowledge", [](HealthFacts& f) { f.ServerNotAcknowledging = true; },
       HealthLevel::Attention, "сервер не подтверждает события"},
      {"the raw log fails", [](HealthFacts& f) { f.RawLogFailure = "нет прав на запись"; }, HealthLevel::Attention,
       "журнал kelmora.log не записывается (нет прав на запись)"},
      {"the settings file went bad", [](HealthFacts& f) { f.SettingsFailure = "это не обычный файл"; },
       HealthLevel::Attention, "kelmora.ini не читается (это не обычный файл), действуют прежние настройки"},
      {"a record waiting three minutes is still fine", [](HealthFacts& f) { f.OldestWaiting = At(-120'000).At; },
       HealthLevel::Working, "порт COM1 открыт, сервер принимает события"},
      {"a record waiting longer", [](HealthFacts& f) { f.OldestWaiting = At(-120'001).At; }, HealthLevel::Attention,
       "событие ждёт отправки с 09:57:59"},
      {"the receiver quiet past its attention time", [](HealthFacts& f) { f.ReceiverQuiet = true; },
       HealthLevel::Attention, "приёмник молчит с 10:00:59"},
      {"quiet on a closed port is the port's matter",
       [](HealthFacts& f) {
         f.ReceiverQuiet = true;
         f.Port = PortHealth::Lost;
       },
       HealthLevel::Stopped, "порт COM1 потерян"},
      {"every cause is named, the worst first",
       [](HealthFacts& f) {
         f.RawLogFailure = "диск заполнен";
         f.Port = PortHealth::Lost;
         f.ServerNotAcknowledging = true;
       },
       HealthLevel::Stopped,
       "порт COM1 потерян; сервер не подтверждает события; журнал kelmora.log не записывается (диск заполнен)"},
  };
  for (const HealthCase& c : cases) {
    SCOPED_TRACE(c.name);
    HealthFacts facts = Working();
    c.change(facts);
    const Health verdict = DecideHealth(facts).Verdict;
    EXPECT_EQ(verdict.Level, c.level);
    EXPECT_EQ(verdict.Reason, c.reason);
  }
}

// Causes that turn with time alone say when to look again: at the first
// millisecond past their limit.
TEST(HealthVerdict, TellsWhenTimeAloneMayTurnIt) {
  HealthFacts facts = Working();
  EXPECT_EQ(DecideHealth(facts).RecheckAtMs, std::nullopt);
  facts.UnansweredSince = At(58'000);
  EXPECT_EQ(DecideHealth(facts).RecheckAtMs, At(58'000).Ms + kUnansweredLimitMs + 1);
  facts.ServerTakesEvents = false;
  facts.ServerAwaySince = At(59'000);
  EXPECT_EQ(DecideHealth(facts).RecheckAtMs, At(58'000).Ms + kUnansweredLimitMs + 1);
  facts.UnansweredSince.reset();
  EXPECT_EQ(DecideHealth(facts).RecheckAtMs, At(59'000).Ms + kServerAwayLimitMs + 1);

  facts = Working();
  facts.OldestWaiting = At(0).At;
  EXPECT_EQ(DecideHealth(facts).RecheckAtMs, At(0).Ms + kOldBacklogMs + 1);
  facts.Now = At(kOldBacklogMs + 1);
  EXPECT_EQ(DecideHealth(facts).Verdict.Level, HealthLevel::Attention);
}

TEST(HealthVerdict, ALineSaysTheLevelThenWhy) {
  EXPECT_EQ(HealthLine({HealthLevel::Working, "порт COM1 открыт"}), "Работает: порт COM1 открыт");
  EXPECT_EQ(HealthLine({HealthLevel::Attention, "сервер не подтверждает события"}),
            "Внимание: сервер не подтверждает события");
  EXPECT_EQ(HealthLine({HealthLevel::Stopped, "порт COM1 потерян"}), "Тревоги не проходят: порт COM1 потерян");
}

// A failure that repeats: once, then every ten minutes with a count and its
// start, its end once; new words are a new failure.
TEST(RepeatRule, TellsAFailureOnceThenNowAndThen) {
  RepeatRule rule;
  const std::string refused = "Соединение не удалось: сервер отказал в соединении.";
  EXPECT_EQ(rule.Failed("server", refused, At(0)), refused);
  std::int64_t t = 0;
  int told = 0;
  std::optional<std::string> last;
  // A try every 5 s for 20 minutes.
  for (int i = 1; i < 240; ++i) {
    t += 5000;
    if (auto line = rule.Failed("server", refused, At(t))) {
      ++told;
      last = line;
    }
  }
  EXPECT_EQ(told, 1);  // at 10 minutes; the next would be at 20
  EXPECT_EQ(last, "Соединение не удалось: сервер отказал в соединении - всё ещё: 121 попытка с 10:00.");
  EXPECT_TRUE(rule.Failing("server"));

  // Other words: told at once, counted afresh.
  EXPECT_EQ(rule.Failed("server", "Соединение не удалось: сервер не ответил вовремя.", At(t + 5000)),
            "Соединение не удалось: сервер не ответил вовремя.");
  // Another key is another failure.
  EXPECT_EQ(rule.Failed("port", "Порт COM1: нет такого устройства.", At(t)), "Порт COM1: нет такого устройства.");
  EXPECT_TRUE(rule.Ended("server"));
  EXPECT_FALSE(rule.Ended("server"));  // its end is told once
  EXPECT_FALSE(rule.Failing("server"));
  EXPECT_EQ(rule.Failed("server", refused, At(t + 10000)), refused);
}

TEST(RepeatRule, CountsInWords) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {1, "1 попытка"},     {2, "2 попытки"},     {4, "4 попытки"},     {5, "5 попыток"},    {11, "11 попыток"},
      {12, "12 попыток"},   {14, "14 попыток"},   {21, "21 попытка"},   {22, "22 попытки"},  {111, "111 попыток"},
      {120, "120 попыток"}, {121, "121 попытка"}, {1002, "1002 попытки"},
  };
  for (const auto& [count, text] : cases) EXPECT_EQ(AttemptsText(count), text);
}

}  // namespace
}  // namespace orvent
