#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/temp_dir.h"

namespace orvent {
namespace {

struct Outcome {
  int status = -1;
  std::string out;
};

// Runs the built inspector with its output captured; arguments are quoted.
Outcome Inspect(const std::string& args) {
  Outcome run;
  FILE* pipe = popen((std::string(ORVENT_INSPECT) + " " + args + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) run.out.append(buffer, n);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

TEST(InspectDecode, PrintsTheRecordTheDriverWouldSend) {
  test::TempDir dir;
  const Outcome run = Inspect("decode --ini " + dir.File("kelmora.ini") +
                          " --time '2011-09-06 14:30:00.250' '5011 181234113001015'");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("bytes: 22 C8 00 00 03 30 31 35 00 01 01 C7 66 5B 55 13 EB E3 40 21\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("RecvTime: 2011-09-06 14:30:00.250 (40792.60416956018)"), std::string::npos) << run.out;
}

TEST(InspectDecode, UsesTheSettingsFileAndTellsWhatItFound) {
  test::TempDir dir;
  dir.Write("kelmora.ini", "[main]\nVariantRazdel=2\nHex=1\n[Razdels]\n1234_1=777\n");
  const Outcome run = Inspect("decode --ini " + dir.File("kelmora.ini") + " '5011 1812341130010A1\\x14'");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("Razdels key 1234_1: 777"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("warning: '0A1' is not a valid integer value"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Number: 40777"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Zone: 0a1 (length 3)"), std::string::npos) << run.out;
}

TEST(InspectDecode, SaysWhyALineYieldsNoEventOrCannotBeRead) {
  test::TempDir dir;
  const std::string ini = " --ini " + dir.File("kelmora.ini") + " ";
  const Outcome not_event = Inspect("decode" + ini + "'1011           @    '");
  EXPECT_EQ(not_event.status, 1);
  EXPECT_NE(not_event.out.find("acknowledged: yes"), std::string::npos) << not_event.out;
  EXPECT_NE(not_event.out.find("no event: the line does not start with \"5\""), std::string::npos) << not_event.out;

  // Noise before an alarm: the driver would leave the line unacknowledged.
  const Outcome noise = Inspect("decode" + ini + "'\\xFF5011 181234113001015'");
  EXPECT_EQ(noise.status, 1);
  EXPECT_NE(noise.out.find("acknowledged: no"), std::string::npos) << noise.out;
  EXPECT_NE(noise.out.find("damaged: byte above 127 in the line"), std::string::npos) << noise.out;

  // An alarm whose lead was hit is no heartbeat.
  const Outcome lead = Inspect("decode" + ini + "'1011 181234113001015'");
  EXPECT_EQ(lead.status, 1);
  EXPECT_NE(lead.out.find("acknowledged: no"), std::string::npos) << lead.out;
  EXPECT_NE(lead.out.find("damaged: an event's fields behind a lead other than \"5\""), std::string::npos)
      << lead.out;

  EXPECT_EQ(Inspect("decode" + ini + std::string(300, '5')).status, 1) << "a long \"5\" line is no event";
  EXPECT_EQ(Inspect("decode" + ini + "'5011 181234113001015\\x14'").status, 0) << "its own DC4 may close LINE";
  EXPECT_EQ(Inspect("decode" + ini + std::string(2100, '5')).status, 1);
  EXPECT_EQ(Inspect("decode" + ini + "'5\\x1'").status, 2);
  EXPECT_EQ(Inspect("decode" + ini + "--time yesterday 5").status, 2);
  EXPECT_EQ(Inspect("decode").status, 2);
}

// A line that is no whole event message yields no record: the driver leaves
// a short line unacknowledged, and bytes after a DC4 are the next line to it.
TEST(InspectDecode, ShowsNoRecordForAShortLineOrTwoLines) {
  test::TempDir dir;
  const std::string ini = " --ini " + dir.File("kelmora.ini") + " ";
  struct Case {
    std::string line;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"'5011 181234113001015'", 0, "Zone: 015 (length 3)"},  // the control case
      {"5011", 1, "damaged: not 20 bytes before its DC4"},
      // Twenty bytes: the DC4 would be the zone's last byte.
      {"'5011 18123411300101'", 1, "damaged: not 20 bytes before its DC4"},
      {"'5011\\x14 181234113001015'", 2,
       "orvent-inspect decode: LINE holds a DC4 (\\x14) after 4 bytes, where the driver ends a line"},
      {"'5011 181234113001015\\x14\\x14'", 2, "LINE holds a DC4 (\\x14) after 20 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Outcome run = Inspect("decode" + ini + c.line);
    EXPECT_EQ(run.status, c.status) << run.out;
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Zone:") == std::string::npos, c.status != 0) << run.out;
  }
}

}  // namespace
}  // namespace orvent
