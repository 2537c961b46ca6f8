#include "unit_log.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "protocol/text_format.h"

namespace lampunit {
namespace {

// Local time to the millisecond: "14:03:07.129".
std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  return protocol::FormatText("%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                              static_cast<int>(milliseconds));
}

}  // namespace

UnitLog::UnitLog(int fd, std::size_t limit) : fd_(fd), limit_(limit) {
  writer_ = std::thread([this] { Write(); });
}

UnitLog::~UnitLog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  writer_.join();
}

void UnitLog::Received(const std::string& unit, const char* protocol,
                       std::span<const std::uint8_t> bytes, const std::string& peer) {
  Event(unit, std::string(protocol) + " recv " + std::to_string(bytes.size()) +
                  " bytes: " + protocol::HexBytes(bytes) + " from " + peer);
}

void UnitLog::Sent(const std::string& unit, const char* protocol,
                   std::span<const std::uint8_t> bytes, const std::string& peer) {
  Event(unit, std::string(protocol) + " send " + std::to_string(bytes.size()) +
                  " bytes: " + protocol::HexBytes(bytes) + " to " + peer);
}

void UnitLog::Event(const std::string& unit, const std::string& event) {
  Add(TimeStamp() + " [" + unit + "] " + event + "\n");
}

void UnitLog::Add(std::string line) {
  {
    std::lock_guard lock(mutex_);
    // While the reader keeps up, a line goes out at once, before the unit
    // answers what it tells of; a write of at most PIPE_BUF bytes to a pipe
    // that is writable does not block.
    if (queue_.empty() && dropped_ == 0 && line.size() <= PIPE_BUF) {
      pollfd watch{fd_, POLLOUT, 0};
      if (::poll(&watch, 1, 0) == 1 && (watch.revents & POLLOUT)) {
        const ssize_t written = ::write(fd_, line.data(), line.size());
        if (written == static_cast<ssize_t>(line.size())) return;
        if (written > 0) line.erase(0, static_cast<std::size_t>(written));
      }
    }
    if (queue_.size() + line.size() > limit_) {
      ++dropped_;
      return;
    }
    if (dropped_ > 0) {
      queue_ += TimeStamp() + " [log] " + std::to_string(dropped_) +
                " lines dropped: nobody read the log in time\n";
      dropped_ = 0;
    }
    queue_ += line;
  }
  queued_.notify_one();
}

void UnitLog::Write() {
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, all written
    // Never block in write: a pipe takes at least this much when writable.
    const std::size_t size = std::min<std::size_t>(queue_.size(), PIPE_BUF);
    const std::string chunk = queue_.substr(0, size);
    lock.unlock();
    pollfd watch{fd_, POLLOUT, 0};
    const int ready = ::poll(&watch, 1, 200);
    ssize_t written = 0;
    if (ready > 0) written = ::write(fd_, chunk.data(), chunk.size());
    lock.lock();
    if (written > 0) queue_.erase(0, static_cast<std::size_t>(written));
    if (ready > 0 && written < 0 && errno != EINTR && errno != EAGAIN) return;  // reader gone
    if (stopping_ && written <= 0) return;  // what is left cannot go out now
  }
}

}  // namespace lampunit
