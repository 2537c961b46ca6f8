// lampd's leases, groups and HTTP with 1,000 simulated units on a real
// broker: a group set to all of them, publish to the last unit's new state;
// 1,000 leases that end in the same second, from the expiry to the last
// unit's new state, and how many frames that took; and the latency of
// PUT /api/units/<id> over 1,000 requests. Run through scripts/bench,
// inside a private network.
#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "lamp_unit_process.h"
#include "lampd_fleet.h"
#include "mqtt_test.h"
#include "private_network.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kUnits = 1000;

// Waits until every unit's latest state holds `holds`; the time the last
// one came, or nothing after `limit`.
std::optional<Clock::time_point> AllStates(lamptest::MqttProbe& probe, std::size_t from,
                                           const std::function<bool(const json&)>& holds,
                                           std::chrono::seconds limit = 30s) {
  const auto end = Clock::now() + limit;
  std::map<std::string, bool> done;
  std::size_t next = from;
  while (Clock::now() < end) {
    const auto messages = probe.Messages();
    for (; next < messages.size(); ++next) {
      const json state = json::parse(messages[next].payload, nullptr, false);
      if (state.is_object()) done[messages[next].topic] = holds(state);
    }
    if (std::count_if(done.begin(), done.end(), [](const auto& entry) { return entry.second; }) ==
        kUnits) {
      return Clock::now();
    }
    std::this_thread::sleep_for(1ms);  // the probe's list is read, not waited on
  }
  return std::nullopt;
}

// Milliseconds into the local day, as the unit's log stamps its lines.
long DayMilliseconds(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
  return ((local.tm_hour * 60L + local.tm_min) * 60 + local.tm_sec) * 1000 + ms.count() % 1000;
}

// The write frames the units logged from line `from` on: how many, and
// when the last came ("14:03:07.129 [unit] tcp recv 8 bytes: 57 ...").
std::pair<int, long> WriteFrames(lamptest::LampUnitProcess& units, std::size_t from) {
  const auto lines = units.Lines();
  int count = 0;
  long last = -1;
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (lines[i].find("tcp recv 8 bytes: 57 ") == std::string::npos) continue;
    int hours = 0, minutes = 0, seconds = 0, millis = 0;
    std::sscanf(lines[i].c_str(), "%d:%d:%d.%d", &hours, &minutes, &seconds, &millis);
    last = std::max(last, ((hours * 60L + minutes) * 60 + seconds) * 1000 + millis);
    ++count;
  }
  return {count, last};
}

}  // namespace

int main() {
  if (!lamptest::InsidePrivateNetwork()) return 3;
  lamptest::Broker broker;
  lamptest::LampUnitProcess units(
      {"--address", "192.168.20.1", "--count", std::to_string(kUnits), "--no-udp"});
  if (!broker.Ready() || !units.Ready()) return 1;
  std::string config =
      "name = \"bench\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\n[fleet]\npoll_every = \"1s\"\n"
      "[http]\nlisten = \"127.0.0.1:9730\"\n[groups]\nall = [\"192.168.20.1-255\", "
      "\"192.168.21.0-255\", \"192.168.22.0-255\", \"192.168.23.0-232\"]\n";
  config += lampbench::FleetUnitTables(kUnits);
  lamptest::MqttProbe probe;
  probe.Subscribe("lampd/+");
  lamptest::LampdProcess lampd(config, "bench");
  if (!AllStates(
          probe, 0, [](const json&) { return true; }, 60s))
    return 1;

  // A group set to all units: publish to the last frame, and to the last new state.
  std::size_t from = probe.Messages().size();
  std::size_t lines = units.Lines().size();
  auto start = Clock::now();
  const long published = DayMilliseconds(std::chrono::system_clock::now());
  probe.Publish("lampd/group/all/set", R"({"green": "on"})");
  const auto grouped =
      AllStates(probe, from, [](const json& s) { return s["lamps"]["green"] == "on"; });
  const double groupStates = grouped ? std::chrono::duration<double>(*grouped - start).count() : 99;
  const auto [groupFrames, groupLast] = WriteFrames(units, lines);
  const double groupSeconds = grouped ? (groupLast - published) / 1000.0 : 99;

  // A lease on all 1,000, ending together: from the expiry to the last new state.
  from = probe.Messages().size();
  probe.Publish("lampd/group/all/set", R"({"red": "on", "for": "3s", "source": "bench"})");
  const auto leased = AllStates(probe, from, [](const json& s) { return s["leases"].size() == 1; });
  std::string latest;  // the last of the expiries, as RFC 3339 sorts
  for (const auto& message : probe.Messages()) {
    const json state = json::parse(message.payload, nullptr, false);
    if (state.is_object() && state["leases"].size() == 1) {
      latest = std::max(latest, state["leases"][0]["expires"].get<std::string>());
    }
  }
  from = probe.Messages().size();
  lines = units.Lines().size();
  const auto ended = AllStates(
      probe, from, [](const json& s) { return s["leases"].empty() && s["lamps"]["red"] == "off"; });
  const auto endedWall = std::chrono::system_clock::now();
  const auto [frames, lastFrame] = WriteFrames(units, lines);
  // The last expiry in wall-clock time, "2026-12-07T19:40:03.250Z".
  std::tm parts{};
  int millis = 0;
  std::sscanf(latest.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &parts.tm_year, &parts.tm_mon,
              &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &millis);
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  const auto expiry =
      std::chrono::system_clock::from_time_t(timegm(&parts)) + std::chrono::milliseconds(millis);
  const double expiryStates =
      leased && ended ? std::chrono::duration<double>(endedWall - expiry).count() : 99;
  const double expirySeconds =
      leased && ended ? (lastFrame - DayMilliseconds(expiry)) / 1000.0 : 99;

  // PUT latency over one kept-alive connection, as a script's client keeps it.
  httplib::Client client("127.0.0.1", 9730);
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  std::vector<double> latencies;
  int failed = 0;
  for (int i = 0; i < 1000; ++i) {
    start = Clock::now();
    const auto reply = client.Put("/api/units/u7", i % 2 ? R"({"red": "off"})" : R"({"red": "on"})",
                                  "application/json");
    if (!reply || reply->status != 200) ++failed;
    latencies.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  const double median = lampbench::Percentile(latencies, 0.5),
               p99 = lampbench::Percentile(latencies, 0.99);

  std::printf("lampd, %d units: leases, groups and HTTP\n", kUnits);
  std::printf(
      "  group set of %d units, publish to the last frame: %.3f s (goal 0.2 s), %d frames;"
      " to the last new state on the broker %.3f s\n",
      kUnits, groupSeconds, groupFrames, groupStates);
  std::printf(
      "  %d leases ending together, last expiry to the last frame: %.3f s (goal 0.2 s),"
      " %d frames (goal one a unit); to the last new state %.3f s\n",
      kUnits, expirySeconds, frames, expiryStates);
  std::printf(
      "  PUT /api/units/<id>, 1000 requests: median %.2f ms, p99 %.2f ms (goal 5 ms / 20 ms),"
      " %d failed\n",
      median * 1e3, p99 * 1e3, failed);
  const bool met = groupSeconds <= 0.2 && expirySeconds <= 0.2 && frames == kUnits &&
                   median <= 0.005 && p99 <= 0.020 && failed == 0;
  std::printf("goals %s\n", met ? "met" : "NOT met");
  return met ? 0 : 1;
}
