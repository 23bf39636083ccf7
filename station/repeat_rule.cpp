#include "station/repeat_rule.h"

#include <cstdio>

namespace orvent {

std::string CountText(std::uint64_t count, const char* one, const char* few, const char* many) {
  const std::uint64_t tens = count % 100;
  const std::uint64_t ones = count % 10;
  const char* word = many;
  if (tens < 11 || tens > 14) {
    if (ones == 1) {
      word = one;
    } else if (ones >= 2 && ones <= 4) {
      word = few;
    }
  }
  return std::to_string(count) + " " + word;
}

std::string AttemptsText(std::uint64_t count) { return CountText(count, "попытка", "попытки", "попыток"); }

std::optional<std::string> RepeatRule::Failed(const std::string& key, const std::string& text, const Moment& now) {
  auto it = failures_.find(key);
  if (it == failures_.end() || it->second.Text != text) {
    failures_[key] = Failure{text, now, now.Ms, 1};
    return text;
  }
  Failure& f = it->second;
  ++f.Count;
  if (now.Ms - f.LastToldMs < kRepeatEveryMs) return std::nullopt;
  f.LastToldMs = now.Ms;
  std::string line = f.Text;
  if (!line.empty() && line.back() == '.') line.pop_back();
  const std::string began = ClockText(f.Began.At).substr(0, 5);  // hours and minutes
  return line + " - всё ещё: " + AttemptsText(f.Count) + " с " + began + ".";
}

bool RepeatRule::Ended(const std::string& key) { return failures_.erase(key) > 0; }

}  // namespace orvent
