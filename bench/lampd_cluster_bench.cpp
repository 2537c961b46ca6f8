// lampd's ownership on etcd, timed: 3,000 simulated units (or the number
// given as the first argument) and two instances, each in a network
// namespace of its own, beside a three-member etcd and a broker. Figures:
// how long the first instance takes the free units; how long the second
// takes them over after kill -9 of the first, and after a SIGSTOP of the
// first past its lease (the first unit, the last, units a second); and the
// processor time lampd and etcd use for 20 s of the units polled every
// second, beside one lampd without [cluster] for the same units. Run
// through scripts/bench, inside a private network.
#include <signal.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "child_process.h"
#include "cluster_net.h"
#include "lamp_unit_process.h"
#include "lampd_fleet.h"
#include "mqtt_test.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr auto kSteady = 20s;  // of polling, for the processor time
const std::string kFleet = "poll_every = \"1s\"\noffline_after = 3\n";

// Watches the units' states on the broker: which instance each names, and when it first did.
class Owners {
 public:
  explicit Owners(lamptest::MqttProbe& probe) : probe_(probe) {}
  // Waits until all `count` units name `instance`; when each first did, from now.
  std::vector<double> WaitAll(const std::string& instance, int count, std::chrono::seconds limit) {
    const auto start = Clock::now();
    std::map<std::string, double> at;
    std::size_t seen = probe_.Messages().size();
    while (static_cast<int>(at.size()) < count && Clock::now() - start < limit) {
      const auto messages = probe_.Messages();
      const double now = std::chrono::duration<double>(Clock::now() - start).count();
      for (; seen < messages.size(); ++seen) {
        const std::string& topic = messages[seen].topic;
        if (topic.find('/', 6) != std::string::npos) continue;  // lampd/ID only
        const json state = json::parse(messages[seen].payload, nullptr, false);
        if (state.is_object() && state.value("instance", "") == instance) {
          at.emplace(topic.substr(6), now);
        }
      }
      std::this_thread::sleep_for(50ms);  // the next look at what came
    }
    std::vector<double> times;
    for (const auto& [id, seconds] : at) times.push_back(seconds);
    std::sort(times.begin(), times.end());
    return times;
  }

 private:
  lamptest::MqttProbe& probe_;
};

void Report(const char* what, const std::vector<double>& times, int count) {
  if (static_cast<int>(times.size()) < count) {
    std::printf("  %s: only %zu of %d units within the limit\n", what, times.size(), count);
    return;
  }
  const double last = times.back(), first = times.front();
  std::printf("  %s: first unit %.2f s, last %.2f s, %.0f units a second\n", what, first, last,
              count / std::max(last - first, 0.001));
}

// Processor time of `pids` over the steady time, in seconds a second.
double Load(const std::function<double()>& seconds) {
  const double before = seconds();
  std::this_thread::sleep_for(kSteady);  // the measure is of this time
  return (seconds() - before) / std::chrono::duration<double>(kSteady).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3000;
  lamptest::Broker broker(1883, "listener 1884\nmax_queued_messages 100000\n");
  lamptest::EtcdCluster etcd;
  lamptest::LampUnitProcess fleet{
      {"--address", "192.168.20.1", "--count", std::to_string(count), "--no-udp"}};
  lamptest::ClusterHost alphaHost{1, "alpha"}, betaHost{2, "beta"};
  if (!broker.Ready() || !etcd.Ready() || !fleet.Ready() || !alphaHost.ready || !betaHost.ready) {
    std::fprintf(stderr, "the broker, etcd, the units or the namespaces did not start\n");
    return 1;
  }
  lamptest::MqttProbe probe(1883, "bench-probe");
  probe.Subscribe("lampd/+");
  Owners owners(probe);
  const std::string units = lampbench::FleetUnitTables(count);
  std::printf(
      "lampd on etcd (three members, lease 5 s), %d units polled every second, two "
      "instances\n",
      count);

  auto alpha = alphaHost.Start(units, kFleet, "5s");
  Report("free units taken by the first instance", owners.WaitAll("alpha", count, 120s), count);
  auto beta = betaHost.Start(units, kFleet, "5s");
  std::this_thread::sleep_for(5s);  // the second one's lease and view of etcd: no sign to wait on
  const double withEtcd = Load([&] { return lamptest::CpuSeconds(alpha->Pid()); });
  const double etcdLoad = Load([&] { return etcd.CpuSeconds(); });

  alpha->Kill();
  Report("taken over after kill -9", owners.WaitAll("beta", count, 120s), count);
  alpha = alphaHost.Start(units, kFleet, "5s");
  std::this_thread::sleep_for(5s);  // as above
  ::kill(beta->Pid(), SIGSTOP);
  Report("taken over after SIGSTOP", owners.WaitAll("alpha", count, 120s), count);
  ::kill(beta->Pid(), SIGCONT);
  beta.reset();
  alpha.reset();

  // The same units, one lampd without [cluster].
  auto alone = alphaHost.Start(units, kFleet, "");
  owners.WaitAll("alpha", count, 120s);
  const double without = Load([&] { return lamptest::CpuSeconds(alone->Pid()); });
  std::printf(
      "  processor: lampd %.3f s a second with [cluster], %.3f without (%.2fx); etcd's three "
      "members %.3f s a second\n",
      withEtcd, without, withEtcd / std::max(without, 1e-6), etcdLoad);
  return 0;
}
