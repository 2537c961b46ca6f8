#include "test_network.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "child_process.h"

namespace lamptest {

bool RunCommand(const std::vector<std::string>& command) {
  const ProgramRun run = RunProgram(command, {});
  if (run.status == 0) return true;
  std::string text;
  for (const std::string& word : command) text += word + " ";
  std::fprintf(stderr, "%sfailed (%d): %s", text.c_str(), run.status, run.err.c_str());
  return false;
}

Segment::Segment() {
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return;
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The holder: a namespace of its own, kept until the test lets it go
    // or ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    char answer = ::unshare(CLONE_NEWNET) == 0 ? 1 : 0;
    (void)!::write(ready[1], &answer, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char answer = 0;
  const bool made = pid > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 1;
  ::close(ready[0]);
  if (pid > 0) holder_ = pid;
  if (!made || !Run({"ip", "link", "set", "lo", "up"})) {
    std::fprintf(stderr, "could not make a network namespace for a segment\n");
    if (holder_ > 0) {
      ::kill(holder_, SIGKILL);
      ::waitpid(holder_, nullptr, 0);
    }
    holder_ = -1;
  }
}

Segment::~Segment() {
  if (holder_ > 0) {
    ::kill(holder_, SIGKILL);  // its namespace, and the links into it, go with it
    ::waitpid(holder_, nullptr, 0);
  }
}

std::vector<std::string> Segment::Enter() const {
  return {"/usr/bin/nsenter", "--net=/proc/" + std::to_string(holder_) + "/ns/net", "--"};
}

bool Segment::Run(std::vector<std::string> command) const {
  std::vector<std::string> inside = Enter();
  if (!command.empty() && command[0] == "ip") command[0] = "/usr/sbin/ip";
  inside.insert(inside.end(), command.begin(), command.end());
  return RunCommand(inside);
}

bool Segment::Link(const std::string& hostName, const std::string& hostCidr,
                   const std::string& segmentName, const std::string& segmentCidr) {
  return RunCommand({"/usr/sbin/ip", "link", "add", hostName, "type", "veth", "peer", "name",
                     segmentName, "netns", std::to_string(holder_)}) &&
         RunCommand({"/usr/sbin/ip", "addr", "add", hostCidr, "dev", hostName}) &&
         RunCommand({"/usr/sbin/ip", "link", "set", hostName, "up"}) &&
         Run({"ip", "addr", "add", segmentCidr, "dev", segmentName}) &&
         Run({"ip", "link", "set", segmentName, "up"});
}

bool Segment::LocalRange(const std::string& cidr) {
  return Run({"ip", "route", "add", "local", cidr, "dev", "lo", "table", "local"});
}

}  // namespace lamptest
