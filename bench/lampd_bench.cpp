// lampd with 2,000 simulated units polled every second, on a real broker:
// its processor time a second and its resident memory over 30 s, beside
// what `lampctl poll` spends on the same 2,000 exchanges; then the latency
// of 1,000 commands from a publish to the unit's new state on the broker,
// beside the same command by `lampctl set` as a process. Run through
// scripts/bench, inside a private network.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "lampd_fleet.h"
#include "mqtt_test.h"
#include "private_network.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kUnits = 2000;

long ResidentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return 0;
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

}  // namespace

int main() {
  if (!lamptest::InsidePrivateNetwork()) return 3;
  lamptest::Broker broker;
  lamptest::LampUnitProcess units(
      {"--address", "192.168.20.1", "--count", std::to_string(kUnits), "--no-udp"});
  if (!broker.Ready() || !units.Ready()) return 1;
  std::string config =
      "name = \"bench\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\n[fleet]\n"
      "poll_every = \"1s\"\n";
  config += lampbench::FleetUnitTables(kUnits);
  lamptest::MqttProbe probe;
  probe.Subscribe("lampd/+");
  lamptest::LampdProcess lampd(config, "bench");
  const auto settled = Clock::now() + 60s;
  for (;;) {
    std::set<std::string> seen;
    for (const auto& message : probe.Messages()) seen.insert(message.topic);
    if (seen.size() >= kUnits || Clock::now() > settled) break;
    std::this_thread::sleep_for(100ms);
  }
  const pid_t pid = lampd.Pid();
  const double before = lamptest::CpuSeconds(pid);
  std::this_thread::sleep_for(30s);  // the span measured
  const double perSecond = (lamptest::CpuSeconds(pid) - before) / 30.0;
  const long rss = ResidentKilobytes(pid);

  const std::string list = "/tmp/lampd-bench-units.txt";
  {
    std::ofstream file(list);
    for (int i = 0; i < kUnits; ++i) file << lampbench::FleetAddress(i) << '\n';
  }
  const double pollCpu = ProcessCpu({LAMPCTL_PATH, "poll", "--from", list, "--json"});
  std::remove(list.c_str());
  std::printf("lampd, %d units polled every second, measured over 30 s\n", kUnits);
  std::printf("  processor time %.3f s a second (goal 0.1 s at most)\n", perSecond);
  std::printf("  lampctl poll of the same %d units: %.3f s; ratio %.2f (goal 1.3 at most)\n",
              kUnits, pollCpu, perSecond / pollCpu);
  std::printf("  resident memory %.1f MB (goal 40 MB at most)\n", rss / 1024.0);

  // Commands to one unit, red on and off in turn, each waited for.
  lamptest::MqttProbe commander(1883, "commander");
  commander.Subscribe("lampd/u7");
  std::vector<double> latencies;
  for (int i = 0; i < 1000; ++i) {
    const std::string wanted = i % 2 ? "off" : "on";
    const std::size_t seen = commander.Messages().size();
    const auto start = Clock::now();
    commander.Publish("lampd/u7/set/red", wanted);
    const auto state = commander.WaitFor(
        "lampd/u7",
        [&](const std::string& payload) {
          return nlohmann::json::parse(payload)["lamps"]["red"] == wanted;
        },
        5s, seen);
    if (!state) break;
    latencies.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::vector<double> bySet;
  for (int i = 0; i < 50; ++i) {
    bySet.push_back(lamptest::SecondsOf([&] {
      lamptest::RunProgram(
          {LAMPCTL_PATH, "set", lampbench::FleetAddress(8), i % 2 ? "red=off" : "red=on"}, {});
    }));
  }
  const double median = latencies.empty() ? 0 : lampbench::Percentile(latencies, 0.5);
  const double p99 = latencies.empty() ? 0 : lampbench::Percentile(latencies, 0.99);
  std::printf("\ncommand latency, publish to the new state on the broker, %zu commands\n",
              latencies.size());
  std::printf("  median %.2f ms, p99 %.2f ms (goal 2 ms / 10 ms at most)\n", median * 1e3,
              p99 * 1e3);
  std::printf("  lampctl set as a process: median %.2f ms; ratio %.2f\n",
              lampbench::Percentile(bySet, 0.5) * 1e3, lampbench::Percentile(bySet, 0.5) / median);
  const bool met = perSecond <= 0.1 && perSecond / pollCpu <= 1.3 && rss <= 40 * 1024 &&
                   latencies.size() == 1000 && median <= 0.002 && p99 <= 0.010;
  std::printf("goals %s\n", met ? "met" : "NOT met");
  return met ? 0 : 1;
}
