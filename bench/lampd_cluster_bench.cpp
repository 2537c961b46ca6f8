// lampd's ownership on etcd, timed: 3,000 simulated units (or the number
// given as the first argument) and two instances, each in a network
// namespace of its own, beside a three-member etcd and a broker. Figures:
// how long the first instance takes the free units; whether the second,
// started beside them, takes any; how long the second takes them over
// after kill -9 of the first, after a SIGSTOP of the first past its lease
// and after the first is cut from etcd (the first unit, the last, units a
// second); and the processor time lampd and etcd use, and the bytes to
// and from etcd, for 20 s of the units polled every second, beside one
// lampd without [cluster] for the same units. With --three COUNT: COUNT
// units over three instances started at once, polled every 5 s. Run
// through scripts/bench, inside a private network.
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
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
  // How many units' latest state names `instance`.
  int Naming(const std::string& instance) {
    std::map<std::string, std::string> latest;
    for (const auto& message : probe_.Messages()) {
      if (message.topic.find('/', 6) != std::string::npos) continue;
      const json state = json::parse(message.payload, nullptr, false);
      if (state.is_object()) latest[message.topic] = state.value("instance", "");
    }
    return static_cast<int>(std::count_if(
        latest.begin(), latest.end(), [&](const auto& unit) { return unit.second == instance; }));
  }
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

// What each of `measures` grows by a second over the steady time (processor
// seconds, bytes).
std::vector<double> Rates(const std::vector<std::function<double()>>& measures) {
  std::vector<double> before;
  for (const auto& measure : measures) before.push_back(measure());
  std::this_thread::sleep_for(kSteady);  // the measure is of this time
  std::vector<double> rates;
  for (std::size_t i = 0; i < measures.size(); ++i) {
    rates.push_back((measures[i]() - before[i]) / std::chrono::duration<double>(kSteady).count());
  }
  return rates;
}

