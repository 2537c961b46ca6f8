#include "lamp_unit_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

namespace lamptest {

LampUnitProcess::LampUnitProcess(std::vector<std::string> arguments,
                                 std::vector<std::string> prefix) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  arguments.insert(arguments.begin(), LAMPUNIT_PATH);
  arguments.insert(arguments.begin(), prefix.begin(), prefix.end());
  pid_ = SpawnProgram(arguments, {}, false, {{out[1], STDOUT_FILENO}});
  ::close(out[1]);
  if (pid_ < 0) {
    ::close(out[0]);
    return;
  }
  log_ = out[0];
  ::fcntl(log_, F_SETFL, O_NONBLOCK);
  reader_ = std::thread([this] { ReadLog(); });
  ready_ = WaitForLine("] ready,", std::chrono::seconds(10));
}

LampUnitProcess::~LampUnitProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  if (reader_.joinable()) reader_.join();
}

void LampUnitProcess::ReadLog() {
  // Keeps the pipe drained while nobody asks, so the unit never waits on it.
  // Only this thread closes the pipe, so log_ stays valid while it polls.
  for (;;) {
    pollfd watch{log_, POLLIN, 0};
    ::poll(&watch, 1, -1);
    std::lock_guard lock(mutex_);
    if (!DrainLog()) {
      ::close(log_);
      log_ = -1;
      return;
    }
  }
}

bool LampUnitProcess::DrainLog() {
  if (log_ < 0) return false;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(log_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return true;  // nothing more for now
    if (got == 0) return false;
    pending_.append(chunk, got);
    std::size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
      lines_.push_back(pending_.substr(0, end));
      pending_.erase(0, end + 1);
    }
    changed_.notify_all();
  }
}

bool LampUnitProcess::WaitForLine(const std::string& needle, std::chrono::milliseconds limit,
                                  std::size_t from) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    DrainLog();
    for (std::size_t i = from; i < lines_.size(); ++i) {
      if (lines_[i].find(needle) != std::string::npos) return true;
    }
    return false;
  });
}

std::vector<std::string> LampUnitProcess::Lines() {
  // Whatever the unit wrote before now is in the pipe or read already: a
  // reply a test got was sent after the unit logged the request.
  std::lock_guard lock(mutex_);
  DrainLog();
  return lines_;
}

std::vector<std::vector<std::uint8_t>> LampUnitProcess::Received(const std::string& protocol) {
  std::vector<std::vector<std::uint8_t>> frames;
  const std::string marker = "] " + protocol + " recv ";
  for (const std::string& line : Lines()) {
    const auto at = line.find(marker);
    if (at == std::string::npos) continue;
    const auto colon = line.find(": ", at);
    const auto end = line.find(" from ", colon);
    std::istringstream hex(line.substr(colon + 2, end - colon - 2));
    std::vector<std::uint8_t> bytes;
    unsigned value;
    while (hex >> std::hex >> value) bytes.push_back(static_cast<std::uint8_t>(value));
    frames.push_back(std::move(bytes));
  }
  return frames;
}

}  // namespace lamptest
