#include "lamp_unit_process.h"

#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>

extern char** environ;

namespace lamptest {
namespace {

// The environment for a child: ours with `extra` over it, without the
// test's socket faults unless asked.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra,
                                          bool keepPreload) {
  auto overridden = [&](const std::string& text) {
    const std::string name = text.substr(0, text.find('=') + 1);
    for (const std::string& entry : extra) {
      if (entry.starts_with(name)) return true;
    }
    return false;
  };
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (!keepPreload && (text.starts_with("LD_PRELOAD=") || text.starts_with("LAMPTEST_"))) {
      continue;
    }
    if (!overridden(text)) environment.push_back(text);
  }
  environment.insert(environment.end(), extra.begin(), extra.end());
  return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  ssize_t got;
  while ((got = ::read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, got);
  return text;
}

}  // namespace

LampUnitProcess::LampUnitProcess(std::vector<std::string> arguments) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  arguments.insert(arguments.begin(), LAMPUNIT_PATH);
  auto environment = ChildEnvironment({}, false);
  auto argv = Pointers(arguments);
  auto envp = Pointers(environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  const int spawned = posix_spawn(&pid_, LAMPUNIT_PATH, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    pid_ = -1;
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

XvfbServer::XvfbServer() {
  int fd[2];
  if (::pipe2(fd, O_CLOEXEC) != 0) return;
  std::vector<std::string> arguments = {"/usr/bin/Xvfb", "-displayfd", "3", "-nolisten", "tcp",
                                        "-screen", "0", "1024x768x24"};
  auto environment = ChildEnvironment({}, false);
  auto argv = Pointers(arguments);
  auto envp = Pointers(environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd[1], 3);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fd[1]);
  if (spawned != 0) {
    pid_ = -1;
    ::close(fd[0]);
    return;
  }
  // Xvfb writes its display number once it accepts clients.
  std::string number;
  char c;
  while (::read(fd[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(fd[0]);
  if (!number.empty()) name_ = ":" + number;
}

XvfbServer::~XvfbServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool InsidePrivateNetwork() {
  struct if_nameindex* interfaces = if_nameindex();
  bool onlyLoopback = interfaces != nullptr;
  for (struct if_nameindex* entry = interfaces; entry && entry->if_index != 0; ++entry) {
    if (std::string(entry->if_name) != "lo") {
      std::fprintf(stderr, "refusing to run: interface %s is present; run through scripts/private-net\n",
                   entry->if_name);
      onlyLoopback = false;
      break;
    }
  }
  if (interfaces) if_freenameindex(interfaces);
  return onlyLoopback;
}

ProgramRun RunProgram(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& extraEnvironment, bool keepPreload,
                      std::chrono::milliseconds limit) {
  ProgramRun run;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return run;
  auto argumentTexts = arguments;
  auto environment = ChildEnvironment(extraEnvironment, keepPreload);
  auto argv = Pointers(argumentTexts);
  auto envp = Pointers(environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned == 0) {
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock lock(doneMutex);
      if (!doneChanged.wait_for(lock, limit, [&] { return done; })) {
        run.killed = true;
        ::kill(pid, SIGKILL);
      }
    });
    std::thread errReader([&] { run.err = ReadAll(err[0]); });
    run.out = ReadAll(out[0]);
    errReader.join();
    int status = 0;
    ::waitpid(pid, &status, 0);
    {
      std::lock_guard lock(doneMutex);
      done = true;
    }
    doneChanged.notify_all();
    watchdog.join();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  ::close(out[0]);
  ::close(err[0]);
  return run;
}

}  // namespace lamptest
