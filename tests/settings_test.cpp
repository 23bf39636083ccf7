#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "station/settings.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

class SettingsFile : public ::testing::Test {
protected:
  IniFile Ini() const { return IniFile(dir.File(kSettingsFileName)); }
  void Write(std::string_view text) const { dir.Write(kSettingsFileName, text); }
  std::string Read() const { return dir.Read(kSettingsFileName); }

  test::TempDir dir;
};

void ExpectDefaults(const MainSettings& main) {
  EXPECT_EQ(main.ComPort, "COM255");
  EXPECT_EQ(main.FirstNumber, 4);
  EXPECT_EQ(main.PathForSoob, "");
  EXPECT_EQ(main.Attention, 10min);
  EXPECT_FALSE(main.Log);
  EXPECT_EQ(main.VariantRazdel, 1);
  EXPECT_FALSE(main.Hex);
  EXPECT_FALSE(main.QuickAck);
}

TEST_F(SettingsFile, MissingFileGivesEveryDefault) {
  ExpectDefaults(ReadMainSettings(Ini()));
  const ServerHostSettings host = ReadServerHost(Ini());
  EXPECT_EQ(host.Address, "127.0.0.1");
  EXPECT_EQ(host.Port, 12543);
  EXPECT_EQ(host.PacketSize, 2000);
  EXPECT_EQ(LookupRazdel(Ini(), "1234_1"), -1);
}

TEST_F(SettingsFile, ReadsEveryKeyOfTheFile) {
  Write(
      "[main]\r\nComPort=/dev/ttyUSB0\r\nFirstNumber=7\r\nPathForSoob=/var/spool/orvent/\r\n"
      "Attention=00:00:30\r\nLog=1\r\nVariantRazdel=2\r\nHex=1\r\n"
      "[ServerHost]\r\nAddress=alarm-server\r\nPort=5000\r\n[Razdels]\r\n1234_1=777\r\n");
  const MainSettings main = ReadMainSettings(Ini());
  EXPECT_EQ(main.ComPort, "/dev/ttyUSB0");
  EXPECT_EQ(main.FirstNumber, 7);
  EXPECT_EQ(main.PathForSoob, "/var/spool/orvent/");
  EXPECT_EQ(main.Attention, 30s);
  EXPECT_TRUE(main.Log);
  EXPECT_EQ(main.VariantRazdel, 2);
  EXPECT_TRUE(main.Hex);
  EXPECT_EQ(ReadServerHost(Ini()).Address, "alarm-server");
  EXPECT_EQ(ReadServerHost(Ini()).Port, 5000);
  EXPECT_EQ(LookupRazdel(Ini(), "1234_1"), 777);
  EXPECT_EQ(LookupRazdel(Ini(), "1234_2"), -1);
}

struct ValueCase {
  const char* value;
  std::int32_t first_number;  // read with the default 4
  bool log;                   // read with the default false
};

TEST_F(SettingsFile, IntegersAndBooleansFollowTheIntegerRule) {
  const ValueCase cases[] = {
      {"0x10", 16, true}, {"$10", 16, true},     {"abc", 4, false},       {"12ab", 4, false},
      {"2", 2, true},     {"0", 0, false},       {"yes", 4, false},       {"FFFFFFFF", 4, false},
      {"$FFFFFFFF", -1, true}, {"  -3  ", -3, true}, {"", 4, false},     {"99999999999", 4, false},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.value);
    Write(std::string("[main]\nFirstNumber=") + c.value + "\nLog=" + c.value + "\n");
    EXPECT_EQ(Ini().ReadInteger("main", "FirstNumber", 4), c.first_number);
    EXPECT_EQ(Ini().ReadBool("main", "Log", false), c.log);
  }
}

TEST_F(SettingsFile, AttentionIsATimeOfDayOrTenMinutes) {
  const std::pair<const char*, std::chrono::milliseconds> cases[] = {
      {"00:00:30", 30s}, {"25:00:00", 10min}, {"23:59:59", 23h + 59min + 59s},
      {"1:2:3", 1h + 2min + 3s}, {"00:60:00", 10min}, {"00:10", 10min}, {"half an hour", 10min}, {"", 10min},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    Write(std::string("[main]\nAttention=") + text + "\n");
    EXPECT_EQ(ReadMainSettings(Ini()).Attention, expected);
  }
}

TEST_F(SettingsFile, NamesIgnoreCaseButComPortValueDoesNot) {
  Write("[MAIN]\ncomport = com255 \n  firstnumber=9\n[main]\nFirstNumber=5\n");
  const MainSettings main = ReadMainSettings(Ini());
  // "com255" is a port name like any other: only "COM255" means no port.
  EXPECT_EQ(main.ComPort, "com255");
  EXPECT_NE(main.ComPort, kNoPort);
  // Only the first section of a name counts.
  EXPECT_EQ(main.FirstNumber, 9);
}

