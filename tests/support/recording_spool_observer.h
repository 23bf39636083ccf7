#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "delivery/spool_observer.h"

namespace orvent::test {

// Records what the spool tells; the server takes events when the test says.
class RecordingSpoolObserver final : public SpoolObserver {
public:
  void LogError(std::int32_t number) override { errors.push_back(number); }
  void ShowStatus(const std::string& text) override { statuses.push_back(text); }
  void ReportsWaiting() override { ++reports_waiting; }
  bool ServerTakesEvents() override { return server_takes.load(); }
  void ServerVerdict(std::uint64_t ticket, bool confirmed) override {
    std::lock_guard lock(verdicts_mutex);
    verdicts.emplace_back(ticket, confirmed);
  }

  // Main thread only, as the spool promises.
  std::vector<std::int32_t> errors;
  std::vector<std::string> statuses;
  std::atomic<int> reports_waiting{0};
  std::atomic<bool> server_takes{false};
  std::mutex verdicts_mutex;
  std::vector<std::pair<std::uint64_t, bool>> verdicts;  // guarded by verdicts_mutex
};

}  // namespace orvent::test
