// One line on standard output per frame received or sent, so that a person
// or a test sees what crossed the wire:
//   14:03:07.129 [192.168.10.200] tcp recv 8 bytes: 57 00 01 64 64 64 64 64 from 127.0.0.1:40000
// A line goes out at once while the reader keeps up, otherwise through a
// thread of its own: a reader that does not keep up (a full pipe) never stops
// the units from serving. When the queue is full, lines are dropped and
// their number is said once there is room.
#pragma once

#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>

namespace lampunit {

class UnitLog {
 public:
  explicit UnitLog(int fd = STDOUT_FILENO, std::size_t limit = 1 << 20);
  ~UnitLog();
  UnitLog(const UnitLog&) = delete;
  UnitLog& operator=(const UnitLog&) = delete;

  void Received(const std::string& unit, const char* protocol, std::span<const std::uint8_t> bytes,
                const std::string& peer);
  void Sent(const std::string& unit, const char* protocol, std::span<const std::uint8_t> bytes,
            const std::string& peer);
  void Event(const std::string& unit, const std::string& event);

 private:
  void Add(std::string line);
  void Write();  // the writer thread

  const int fd_;
  const std::size_t limit_;  // bytes queued at the most
  std::mutex mutex_;
  std::condition_variable queued_;
  std::string queue_;
  std::size_t dropped_ = 0;
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace lampunit
