#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "station/health.h"

namespace orvent {

// How a failure that repeats is told, so that the signal is not lost in its
// own noise (a server away for a day would otherwise write a line every 5 s):
// once when it begins, then once every kRepeatEveryMs while it lasts, with
// how often it happened and since when, and its end once. A failure whose
// words change is a new one. Each failure has a key of its own.
class RepeatRule {
public:
  static constexpr std::int64_t kRepeatEveryMs = 10 * 60 * 1000;

  // The failure `key` happened (again) at `now`, in these words. The line to
  // write, if one is due: the words themselves when the failure begins or its
  // words changed, "<words> - всё ещё: 120 попыток с 10:14." when
  // kRepeatEveryMs has passed since the last line; nullopt otherwise.
  std::optional<std::string> Failed(const std::string& key, const std::string& text, const Moment& now);
  // The failure ended; true when it had begun (its end is then told once).
  bool Ended(const std::string& key);
  bool Failing(const std::string& key) const { return failures_.contains(key); }

private:
  struct Failure {
    std::string Text;
    Moment Began;
    std::int64_t LastToldMs = 0;
    std::uint64_t Count = 0;
  };
  std::map<std::string, Failure, std::less<>> failures_;
};

// A count with its noun in the right form: "1 попытка", "3 попытки",
// "120 попыток" from ("попытка", "попытки", "попыток").
std::string CountText(std::uint64_t count, const char* one, const char* few, const char* many);
std::string AttemptsText(std::uint64_t count);

}  // namespace orvent