// Bytes both ways over this side of a host's link to etcd (/proc/net is
// this namespace's; /sys may be another's).
double EtcdBytes(const lamptest::ClusterHost& host) {
  std::ifstream dev("/proc/net/dev");
  std::string line;
  while (std::getline(dev, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const auto name = line.find_first_not_of(' ');
    if (line.substr(name, colon - name) != host.etcdLink) continue;
    std::istringstream fields(line.substr(colon + 1));
    double received = 0, sent = 0, skipped = 0;
    fields >> received;
    for (int i = 0; i < 7; ++i) fields >> skipped;  // packets, errors ... of what came
    fields >> sent;
    return received + sent;
  }
  return 0;
}

bool SetLink(const lamptest::ClusterHost& host, const char* state) {
  return lamptest::RunCommand({"/usr/sbin/ip", "link", "set", host.etcdLink, state});
}

// `count` simulated units: lampunit simulates 4,000 at the most, so one
// process each 4,000.
std::vector<std::unique_ptr<lamptest::LampUnitProcess>> Fleet(int count, bool& ready) {
  std::vector<std::unique_ptr<lamptest::LampUnitProcess>> fleet;
  ready = true;
  for (int first = 0; first < count; first += 4000) {
    fleet.push_back(std::make_unique<lamptest::LampUnitProcess>(
        std::vector<std::string>{"--address", lampbench::FleetAddress(first), "--count",
                                 std::to_string(std::min(4000, count - first)), "--no-udp"}));
    ready = ready && fleet.back()->Ready();
  }
  return fleet;
}

// `count` units, two instances: takeovers, and the cost beside no cluster.
int TwoInstances(int count) {
  lamptest::Broker broker(1883, "listener 1884\nmax_queued_messages 100000\n");
  lamptest::EtcdCluster etcd;
  bool fleetReady = false;
  const auto fleet = Fleet(count, fleetReady);
  lamptest::ClusterHost alphaHost{1, "alpha"}, betaHost{2, "beta"};
  if (!broker.Ready() || !etcd.Ready() || !fleetReady || !alphaHost.ready || !betaHost.ready) {
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
  const auto steady =
      Rates({[&] { return lamptest::CpuSeconds(alpha->Pid()); }, [&] { return etcd.CpuSeconds(); },
             [&] { return EtcdBytes(alphaHost) + EtcdBytes(betaHost); }});
  const int stolen = owners.Naming("beta");
  std::printf("  units the second instance took from the first, started beside them: %d of %d\n",
              stolen, count);

  alpha->Kill();
  Report("taken over after kill -9", owners.WaitAll("beta", count, 120s), count);
  alpha = alphaHost.Start(units, kFleet, "5s");
  std::this_thread::sleep_for(5s);  // as above
  ::kill(beta->Pid(), SIGSTOP);
  Report("taken over after SIGSTOP", owners.WaitAll("alpha", count, 120s), count);
  ::kill(beta->Pid(), SIGCONT);
  beta = betaHost.Start(units, kFleet, "5s");
  std::this_thread::sleep_for(5s);  // as above
  SetLink(alphaHost, "down");
  Report("taken over after a cut from etcd", owners.WaitAll("beta", count, 120s), count);
  SetLink(alphaHost, "up");
  beta.reset();
  alpha.reset();

  // The same units, one lampd without [cluster].
  auto alone = alphaHost.Start(units, kFleet, "");
  owners.WaitAll("alpha", count, 120s);
  const double without = Rates({[&] { return lamptest::CpuSeconds(alone->Pid()); }})[0];
  std::printf(
      "  processor: lampd %.3f s a second with [cluster], %.3f without (%.2fx); etcd's three "
      "members %.3f s a second; etcd traffic %.1f kB a second\n",
      steady[0], without, steady[0] / std::max(without, 1e-6), steady[1], steady[2] / 1e3);
  return stolen == 0 ? 0 : 1;
}

// `count` units over three instances started at once, polled every 5 s: how
// they spread, what each costs, and the takeover after kill -9 of one.
int ThreeInstances(int count) {
  lamptest::Broker broker(1883, "listener 1884\nmax_queued_messages 100000\n");
  lamptest::EtcdCluster etcd;
  bool fleetReady = false;
  const auto fleet = Fleet(count, fleetReady);
  lamptest::ClusterHost hosts[] = {{1, "alpha"}, {2, "beta"}, {3, "gamma"}};
  if (!broker.Ready() || !etcd.Ready() || !fleetReady || !hosts[0].ready || !hosts[1].ready ||
      !hosts[2].ready) {
    std::fprintf(stderr, "the broker, etcd, the units or the namespaces did not start\n");
    return 1;
  }
  lamptest::MqttProbe probe(1883, "bench-probe");
  probe.Subscribe("lampd/+");
  Owners owners(probe);
  const std::string units = lampbench::FleetUnitTables(count);
  const std::string fleetConfig = "poll_every = \"5s\"\noffline_after = 3\n";
  std::printf(
      "lampd on etcd (three members, lease 5 s), %d units polled every 5 s, three instances "
      "started at once\n",
      count);
  std::unique_ptr<lamptest::LampdProcess> lampd[3];
  const auto start = Clock::now();
  for (int n = 0; n < 3; ++n) lampd[n] = hosts[n].Start(units, fleetConfig, "5s");
  int named = 0;
  while (Clock::now() - start < 300s) {
    named = owners.Naming("alpha") + owners.Naming("beta") + owners.Naming("gamma");
    if (named >= count) break;
    std::this_thread::sleep_for(200ms);  // the next look at what came
  }
  std::printf("  every unit driven after %.1f s (%d of %d): alpha %d, beta %d, gamma %d\n",
              std::chrono::duration<double>(Clock::now() - start).count(), named, count,
              owners.Naming("alpha"), owners.Naming("beta"), owners.Naming("gamma"));
  std::this_thread::sleep_for(5s);  // settled: no sign to wait on
  const auto steady = Rates(
      {[&] { return lamptest::CpuSeconds(lampd[0]->Pid()); },
       [&] { return lamptest::CpuSeconds(lampd[1]->Pid()); },
       [&] { return lamptest::CpuSeconds(lampd[2]->Pid()); }, [&] { return etcd.CpuSeconds(); },
       [&] { return EtcdBytes(hosts[0]) + EtcdBytes(hosts[1]) + EtcdBytes(hosts[2]); }});
  std::printf(
      "  processor: lampd %.3f, %.3f, %.3f s a second; etcd %.3f s a second; etcd traffic "
      "%.1f kB a second\n",
      steady[0], steady[1], steady[2], steady[3], steady[4] / 1e3);
  const int gammas = owners.Naming("gamma");
  const auto killed = Clock::now();
  lampd[2]->Kill();
  int left = gammas;
  while (left > 0 && Clock::now() - killed < 120s) {
    left = owners.Naming("gamma");
    std::this_thread::sleep_for(100ms);  // the next look at what came
  }
  std::printf("  gamma's %d units driven by the others %.1f s after its kill -9 (%d left)\n",
              gammas, std::chrono::duration<double>(Clock::now() - killed).count(), left);
  return named >= count && left == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--three") {
    return ThreeInstances(std::max(3, std::atoi(argv[2])));
  }
  return TwoInstances(argc > 1 ? std::max(1, std::atoi(argv[1])) : 3000);
}
