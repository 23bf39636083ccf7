// The command lines of the built programs: each answers --help on standard
// output and --version, with exit status 0, before it does anything else;
// anything else is refused with exit status 2, named on standard error with
// a pointer to --help.

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/program_version.h"
#include "station/command_line.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

struct Program {
  std::string name;
  std::string path;  // empty: not built here
};

const std::vector<Program>& Programs() {
  static const std::vector<Program> programs = {
      {"orvent-driver", ORVENT_DRIVER},       {"orvent-service", ORVENT_SERVICE},
      {"orvent-inspect", ORVENT_INSPECT},     {"receiver-sim", ORVENT_RECEIVER_SIM},
      {"msgserver-sim", ORVENT_MSGSERVER_SIM},
  };
  return programs;
}

struct Ended {
  std::optional<int> status;
  std::string out;
  std::string err;
};

// Runs a program in `work` with its standard error in a file of `side`.
Ended RunIn(const test::TempDir& work, const test::TempDir& side, const std::string& path,
            const std::vector<std::string>& args) {
  std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" 2>\"" + side.File("stderr") + "\"", path};
  shell.insert(shell.end(), args.begin(), args.end());
  test::ChildOptions options;
  options.WorkDir = work.path();
  // The window program answers before it makes a window; should it not, it
  // must not need a display to fail this test.
  options.Env = {"QT_QPA_PLATFORM=offscreen"};
  test::ChildProcess child("/bin/sh", shell, options);
  Ended run;
  while (const auto line = child.ReadLine(5s)) run.out += *line + "\n";
  run.status = child.WaitExit(5s);
  run.err = side.Read("stderr");
  return run;
}

TEST(CommandLine, EveryProgramAnswersHelpAndVersion) {
  for (const Program& p : Programs()) {
    if (p.path.empty()) continue;
    SCOPED_TRACE(p.name);
    test::TempDir work;
    test::TempDir side;
    const Ended version = RunIn(work, side, p.path, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, p.name + " " + ProgramVersion() + "\n");
    EXPECT_EQ(version.err, "");
    const Ended help = RunIn(work, side, p.path, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: " + p.name + " ", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    // It ended before it could make anything of its folder.
    EXPECT_TRUE(std::filesystem::is_empty(work.path()));
  }
}

TEST(CommandLine, EveryProgramNamesTheArgumentItRefuses) {
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string refusal;  // the first line on standard error
    std::string help;     // the command the second line points to
  };
  const Case cases[] = {
      {"orvent-driver", {"--port", "COM1"}, "orvent-driver: unknown argument \"--port\"", "orvent-driver --help"},
      {"orvent-service", {"kelmora.ini"}, "orvent-service: unknown argument \"kelmora.ini\"", "orvent-service --help"},
      {"orvent-service",
       {"--help", "--version"},
       "orvent-service: unexpected argument \"--version\" after \"--help\"",
       "orvent-service --help"},
      {"orvent-inspect", {"list"}, "orvent-inspect: unknown argument \"list\"", "orvent-inspect --help"},
      {"orvent-inspect",
       {"spool", "--all"},
       "orvent-inspect spool: unknown argument \"--all\"",
       "orvent-inspect spool --help"},
      {"orvent-inspect",
       {"decode", "--time", "yesterday", "5"},
       "orvent-inspect decode: \"--time\" wants \"YYYY-MM-DD HH:MM:SS.mmm\", not \"yesterday\"",
       "orvent-inspect decode --help"},
      {"receiver-sim", {"--bogus"}, "receiver-sim: unknown argument \"--bogus\"", "receiver-sim --help"},
      {"receiver-sim",
       {"--rate", "fast"},
       "receiver-sim: \"--rate\" wants a whole number of at least 1, not \"fast\"",
       "receiver-sim --help"},
      {"orvent-service", {"--workdir"}, "orvent-service: \"--workdir\" wants a value", "orvent-service --help"},
      // "/?" asks for the usage only on Windows.
      {"orvent-service", {"/?"}, "orvent-service: unknown argument \"/?\"", "orvent-service --help"},
      {"orvent-service",
       {"--install", "--uninstall"},
       "orvent-service: \"--uninstall\" and \"--install\" exclude each other",
       "orvent-service --help"},
      {"msgserver-sim", {"extra"}, "msgserver-sim: unknown argument \"extra\"", "msgserver-sim --help"},
      {"msgserver-sim",
       {"--port", "70000"},
       "msgserver-sim: \"--port\" wants a number from 0 to 65535, not \"70000\"",
       "msgserver-sim --help"},
      {"msgserver-sim",
       {"--deny", "--no-accept"},
       "msgserver-sim: \"--no-accept\" and \"--deny\" exclude each other",
       "msgserver-sim --help"},
  };
  for (const Case& c : cases) {
    const Program* program = nullptr;
    for (const Program& p : Programs()) {
      if (p.name == c.program) program = &p;
    }
    ASSERT_NE(program, nullptr) << c.program;
    if (program->path.empty()) continue;
    SCOPED_TRACE(c.refusal);
    test::TempDir work;
    test::TempDir side;
    const Ended run = RunIn(work, side, program->path, c.args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, c.refusal + "\nTry \"" + c.help + "\".\n");
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(std::filesystem::is_empty(work.path()));
  }
}

