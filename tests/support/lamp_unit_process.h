// A simulated lamp unit run as a child process, with its log lines collected
// so a test can see what crossed the wire.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lamptest {

class LampUnitProcess {
 public:
  // Starts lampunit with these arguments and waits until it is ready.
  explicit LampUnitProcess(std::vector<std::string> arguments);
  ~LampUnitProcess();
  LampUnitProcess(const LampUnitProcess&) = delete;
  LampUnitProcess& operator=(const LampUnitProcess&) = delete;

  bool Ready() const { return ready_; }
  // Waits for a log line holding `needle`, counting from line `from`.
  bool WaitForLine(const std::string& needle, std::chrono::milliseconds limit,
                   std::size_t from = 0);
  std::vector<std::string> Lines();
  // The byte strings of the log lines "<protocol> recv N bytes: ..." so far.
  std::vector<std::vector<std::uint8_t>> Received(const std::string& protocol = "tcp");

 private:
  void ReadLog(int fd);

  pid_t pid_ = -1;
  bool ready_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::thread reader_;
};

// Runs a program to its end (killed after `limit`); its exit status (or
// 128 + signal) and what it wrote.
struct ProgramRun {
  int status = -1;
  bool killed = false;
  std::string out;
  std::string err;
};
ProgramRun RunProgram(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& extraEnvironment,
                      bool keepPreload = false,
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

// True when lo is the only network interface (a private namespace), so
// nothing sent can leave the machine; otherwise says so on standard error.
bool InsidePrivateNetwork();

// Seconds spent in a call.
template <typename Call>
double SecondsOf(Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace lamptest
