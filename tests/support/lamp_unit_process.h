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

#include "child_process.h"

namespace lamptest {

class LampUnitProcess {
 public:
  // Starts lampunit with these arguments and waits until it is ready;
  // `prefix` runs it elsewhere (Segment::Enter()).
  explicit LampUnitProcess(std::vector<std::string> arguments,
                           std::vector<std::string> prefix = {});
  ~LampUnitProcess();
  LampUnitProcess(const LampUnitProcess&) = delete;
  LampUnitProcess& operator=(const LampUnitProcess&) = delete;

  bool Ready() const { return ready_; }
  pid_t Pid() const { return pid_; }
  // Waits for a log line holding `needle`, counting from line `from`.
  bool WaitForLine(const std::string& needle, std::chrono::milliseconds limit,
                   std::size_t from = 0);
  std::vector<std::string> Lines();
  // The byte strings of the log lines "<protocol> recv N bytes: ..." so far.
  std::vector<std::vector<std::uint8_t>> Received(const std::string& protocol = "tcp");

 private:
  void ReadLog();
  // Takes every line the pipe holds now; false once the unit has closed it.
  // Called with mutex_ held.
  bool DrainLog();

  pid_t pid_ = -1;
  bool ready_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  int log_ = -1;         // the read end of the unit's standard output
  std::string pending_;  // a line not yet ended
  std::vector<std::string> lines_;
  std::thread reader_;
};

}  // namespace lamptest