// What a command line asks for, read before anything is printed: the
// service's own options, which programs take them, and "/?" where the
// system's commands take it.
TEST(CommandLine, ReadsTheServiceOptionsAndRefusesTheirMisuse) {
  using Outcome = CommandLineReading::Outcome;
  using Action = ServiceCommand::Action;
  struct Case {
    std::vector<std::string_view> args;
    bool service_options;
    bool slash_help;
    Outcome result;
    ServiceCommand command;  // when run
    std::string refusal;     // when refused
  };
  const Case cases[] = {
      {{}, true, false, Outcome::Run, {}, ""},
      {{"--workdir", "D:\\alarms"}, true, false, Outcome::Run, {Action::Run, "D:\\alarms"}, ""},
      {{"--install"}, true, false, Outcome::Run, {Action::Install, ""}, ""},
      {{"--install", "--workdir", "/srv/a b"}, true, false, Outcome::Run, {Action::Install, "/srv/a b"}, ""},
      {{"--workdir", "/srv", "--install"}, true, false, Outcome::Run, {Action::Install, "/srv"}, ""},
      {{"--uninstall"}, true, false, Outcome::Run, {Action::Uninstall, ""}, ""},
      {{"--help"}, true, false, Outcome::Help, {}, ""},
      {{"/?"}, true, true, Outcome::Help, {}, ""},
      {{"/?"}, false, true, Outcome::Help, {}, ""},
      {{"--version"}, true, true, Outcome::Version, {}, ""},
      {{"/?"}, true, false, Outcome::Refused, {}, "unknown argument \"/?\""},
      {{"--workdir"}, true, false, Outcome::Refused, {}, "\"--workdir\" wants a value"},
      {{"--workdir", ""}, true, false, Outcome::Refused, {}, "\"--workdir\" wants a value"},
      {{"--workdir", "--install"}, true, false, Outcome::Refused, {}, "\"--workdir\" wants a value"},
      {{"--workdir", "a", "--workdir", "b"}, true, false, Outcome::Refused, {}, "\"--workdir\" is given twice"},
      {{"--install", "--install"}, true, false, Outcome::Refused, {}, "\"--install\" is given twice"},
      {{"--uninstall", "--install"},
       true,
       false,
       Outcome::Refused,
       {},
       "\"--install\" and \"--uninstall\" exclude each other"},
      {{"--uninstall", "--workdir", "a"},
       true,
       false,
       Outcome::Refused,
       {},
       "\"--workdir\" and \"--uninstall\" exclude each other"},
      {{"--install", "extra"}, true, false, Outcome::Refused, {}, "unknown argument \"extra\""},
      {{"--install", "--help"}, true, true, Outcome::Refused, {}, "unexpected argument \"--help\" after \"--install\""},
      {{"/?", "--version"}, true, true, Outcome::Refused, {}, "unexpected argument \"--version\" after \"/?\""},
      // Only orvent-service takes them.
      {{"--workdir", "a"}, false, false, Outcome::Refused, {}, "unknown argument \"--workdir\""},
      {{"--install"}, false, true, Outcome::Refused, {}, "unknown argument \"--install\""},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string_view arg : c.args) line += std::string(arg) + " ";
    SCOPED_TRACE(line + (c.service_options ? "(service)" : "") + (c.slash_help ? "(slash)" : ""));
    const CommandLineReading reading = ReadCommandLine(c.args, c.service_options, c.slash_help);
    EXPECT_EQ(reading.Result, c.result);
    EXPECT_EQ(reading.Refusal, c.refusal);
    if (c.result == Outcome::Run) {
      EXPECT_EQ(reading.Service, c.command);
    }
  }
}

// --workdir makes orvent-service work in that folder wherever it was
// started; a folder it cannot enter ends it before it starts anything.
TEST(CommandLine, TheServiceWorksInTheFolderItIsTold) {
  test::TempDir started_in;
  test::TempDir work;
  test::TempDir side;
  work.Write("kelmora.ini", "[main]\nComPort=" + side.File("no-such-port") + "\n");
  test::ChildOptions options;
  options.WorkDir = started_in.path();
  options.MergeStderr = true;
  test::ChildProcess service(ORVENT_SERVICE, {"--workdir", work.path()}, options);
  const auto first = service.ReadLine(5s);
  ASSERT_TRUE(first.has_value());
  EXPECT_NE(first->find("Настройки: " + work.File("kelmora.ini") + "."), std::string::npos) << *first;
  service.Signal(SIGTERM);
  std::string rest;
  while (const auto line = service.ReadLine(5s)) rest += *line + "\n";
  EXPECT_EQ(service.WaitExit(5s), 0);
  EXPECT_NE(rest.find("Драйвер остановлен. Событий в очереди: 0."), std::string::npos) << rest;
  EXPECT_TRUE(std::filesystem::is_empty(started_in.path()));

  const Ended missing = RunIn(started_in, side, ORVENT_SERVICE, {"--workdir", work.File("missing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err.rfind("orvent-service: не удалось перейти в папку \"" + work.File("missing") + "\": ", 0), 0u)
      << missing.err;
  EXPECT_TRUE(std::filesystem::is_empty(started_in.path()));
}

// Registering a Windows service is refused on Linux, where systemd starts it.
TEST(CommandLine, TheServiceCannotBeInstalledOnLinux) {
  for (const char* option : {"--install", "--uninstall"}) {
    SCOPED_TRACE(option);
    test::TempDir work;
    test::TempDir side;
    const Ended run = RunIn(work, side, ORVENT_SERVICE, {option});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Службы Windows здесь нет: на Linux драйвер запускает systemd.\n");
    EXPECT_TRUE(std::filesystem::is_empty(work.path()));
  }
}

}  // namespace
}  // namespace orvent
