#include "cluster_net.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "child_process.h"

namespace lamptest {

using namespace std::chrono_literals;

EtcdCluster::EtcdCluster() {
  if (!RunCommand({"/usr/sbin/ip", "addr", "add", "10.88.0.1/32", "dev", "lo"})) return;
  // In memory where there is some: a write-ahead log's fsync on a busy disk
  // would stall etcd longer than a test's lease.
  char inMemory[] = "/dev/shm/lampd-etcd-XXXXXX";
  char onDisk[] = "/tmp/lampd-etcd-XXXXXX";
  const char* directory = ::mkdtemp(inMemory);
  if (!directory) directory = ::mkdtemp(onDisk);
  if (!directory) return;
  directory_ = directory;
  for (int member = 0; member < kMembers; ++member) Start(member);
  ready_ = WaitUntil(
      [&] {
        for (int member = 0; member < kMembers; ++member) {
          if (Http("GET", "/health", "", "", ClientPort(member)).status != 200) return false;
        }
        return true;
      },
      30s);
}

EtcdCluster::~EtcdCluster() {
  for (int member = 0; member < kMembers; ++member) Kill(member);
  if (!directory_.empty()) RunCommand({"/bin/rm", "-rf", directory_});
}

std::string EtcdCluster::Endpoints() {
  std::string list;
  for (int member = 0; member < kMembers; ++member) {
    list += std::string(member ? ", " : "") +
            "\"http://10.88.0.1:" + std::to_string(ClientPort(member)) + "\"";
  }
  return list;
}

void EtcdCluster::Start(int member) {
  std::string cluster;
  for (int other = 0; other < kMembers; ++other) {
    cluster += std::string(other ? "," : "") + "e" + std::to_string(other) +
               "=http://127.0.0.1:" + std::to_string(ClientPort(other) + 1);
  }
  const std::string name = "e" + std::to_string(member);
  const std::string peer = "http://127.0.0.1:" + std::to_string(ClientPort(member) + 1);
  const int log = ::open((directory_ + "/" + name + ".log").c_str(),
                         O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  pids_[member] =
      SpawnProgram({"/usr/bin/etcd", "--name", name, "--data-dir", directory_ + "/" + name,
                    "--listen-client-urls", "http://0.0.0.0:" + std::to_string(ClientPort(member)),
                    "--advertise-client-urls",
                    "http://10.88.0.1:" + std::to_string(ClientPort(member)), "--listen-peer-urls",
                    peer, "--initial-advertise-peer-urls", peer, "--initial-cluster", cluster},
                   {}, false, {{log, STDOUT_FILENO}, {log, STDERR_FILENO}});
  ::close(log);
}

void EtcdCluster::Kill(int member) {
  if (pids_[member] <= 0) return;
  ::kill(pids_[member], SIGKILL);
  ::waitpid(pids_[member], nullptr, 0);
  pids_[member] = -1;
}

int EtcdCluster::Leader() {
  for (int member = 0; member < kMembers; ++member) {
    if (pids_[member] <= 0) continue;
    const auto reply = Http("POST", "/v3/maintenance/status", "{}", "", ClientPort(member));
    const auto status = nlohmann::json::parse(reply.body, nullptr, false);
    if (reply.status == 200 && status.is_object() && status.contains("header") &&
        !status.value("leader", "").empty() &&
        status.value("leader", "") == status["header"].value("member_id", "")) {
      return member;
    }
  }
  return -1;
}

double EtcdCluster::CpuSeconds() const {
  double seconds = 0;
  for (const pid_t pid : pids_) {
    if (pid > 0) seconds += lamptest::CpuSeconds(pid);
  }
  return seconds;
}

ClusterHost::ClusterHost(int n, std::string instance)
    : name(std::move(instance)), address("10.77." + std::to_string(n) + ".2") {
  const std::string net = std::to_string(n);
  ready = segment.Ready() &&
          segment.Link("h" + net, "10.77." + net + ".1/24", "u" + net, address + "/24") &&
          segment.Link("e" + net, "10.78." + net + ".1/24", "v" + net, "10.78." + net + ".2/24") &&
          segment.Run({"ip", "route", "add", "default", "via", "10.77." + net + ".1"}) &&
          segment.Run({"ip", "route", "add", "10.88.0.1/32", "via", "10.78." + net + ".1"});
  etcdLink = "e" + net;
  broker = "10.77." + net + ".1";
}

std::string ClusterHost::Config(const std::string& units, const std::string& fleet,
                                const std::string& lease) const {
  return "name = \"" + name + "\"\n[mqtt]\nurl = \"mqtt://" + broker + ":" +
         std::to_string(brokerPort) + "\"\n[fleet]\n" + fleet + "[http]\nlisten = \"\"\n" +
         (lease.empty() ? ""
                        : "[cluster]\netcd = [" + EtcdCluster::Endpoints() + "]\nlease = \"" +
                              lease + "\"\n") +
         units;
}

std::unique_ptr<LampdProcess> ClusterHost::Start(const std::string& units, const std::string& fleet,
                                                 const std::string& lease) {
  return std::make_unique<LampdProcess>(Config(units, fleet, lease), name,
                                        std::vector<std::string>{}, std::vector<std::string>{},
                                        segment.Enter());
}

bool ClusterHost::Cut(const std::string& to) const {
  return segment.Run({"ip", "route", "add", "blackhole", to});
}

bool ClusterHost::Heal(const std::string& to) const {
  return segment.Run({"ip", "route", "del", "blackhole", to});
}

std::vector<std::string> Senders(LampUnitProcess& unit) {
  std::vector<std::string> senders;
  for (const std::string& line : unit.Lines()) {
    const auto recv = line.find("] tcp recv ");
    const auto from = line.rfind(" from ");
    if (recv == std::string::npos || from == std::string::npos) continue;
    senders.push_back(line.substr(from + 6, line.rfind(':') - from - 6));
  }
  return senders;
}

}  // namespace lamptest
