#include "station/health.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace orvent {
namespace {

struct Cause {
  HealthLevel Level;
  std::string Text;
};

std::string Since(TDateTime t) { return "с " + ClockText(t); }

void Recheck(std::optional<std::int64_t>& at, std::int64_t when) { at = std::min(at.value_or(when), when); }

}  // namespace

std::string ClockText(TDateTime t) {
  const CivilTime c = DecodeDateTime(t);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", c.hour, c.minute, c.second);
  return text;
}

HealthVerdict DecideHealth(const HealthFacts& f) {
  std::vector<Cause> causes;
  std::optional<std::int64_t> recheck;
  const auto red = [&](std::string text) { causes.push_back({HealthLevel::Stopped, std::move(text)}); };
  const auto amber = [&](std::string text) { causes.push_back({HealthLevel::Attention, std::move(text)}); };

  // The port first: without it no alarm is even heard.
  const std::string port = "порт " + f.PortName;
  switch (f.Port) {
    case PortHealth::NotConfigured:
      red("порт приёмника не задан (ComPort в kelmora.ini)");
      break;
    case PortHealth::NotStarted:
      red(port + " не запущен");
      break;
    case PortHealth::StoppedByOperator:
      red(port + " остановлен оператором");
      break;
    case PortHealth::WontOpen:
      red(port + " не открывается" + (f.PortFailure.empty() ? "" : " (" + f.PortFailure + ")"));
      break;
    case PortHealth::Lost:
      red(port + " потерян" + (f.PortFailure.empty() ? "" : " (" + f.PortFailure + ")"));
      break;
    case PortHealth::Open:
      break;
  }

  if (f.UnansweredSince) {
    const std::int64_t red_at = f.UnansweredSince->Ms + kUnansweredLimitMs;
    if (f.Now.Ms > red_at) {
      red("строки приёмника остаются без подтверждения " + Since(f.UnansweredSince->At) +
          (f.UnansweredWhy.empty() ? "" : " (" + f.UnansweredWhy + ")"));
    } else {
      Recheck(recheck, red_at + 1);
    }
  }

  if (f.DiskRefuses && !f.ServerTakesEvents) {
    red("диск не принимает события, а сервер их не берёт: тревоги остаются в приёмнике");
  }

  if (!f.ServerTakesEvents) {
    const std::int64_t red_at = f.ServerAwaySince.Ms + kServerAwayLimitMs;
    const std::string server = "сервер" + (f.ServerAddress.empty() ? "" : " " + f.ServerAddress);
    const std::string why = f.ServerFailure.empty() ? "" : " (" + f.ServerFailure + ")";
    if (f.Now.Ms > red_at) {
      red(server + " не принимает события " + Since(f.ServerAwaySince.At) + why + ": они копятся в очереди");
    } else {
      Recheck(recheck, red_at + 1);
      // Before the first attempt has ended the link is not known to fail.
      if (f.ServerFailed) amber(server + " не принимает события" + why + ", переподсоединение");
    }
  } else if (f.ServerNotAcknowledging) {
    amber("сервер не подтверждает события");
  }

  if (f.DiskRefuses && f.ServerTakesEvents) {
    amber("диск не принимает события: тревоги подтверждаются только после ответа сервера");
  }
  if (!f.RawLogFailure.empty()) amber("журнал kelmora.log не записывается (" + f.RawLogFailure + ")");
  if (!f.SettingsFailure.empty()) {
    amber("kelmora.ini не читается (" + f.SettingsFailure + "), действуют прежние настройки");
  }
  if (f.OldestWaiting && f.ServerTakesEvents) {
    const std::int64_t age = MsFromDateTime(f.Now.At) - MsFromDateTime(*f.OldestWaiting);
    if (age > kOldBacklogMs) {
      amber("событие ждёт отправки " + Since(*f.OldestWaiting));
    } else {
      Recheck(recheck, f.Now.Ms + (kOldBacklogMs - age) + 1);
    }
  }
  if (f.Port == PortHealth::Open && f.ReceiverQuiet) {
    amber("приёмник молчит " + Since(f.ReceiverLastHeard));
  }

  HealthVerdict verdict;
  verdict.RecheckAtMs = recheck;
  if (causes.empty()) {
    verdict.Verdict = {HealthLevel::Working,
                       port + " открыт, " + (f.ServerTakesEvents ? "сервер принимает события" : "соединение с сервером")};
    return verdict;
  }
  std::stable_sort(causes.begin(), causes.end(),
                   [](const Cause& a, const Cause& b) { return static_cast<int>(a.Level) > static_cast<int>(b.Level); });
  verdict.Verdict.Level = causes.front().Level;
  for (std::size_t i = 0; i < causes.size(); ++i) verdict.Verdict.Reason += (i ? "; " : "") + causes[i].Text;
  return verdict;
}

const char* HealthWord(HealthLevel level) {
  switch (level) {
    case HealthLevel::Working: return "работает";
    case HealthLevel::Attention: return "внимание";
    case HealthLevel::Stopped: return "тревоги не проходят";
  }
  return "?";
}

std::string HealthLine(const Health& health) {
  std::string word;
  switch (health.Level) {
    case HealthLevel::Working: word = "Работает"; break;
    case HealthLevel::Attention: word = "Внимание"; break;
    case HealthLevel::Stopped: word = "Тревоги не проходят"; break;
  }
  return health.Reason.empty() ? word : word + ": " + health.Reason;
}

std::ostream& operator<<(std::ostream& out, HealthLevel level) {
  switch (level) {
    case HealthLevel::Working: return out << "working";
    case HealthLevel::Attention: return out << "attention";
    case HealthLevel::Stopped: return out << "stopped";
  }
  return out << "?";
}

std::ostream& operator<<(std::ostream& out, const Health& health) {
  return out << health.Level << " (" << health.Reason << ")";
}

}  // namespace orvent
