// The command lines of the built programs: each answers --help on standard
// output and --version, with exit status 0, before it does anything else;
// anything else is refused with exit status 2, named on standard error with
// a pointer to --help.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/program_version.h"
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

}  // namespace
}  // namespace orvent