TEST_F(SettingsFile, ValuesAreTrimmedAndCutAt2047Bytes) {
  Write("\xEF\xBB\xBF[main]\nPathForSoob=\t spool dir/ \t\nComPort=" + std::string(5000, 'x') + "\nbroken line\n=7\n");
  const MainSettings main = ReadMainSettings(Ini());
  EXPECT_EQ(main.PathForSoob, "spool dir/");
  EXPECT_EQ(main.ComPort, std::string(2047, 'x'));
}

TEST_F(SettingsFile, EveryReadSeesTheFileAsItIsNow) {
  Write("[Razdels]\n12_1=100\n");
  EXPECT_EQ(LookupRazdel(Ini(), "12_1"), 100);
  Write("[Razdels]\n12_1=200\n");
  EXPECT_EQ(LookupRazdel(Ini(), "12_1"), 200);
}

// A port outside 1..65535 or an empty address would only fail later, at
// every connection attempt, in words nobody connects with the settings.
TEST_F(SettingsFile, ServerHostValuesOutsideTheirRangeGiveTheDefaults) {
  struct Case {
    const char* lines;
    const char* address;
    std::int32_t port;
    const char* problem;  // "" for none
  };
  const Case cases[] = {
      {"Address=10.0.0.5\nPort=5000", "10.0.0.5", 5000, ""},
      {"Port=65535", "127.0.0.1", 65535, ""},
      {"Port=1", "127.0.0.1", 1, ""},
      {"Port=70000", "127.0.0.1", 12543, "Port=\"70000\" (вне 1..65535, взято 12543)"},
      {"Port=0", "127.0.0.1", 12543, "Port=\"0\" (вне 1..65535, взято 12543)"},
      {"Port=-5", "127.0.0.1", 12543, "Port=\"-5\" (вне 1..65535, взято 12543)"},
      {"Port=12x", "127.0.0.1", 12543, "Port=\"12x\" (взято 12543)"},
      {"Address=", "127.0.0.1", 12543, "Address=\"\" (взято 127.0.0.1)"},
      {"Address=::1", "::1", 12543, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    Write(std::string("[ServerHost]\n") + c.lines + "\n");
    SettingsProblems problems;
    const ServerHostSettings host = ReadServerHost(Ini(), &problems);
    EXPECT_EQ(host.Address, c.address);
    EXPECT_EQ(host.Port, c.port);
    EXPECT_EQ(problems, std::string(c.problem).empty() ? SettingsProblems{} : SettingsProblems{c.problem});
  }
}

// A misspelt key or section would otherwise be ignored without a word.
TEST_F(SettingsFile, KeysAndSectionsNobodyReadsAreNamed) {
  Write("[main]\nComPort=COM1\nLog=1\nlogg=1\n[ServerHost]\nAdress=10.0.0.5\nport=5000\n[Server]\nAddress=x\n"
        "[Razdels]\n12_1=5\nanything=7\n[MAIN]\nunread=1\n");
  EXPECT_EQ(UnknownSettings(Ini()), (SettingsProblems{"logg (main)", "Adress (ServerHost)", "раздел [Server]"}));
  Write("[main]\nComPort=COM1\n");
  EXPECT_TRUE(UnknownSettings(Ini()).empty());
}

// What a running program reads is a whole version of the file: one written
// a moment ago may still be being written, and one that cannot be read any
// more leaves the last version in force, never the defaults.
TEST_F(SettingsFile, ARunningReaderTakesOnlyWholeSettledVersions) {
  namespace fs = std::filesystem;
  // Written long ago, as far as the file's time tells; each version at a
  // time of its own, whole seconds apart (some systems keep no finer time).
  int versions = 0;
  const auto settle = [&] {
    fs::last_write_time(dir.File(kSettingsFileName),
                        fs::file_time_type::clock::now() - std::chrono::seconds(100 - 10 * ++versions));
  };
  Write("[Razdels]\n12_1=100\n");
  settle();
  const IniFile ini = Ini();
  EXPECT_EQ(LookupRazdel(ini, "12_1"), 100);
  EXPECT_EQ(ini.Version(), 1u);

  // Half a file, as an editor or a script leaves it for a moment.
  Write("[Razd");
  EXPECT_EQ(LookupRazdel(ini, "12_1"), 100) << "a version just written is not taken yet";
  Write("[Razdels]\n12_1=200\n");
  EXPECT_EQ(LookupRazdel(ini, "12_1"), 100);
  settle();
  EXPECT_EQ(LookupRazdel(ini, "12_1"), 200) << "taken once it has stopped changing";
  EXPECT_EQ(ini.Version(), 2u);
  EXPECT_FALSE(ini.Failure());

  // Something that cannot be read under the file's name.
  fs::remove(dir.File(kSettingsFileName));
  fs::create_directory(dir.File(kSettingsFileName));
  EXPECT_EQ(LookupRazdel(ini, "12_1"), 200);
  EXPECT_TRUE(ini.Failure());
  EXPECT_EQ(ini.Version(), 2u);
  fs::remove(dir.File(kSettingsFileName));
  EXPECT_EQ(LookupRazdel(ini, "12_1"), 200) << "a file gone keeps the last version too";
  EXPECT_EQ(ini.Failure(), std::errc::no_such_file_or_directory);

  Write("[Razdels]\n12_1=300\n");
  settle();
  EXPECT_EQ(LookupRazdel(ini, "12_1"), 300);
  EXPECT_FALSE(ini.Failure());
  EXPECT_EQ(ini.Version(), 3u);

  // A reader that never had a version starts from what there is.
  EXPECT_EQ(LookupRazdel(Ini(), "12_1"), 300);
}

TEST_F(SettingsFile, WritingComPortKeepsEveryOtherLineByteForByte) {
  const std::string before =
      "; station 4\r\n[main]\r\nFirstNumber=7\r\ncomport = COM1\r\nLog=1\r\n\r\n[ServerHost]\r\nPort=5000\r\n";
  Write(before);
  WriteComPort(Ini(), "COM3");
  EXPECT_EQ(Read(),
            "; station 4\r\n[main]\r\nFirstNumber=7\r\nComPort=COM3\r\nLog=1\r\n\r\n[ServerHost]\r\nPort=5000\r\n");
  EXPECT_EQ(ReadMainSettings(Ini()).ComPort, "COM3");
}

TEST_F(SettingsFile, WritingAddsTheKeyOrTheSection) {
  Write("[main]\nLog=1\n\n[ServerHost]\nPort=5000");
  WriteComPort(Ini(), "/dev/ttyUSB0");
  EXPECT_EQ(Read(), "[main]\nLog=1\nComPort=/dev/ttyUSB0\n\n[ServerHost]\nPort=5000");

  Write("[ServerHost]\nPort=5000");
  WriteComPort(Ini(), "COM2");
  EXPECT_EQ(Read(), "[ServerHost]\nPort=5000\n[main]\nComPort=COM2\n");
}

TEST_F(SettingsFile, WritingCreatesAMissingFile) {
  WriteComPort(Ini(), "COM1");
  EXPECT_EQ(Read(), "[main]\r\nComPort=COM1\r\n");
}

TEST_F(SettingsFile, AFailedWriteRaisesAndForgesNoLines) {
  const IniFile nowhere(dir.File("no such folder/kelmora.ini"));
  EXPECT_THROW(WriteComPort(nowhere, "COM1"), SettingsWriteError);
  Write("[main]\nComPort=COM1\n");
  EXPECT_THROW(WriteComPort(Ini(), "COM2\n[main]\nLog=1"), SettingsWriteError);
  EXPECT_EQ(Read(), "[main]\nComPort=COM1\n");
}

// The example that the packages install: each key is written out, spelt as
// the driver reads it (a misspelt key would give its default unnoticed), with
// the default its comment gives; the example entry of Razdels stays a comment.
TEST(ExampleSettingsFile, WritesOutEveryKeyWithItsDefault) {
  const IniFile example(ORVENT_EXAMPLE_INI);
  const struct {
    const char* section;
    const char* key;
  } keys[] = {
      {"main", "ComPort"},     {"main", "FirstNumber"},   {"main", "PathForSoob"},      {"main", "Attention"},
      {"main", "Log"},         {"main", "VariantRazdel"}, {"main", "Hex"},              {"main", "QuickAck"},
      {"main", "n_abs"},       {"main", "name"},          {"ServerHost", "Address"},    {"ServerHost", "Port"},
      {"ServerHost", "PacketSize"},
  };
  constexpr char kAbsent[] = "(absent)";
  for (const auto& k : keys) {
    EXPECT_NE(example.ReadString(k.section, k.key, kAbsent), kAbsent) << k.section << " " << k.key;
  }

  ExpectDefaults(ReadMainSettings(example));
  EXPECT_EQ(example.ReadInteger("main", "n_abs", 0), -1);
  EXPECT_EQ(example.ReadInteger("main", "name", 0), -1);
  const ServerHostSettings host = ReadServerHost(example);
  EXPECT_EQ(host.Address, "127.0.0.1");
  EXPECT_EQ(host.Port, 12543);
  EXPECT_EQ(host.PacketSize, 2000);
  EXPECT_EQ(LookupRazdel(example, "12_1"), -1);
}

}  // namespace
}  // namespace orvent
