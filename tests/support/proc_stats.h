#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

// What the kernel counts for a running process, read from /proc: the CPU
// time and the context switches of each of its threads, and the memory
// figures of its status file. For the benchmarks that run the built programs
// as processes.
namespace orvent::test {

// A thread's name as the figures show it, "name (tid)". The process's first
// thread runs the event loop (the window's, or the service's) and is called
// "main" whatever its name.
inline std::string ThreadKey(pid_t pid, const std::filesystem::path& task) {
  const std::string tid = task.filename().string();
  std::string name;
  std::ifstream comm(task / "comm");
  std::getline(comm, name);
  if (tid == std::to_string(pid)) name = "main";
  return name + " (" + tid + ")";
}

// CPU time of every thread of a process, in seconds by ThreadKey, from
// /proc/PID/task/TID/schedstat (nanoseconds on a CPU; finer than the clock
// ticks of /proc/PID/stat).
inline std::map<std::string, double> ThreadCpuSeconds(pid_t pid) {
  std::map<std::string, double> by_thread;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream stat(task.path() / "schedstat");
    long long ns = 0;
    if (!(stat >> ns)) continue;
    by_thread[ThreadKey(pid, task.path())] += static_cast<double>(ns) / 1e9;
  }
  return by_thread;
}

// Context switches of every thread of a process by ThreadKey: the sum of
// voluntary_ctxt_switches and nonvoluntary_ctxt_switches of
// /proc/PID/task/TID/status. A voluntary switch is the thread going to sleep
// (poll, a timer, a lock), so the next time it runs it has been woken: the
// count is the thread's wake-ups. A nonvoluntary one is the thread taken off
// a CPU while it could still run; an idle process has hardly any, but a
// thread that spins instead of sleeping shows up only there. These counters
// are in every kernel's status file, where schedstat's count of times on a
// CPU needs the scheduler statistics built in.
inline std::map<std::string, long long> ThreadSwitches(pid_t pid) {
  std::map<std::string, long long> by_thread;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream status(task.path() / "status");
    long long switches = 0;
    bool found = false;
    for (std::string line; std::getline(status, line);) {
      for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
        const std::string lead = key;
        if (line.rfind(lead, 0) == 0) {
          switches += std::atoll(line.c_str() + lead.size());
          found = true;
        }
      }
    }
    if (found) by_thread[ThreadKey(pid, task.path())] += switches;
  }
  return by_thread;
}

template <typename T>
T Total(const std::map<std::string, T>& by_thread) {
  T total{};
  for (const auto& [thread, value] : by_thread) total += value;
  return total;
}

// What a thread's figure grew by between two readings; a thread that was not
// there at the first counts from zero. (One that ended between them is not in
// the second reading: its share is lost, which an idle process does not do.)
template <typename T>
std::map<std::string, T> Growth(const std::map<std::string, T>& before, const std::map<std::string, T>& after) {
  std::map<std::string, T> grown;
  for (const auto& [thread, value] : after) {
    const auto it = before.find(thread);
    grown[thread] = value - (it == before.end() ? T{} : it->second);
  }
  return grown;
}

// A "VmHWM:" style value of /proc/PID/status, in KiB; -1 when absent.
inline long StatusKiB(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

}  // namespace orvent::test
