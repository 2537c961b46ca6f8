#include "lamp_unit_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
  reader_ = std::thread([this, fd = out[0]] { ReadLog(fd); });
  ready_ = WaitForLine("] ready,", std::chrono::seconds(10));
}

LampUnitProcess::~LampUnitProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  if (reader_.joinable()) reader_.join();
}

void LampUnitProcess::ReadLog(int fd) {
  std::string pending;
  char chunk[4096];
  ssize_t got;
  while ((got = ::read(fd, chunk, sizeof chunk)) > 0) {
    pending.append(chunk, got);
    std::size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::lock_guard lock(mutex_);
      lines_.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
      changed_.notify_all();
    }
  }
  ::close(fd);
}

bool LampUnitProcess::WaitForLine(const std::string& needle, std::chrono::milliseconds limit,
                                  std::size_t from) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    for (std::size_t i = from; i < lines_.size(); ++i) {
      if (lines_[i].find(needle) != std::string::npos) return true;
    }
    return false;
  });
}

std::vector<std::string> LampUnitProcess::Lines() {
  std::lock_guard lock(mutex_);
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
