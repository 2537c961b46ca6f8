// A unit of the benchmarks' own, for timing what reaches a unit to the
// microsecond: the simulated unit's log stamps only milliseconds.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/socket_layer.h"

namespace lampbench {

// On port 20000 of `address`: answers every frame at once and notes when
// each write arrived, on the benchmark's clock.
class TimedUnit {
 public:
  explicit TimedUnit(const std::string& address) {
    listening_ = platform::Socket::OpenStream();
    listening_.SetReuseAddress(true);
    ready_ = listening_.Bind(platform::SocketAddress::FromDottedText(address, 20000)) &&
             listening_.Listen(64);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TimedUnit() {
    stop_ = true;
    ::shutdown(listening_.Handle(), SHUT_RDWR);
    thread_.join();
  }
  bool Ready() const { return ready_; }
  // When each write arrived, in order.
  std::vector<std::chrono::steady_clock::time_point> Writes() {
    std::lock_guard lock(mutex_);
    std::vector<std::chrono::steady_clock::time_point> writes;
    for (const auto& [when, write] : frames_) {
      if (write) writes.push_back(when);
    }
    return writes;
  }
  // When the first write after `since` arrived, if one did within `limit`.
  std::optional<std::chrono::steady_clock::time_point> WriteAfter(
      std::chrono::steady_clock::time_point since, std::chrono::milliseconds limit) {
    return FrameAfter(since, limit, true);
  }
  std::optional<std::chrono::steady_clock::time_point> FrameAfter(
      std::chrono::steady_clock::time_point since, std::chrono::milliseconds limit,
      bool writes = false) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      {
        std::lock_guard lock(mutex_);
        for (const auto& [when, write] : frames_) {
          if (when >= since && (!writes || write)) return when;
        }
      }
      std::this_thread::sleep_for(
          std::chrono::microseconds(100));  // the unit's thread notes; nothing to wait on
    }
    return std::nullopt;
  }

 private:
  void Serve() {
    while (!stop_) {
      const int connection = ::accept(listening_.Handle(), nullptr, nullptr);
      if (connection < 0) continue;
      std::uint8_t frame[8];
      std::size_t got = 0;
      while (got < sizeof frame) {
        const ssize_t count = ::recv(connection, frame + got, sizeof frame - got, 0);
        if (count <= 0) break;
        got += static_cast<std::size_t>(count);
      }
      if (got == sizeof frame) {
        std::lock_guard lock(mutex_);
        frames_.emplace_back(std::chrono::steady_clock::now(), frame[0] == 'W');
        for (int i = 2; i < 8 && frame[0] == 'W'; ++i) {
          if (frame[i] != 0x64) shown_[i] = frame[i];
        }
        ::send(connection, shown_, sizeof shown_, MSG_NOSIGNAL);
      }
      ::close(connection);
    }
  }
  platform::Socket listening_;
  bool ready_ = false;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::pair<std::chrono::steady_clock::time_point, bool>> frames_;
  std::uint8_t shown_[8] = {'R', 0, 0, 0, 0, 0, 0, 0};  // what it shows, as a unit answers
};

}  // namespace lampbench
