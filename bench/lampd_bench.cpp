// lampd with 2,000 simulated units polled every second, on a real broker:
// its processor time a second and resident memory, beside what `lampctl
// poll` spends on the same 2,000 exchanges; the latency of 1,000 commands
// from a publish to the frame at the unit (a unit of the benchmark's own,
// which notes when each frame arrives), with the fleet answered at once by
// lampunit and then by a slow fleet that answers every poll after 50 ms;
// and from a publish to the new state on the broker. (The failover to a
// stand-by is lampd_cluster_bench's.)
// Run through scripts/bench, inside a private network.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "lampd_fleet.h"
#include "mqtt_test.h"
#include "net/socket_layer.h"
#include "private_network.h"
#include "timed_unit.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kUnits = 2000;
const char* const kTargetAddress = "192.168.30.1";

std::string FleetConfig(const std::string& name) {
  return "name = \"" + name +
         "\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\n[fleet]\npoll_every = \"1s\"\n"
         "[http]\nlisten = \"\"\n[[unit]]\nid = \"target\"\naddress = \"" +
         kTargetAddress + "\"\n" + lampbench::FleetUnitTables(kUnits);
}

// Waits until every unit's state is on the broker.
void Settle(lamptest::MqttProbe& probe, std::size_t units) {
  const auto end = Clock::now() + 90s;
  for (;;) {
    std::set<std::string> seen;
    for (const auto& message : probe.Messages()) seen.insert(message.topic);
    if (seen.size() >= units || Clock::now() > end) return;
    std::this_thread::sleep_for(100ms);  // the fleet's first round; nothing to wait on
  }
}

// A process run to its end: its processor seconds.
double ProcessCpu(const std::vector<std::string>& arguments) {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid =
      lamptest::SpawnProgram(arguments, {}, false, {{null, STDOUT_FILENO}, {null, STDERR_FILENO}});
  ::close(null);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec * 1e-6;
}

struct Latency {
  double median = 0, p99 = 0;
  std::size_t count = 0;
};

// 1,000 commands to the timed unit, red on and off in turn: publish to frame.
Latency CommandsToFrames(lampbench::TimedUnit& target) {
  lamptest::MqttProbe commander(1883, "commander");
  std::vector<double> latencies;
  for (int i = 0; i < 1000; ++i) {
    const auto start = Clock::now();
    commander.Publish("lampd/target/set/red", i % 2 ? "off" : "on");
    const auto arrived = target.WriteAfter(start, 5s);
    if (!arrived) break;
    latencies.push_back(std::chrono::duration<double>(*arrived - start).count());
    std::this_thread::sleep_for(2ms);  // commands a few ms apart, as a PLC sends them
  }
  if (latencies.empty()) return {};
  return {lampbench::Percentile(latencies, 0.5), lampbench::Percentile(latencies, 0.99),
          latencies.size()};
}

}  // namespace

int main() {
  if (!lamptest::InsidePrivateNetwork()) return 3;
  lamptest::Broker broker;
  lampbench::TimedUnit target(kTargetAddress);
  auto units = std::make_unique<lamptest::LampUnitProcess>(std::vector<std::string>{
      "--address", "192.168.20.1", "--count", std::to_string(kUnits), "--no-udp"});
  if (!broker.Ready() || !units->Ready()) return 1;
  lamptest::MqttProbe probe;
  probe.Subscribe("lampd/+");
  auto active = std::make_unique<lamptest::LampdProcess>(FleetConfig("alpha"), "alpha");
  Settle(probe, kUnits + 1);

  const pid_t pid = active->Pid();
  const double before = lamptest::CpuSeconds(pid);
  std::this_thread::sleep_for(20s);  // the span measured
  const double perSecond = (lamptest::CpuSeconds(pid) - before) / 20.0;
  const long rss = lamptest::ResidentKilobytes(pid);
  const std::string list = "/tmp/lampd-bench-units.txt";
  {
    std::ofstream file(list);
    for (int i = 0; i < kUnits; ++i) file << lampbench::FleetAddress(i) << '\n';
  }
  const double pollCpu = ProcessCpu({LAMPCTL_PATH, "poll", "--from", list, "--json"});
  std::remove(list.c_str());
  std::printf("lampd, %d units polled every second, measured over 20 s\n", kUnits);
  std::printf(
      "  processor time %.3f s a second; lampctl poll of the same units %.3f s; ratio "
      "%.2f (goal 1.0 at most)\n",
      perSecond, pollCpu, perSecond / pollCpu);
  std::printf("  resident memory %.1f MB\n", rss / 1024.0);

  const Latency quick = CommandsToFrames(target);
  std::printf("\ncommand latency, publish to the frame at the unit, %zu commands\n", quick.count);
  std::printf("  fleet answered at once:       median %.2f ms, p99 %.2f ms (goal 1 ms / 5 ms)\n",
              quick.median * 1e3, quick.p99 * 1e3);

  // The same beside a fleet whose every answer takes 50 ms.
  active.reset();
  units.reset();
  units = std::make_unique<lamptest::LampUnitProcess>(
      std::vector<std::string>{"--address", "192.168.20.1", "--count", std::to_string(kUnits),
                               "--no-udp", "--tcp-fault", "late:50"});
  active = std::make_unique<lamptest::LampdProcess>(FleetConfig("alpha"), "alpha-slow");
  const std::size_t from = probe.Messages().size();
  probe.WaitFor(
      "lampd/target", [](const std::string&) { return true; }, 30s, from);
  std::this_thread::sleep_for(5s);  // a few poll rounds of the slow fleet under way
  const Latency slow = CommandsToFrames(target);
  std::printf("  fleet answering after 50 ms:  median %.2f ms, p99 %.2f ms (goal 1 ms / 5 ms)\n",
              slow.median * 1e3, slow.p99 * 1e3);

  // Publish to the new state on the broker, for comparison with before.
  lamptest::MqttProbe commander(1883, "states");
  commander.Subscribe("lampd/target");
  std::vector<double> states;
  for (int i = 0; i < 200; ++i) {
    const std::string wanted = i % 2 ? "off" : "on";
    const std::size_t seen = commander.Messages().size();
    const auto start = Clock::now();
    commander.Publish("lampd/target/set/green", wanted);
    if (!commander.WaitFor(
            "lampd/target",
            [&](const std::string& payload) {
              return nlohmann::json::parse(payload)["lamps"]["green"] == wanted;
            },
            5s, seen)) {
      break;
    }
    states.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::printf("  publish to the new state, slow fleet: median %.2f ms over %zu\n",
              states.empty() ? 0 : lampbench::Percentile(states, 0.5) * 1e3, states.size());

  const bool met = perSecond / pollCpu <= 1.0 && quick.count == 1000 && quick.median <= 0.001 &&
                   quick.p99 <= 0.005 && slow.count == 1000 && slow.median <= 0.001 &&
                   slow.p99 <= 0.005;
  std::printf("goals %s\n", met ? "met" : "NOT met");
  return met ? 0 : 1;
}
