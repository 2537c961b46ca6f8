// Programs run as child processes by tests and benchmarks.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "build_tree.h"

namespace lamptest {

// Starts a program with our environment and `extraEnvironment` over it. The
// test's socket faults (LD_PRELOAD, LAMPTEST_*) are left out unless kept.
// `descriptors` are (ours, theirs) pairs to hand over. The child's pid, or -1.
pid_t SpawnProgram(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& extraEnvironment, bool keepPreload,
                   const std::vector<std::pair<int, int>>& descriptors);

// Runs a program to its end (killed after `limit`); its exit status (or
// 128 + signal) and what it wrote.
struct ProgramRun {
  int status = -1;
  bool killed = false;
  std::string out;
  std::string err;
};
ProgramRun RunProgram(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& extraEnvironment, bool keepPreload = false,
                      std::chrono::milliseconds limit = std::chrono::seconds(20));

// An X server of its own (Xvfb, on a display number it picks), for the
// few tests that need a real display.
class XvfbServer {
 public:
  XvfbServer();
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  bool Running() const { return !name_.empty(); }
  const std::string& Name() const { return name_; }  // ":N"

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// A program run on an X server of its own until the windows on that display
// (as `xwininfo -root -tree` lists them) satisfy `seen`, or `limit` passes;
// then it is killed if still running. `windows` is the last listing taken.
struct DisplayRun {
  bool displayStarted = false;
  bool seen = false;
  ProgramRun run;
  std::string windows;
};
DisplayRun RunOnOwnDisplay(const std::string& program, std::vector<std::string> extraEnvironment,
                           const std::function<bool(const std::string& windows)>& seen,
                           std::chrono::milliseconds limit = std::chrono::seconds(30));

// Processor seconds a process has used so far (user and system).
double CpuSeconds(pid_t pid);
// Resident kilobytes of a process.
long ResidentKilobytes(pid_t pid);

// Seconds spent in a call.
template <typename Call>
double SecondsOf(Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace lamptest
