#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "delivery/spool.h"
#include "platform/fake_clock.h"
#include "support/recording_spool_observer.h"
#include "support/sample_records.h"
#include "support/temp_dir.h"

namespace orvent::test {

// Something in a spool folder under a spool file's name that is not one.
struct BadSpoolFile {
  const char* name;
  std::function<void(const TempDir&)> make;  // makes "0.dd8"
};

// The bad "0.dd8" beside a good "1.dd8": a scan sets the bad one aside as
// ".bad" with one error line, and the good one goes out all the same.
inline void ExpectSetAsideBesideAGoodFile(const BadSpoolFile& bad, const SoobBytes& record) {
  namespace fs = std::filesystem;
  SCOPED_TRACE(bad.name);
  TempDir folder;
  bad.make(folder);
  folder.Write("1.dd8", SpoolFileText(record));
  FakeClock clock;
  RecordingSpoolObserver heard;
  const std::vector<std::int32_t>& logged = heard.errors;
  EventSpool s(folder.Prefix(), clock, &heard);
  s.ScanFolder();
  s.EmitReports();
  EXPECT_TRUE(fs::exists(fs::symlink_status(folder.File("0.dd8.bad"))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(folder.File("0.dd8"))));
  EXPECT_EQ(logged, std::vector<std::int32_t>{kSpoolBadFileErrorNumber});
  const auto event = s.TakeNextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->Record, record);
}

}  // namespace orvent::test
