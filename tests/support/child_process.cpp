#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace lamptest {
namespace {

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra, bool keepPreload) {
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

pid_t SpawnProgram(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& extraEnvironment, bool keepPreload,
                   const std::vector<std::pair<int, int>>& descriptors) {
  auto argumentTexts = arguments;
  auto environment = ChildEnvironment(extraEnvironment, keepPreload);
  auto argv = Pointers(argumentTexts);
  auto envp = Pointers(environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (auto [ours, theirs] : descriptors) posix_spawn_file_actions_adddup2(&actions, ours, theirs);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

ProgramRun RunProgram(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& extraEnvironment, bool keepPreload,
                      std::chrono::milliseconds limit) {
  ProgramRun run;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return run;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return run;
  }
  const pid_t pid = SpawnProgram(arguments, extraEnvironment, keepPreload,
                                 {{out[1], STDOUT_FILENO}, {err[1], STDERR_FILENO}});
  ::close(out[1]);
  ::close(err[1]);
  if (pid > 0) {
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

XvfbServer::XvfbServer() {
  // A display number of our own: servers of tests in other network
  // namespaces would otherwise all take :0 and share its files in /tmp
  // (the compiled keymap among them). A number taken already makes the
  // server end at once; then the next is tried.
  const int first = 100 + static_cast<int>(::getpid() % 20000);
  for (int attempt = 0; attempt < 8 && name_.empty(); ++attempt) {
    const std::string display = ":" + std::to_string(first + attempt * 2011);
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    // -noreset: by default the server resets when its last client leaves, and
    // refuses whoever connects meanwhile; our looks with xwininfo come and go.
    pid_ = SpawnProgram({"/usr/bin/Xvfb", display, "-displayfd", "3", "-nolisten", "tcp",
                         "-noreset", "-screen", "0", "1024x768x24"},
                        {}, false, {{ready[1], 3}, {quiet, STDERR_FILENO}});
    ::close(quiet);
    ::close(ready[1]);
    // Xvfb writes its display number once it accepts clients.
    std::string number;
    char c;
    while (pid_ > 0 && ::read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(ready[0]);
    if (!number.empty()) {
      name_ = ":" + number;
    } else if (pid_ > 0) {
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
}

XvfbServer::~XvfbServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

DisplayRun RunOnOwnDisplay(const std::string& program, std::vector<std::string> extraEnvironment,
                           const std::function<bool(const std::string& windows)>& seen,
                           std::chrono::milliseconds limit) {
  DisplayRun result;
  XvfbServer display;
  result.displayStarted = display.Running();
  if (!result.displayStarted) return result;
  const std::string displayVariable = "DISPLAY=" + display.Name();
  extraEnvironment.push_back(displayVariable);
  extraEnvironment.push_back("QT_QPA_PLATFORM=xcb");

  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) return result;
  const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = SpawnProgram({program}, extraEnvironment, true,
                                 {{quiet, STDOUT_FILENO}, {err[1], STDERR_FILENO}});
  ::close(quiet);
  ::close(err[1]);
  std::thread errReader([&] { result.run.err = ReadAll(err[0]); });

  // Look until the windows are as expected, the program has ended, or time is up.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool ended = false;
  int status = 0;
  while (pid > 0 && std::chrono::steady_clock::now() < deadline) {
    result.windows = RunProgram({"/usr/bin/xwininfo", "-root", "-tree"}, {displayVariable}).out;
    if (seen(result.windows)) {
      result.seen = true;
      break;
    }
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // between looks
  }
  if (pid > 0 && !ended) {
    result.run.killed = ::waitpid(pid, &status, WNOHANG) == 0;
    if (result.run.killed) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
  }
  errReader.join();
  ::close(err[0]);
  result.run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stol(field);
    if (i == 15) system = std::stol(field);
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long ResidentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return 0;
}

}  // namespace lamptest
