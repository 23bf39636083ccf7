#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

// The built message-server simulator; programs that start it say where it is.
#ifndef ORVENT_MSGSERVER_SIM
#define ORVENT_MSGSERVER_SIM "msgserver-sim"
#endif

namespace orvent::test {

// How a child starts, beyond its arguments.
struct ChildOptions {
  std::string WorkDir;         // empty: this process's working directory
  bool MergeStderr = false;    // standard error on the same pipe as the output
  bool PipeStdin = false;      // standard input from WriteInput; else inherited
  // "NAME=value" entries that the child sees instead of this process's own
  // (the rest of the environment is passed on as it is).
  std::vector<std::string> Env;
  // Tells the child, as systemd does, that its output pipe is the journal's
  // stream (JOURNAL_STREAM: the pipe's device and inode).
  bool OutputIsJournal = false;
};

// This process's environment with `overrides` put in place of the entries of
// the same name.
inline std::vector<std::string> ChildEnvironment(const std::vector<std::string>& overrides) {
  const auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> all;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& o : overrides) replaced = replaced || name_of(o) == name_of(entry);
    if (!replaced) all.push_back(entry);
  }
  all.insert(all.end(), overrides.begin(), overrides.end());
  return all;
}

// A program run as a child process with its standard output on a pipe.
// Every wait is bounded; a child still running at the end is killed.
class ChildProcess {
public:
  ChildProcess(const std::string& path, const std::vector<std::string>& args, const ChildOptions& options = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    int input[2] = {-1, -1};
    if (options.PipeStdin && ::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (options.MergeStderr) posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    if (options.PipeStdin) posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    if (!options.WorkDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.WorkDir.c_str());
    std::vector<std::string> all{path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> overrides = options.Env;
    if (struct stat pipe_info {}; options.OutputIsJournal && ::fstat(fds[1], &pipe_info) == 0) {
      overrides.push_back("JOURNAL_STREAM=" + std::to_string(pipe_info.st_dev) + ":" + std::to_string(pipe_info.st_ino));
    }
    std::vector<std::string> env = ChildEnvironment(overrides);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
    if (options.PipeStdin) {
      ::close(input[0]);
      in_ = input[1];
    }
    if (rc != 0) {
      ::close(out_);
      CloseInput();
      throw std::runtime_error("cannot start " + path);
    }
  }
  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    ::close(out_);
    CloseInput();
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of standard output, without its newline; nullopt when none
  // comes within the time-out or the output ends.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    return ReadLine(std::chrono::steady_clock::now() + timeout);
  }
  std::optional<std::string> ReadLine(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      const auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      // Past the deadline the pipe is still looked at once, so that a zero
      // time-out takes what has already come.
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) {
        if (left.count() <= 0) return std::nullopt;
        continue;
      }
      char chunk[4096];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) {
        output_ended_ = true;
        return std::nullopt;
      }
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // The child's standard output has ended (it closed it or exited).
  bool OutputEnded() const { return output_ended_; }

  void Signal(int sig) { ::kill(pid_, sig); }
  pid_t Pid() const { return pid_; }

  // Writes to the child's standard input (ChildOptions::PipeStdin).
  bool WriteInput(const std::string& text) {
    // A child that has gone must fail the write, not kill the test with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    std::size_t done = 0;
    while (in_ >= 0 && done < text.size()) {
      const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return in_ >= 0;
  }
  // Ends the child's standard input.
  void CloseInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  // The exit code, or nullopt when the child has not ended within the
  // time-out or ended by a signal.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exited_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        end_signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      ::poll(nullptr, 0, 10);  // a child's end has no descriptor to wait on
    }
    if (exit_code_ < 0) return std::nullopt;
    return exit_code_;
  }

  // Whether the child has ended, without waiting.
  bool Ended() {
    WaitExit(std::chrono::milliseconds(0));
    return exited_;
  }

  // How the child ended, for messages: "exit status N", "killed by signal N"
  // or "still running".
  std::string EndText() {
    if (!Ended()) return "still running";
    if (end_signal_ != 0) return "killed by signal " + std::to_string(end_signal_);
    return "exit status " + std::to_string(exit_code_);
  }

private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  bool exited_ = false;
  int exit_code_ = -1;  // -1 after a signal
  int end_signal_ = 0;
  bool output_ended_ = false;
  std::string buffer_;
};

// msgserver-sim on a free loopback port, with its output lines at hand.
class MsgServerSim {
public:
  explicit MsgServerSim(std::vector<std::string> args, const std::string& path = ORVENT_MSGSERVER_SIM)
      : MsgServerSim(std::move(args), 0, path) {}
  // On a given port (0: any free one), e.g. to start again where a link
  // expects the server.
  MsgServerSim(std::vector<std::string> args, std::uint16_t port, const std::string& path = ORVENT_MSGSERVER_SIM) {
    args.insert(args.end(), {"--port", std::to_string(port)});
    process_.emplace(path, args);
    const auto first = process_->ReadLine(std::chrono::seconds(10));
    // "listening 127.0.0.1:PORT", or "listening [::1]:PORT" with --host ::1.
    const std::string lead = "listening ";
    const std::size_t colon = first ? first->rfind(':') : std::string::npos;
    if (!first || first->rfind(lead, 0) != 0 || colon == std::string::npos) {
      throw std::runtime_error("msgserver-sim did not start");
    }
    port_ = static_cast<std::uint16_t>(std::stoi(first->substr(colon + 1)));
  }
  std::uint16_t Port() const { return port_; }
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return process_->ReadLine(timeout);
  }
  ChildProcess& Process() { return *process_; }

private:
  std::optional<ChildProcess> process_;
  std::uint16_t port_ = 0;
};

}  // namespace orvent::test
