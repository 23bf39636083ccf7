#include <gtest/gtest.h>

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
