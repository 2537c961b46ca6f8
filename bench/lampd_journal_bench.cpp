// lampd's journal: what it costs and how fast it reads back. 2,000 units
// polled every second on a real broker while a client takes a lease and
// clears it every 10 ms; lampd's processor time with the journal, beside
// the same run with the journal off; bytes a record; then GET /api/events
// over a journal of one million records. Run through scripts/bench,
// inside a private network; `lampd_journal_bench SECONDS` runs shorter.
#include <cstdio>
#include <filesystem>
#include <thread>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "lampd/andon/journal.h"
#include "lampd_fleet.h"
#include "mqtt_test.h"
#include "private_network.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kUnits = 2000;
constexpr std::uint64_t kRecords = 1'000'000;

struct Run {
  double cpu = 0;
  std::uint64_t bytes = 0, records = 0;
};

double Metric(const std::string& text, const std::string& name) {
  const auto at = text.find("\n" + name + " ");
  return at == std::string::npos ? 0 : std::stod(text.substr(at + name.size() + 2));
}

// lampd over the fleet, a lease taken and cleared every 10 ms for `seconds`.
bool Drive(const std::string& journal, int seconds, Run& run) {
  const std::string state = lamptest::OwnFile("leases.json");
  std::string config =
      "name = \"bench\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\n[fleet]\npoll_every = \"1s\"\n"
      "[http]\nlisten = \"127.0.0.1:9730\"\n[journal]\npath = \"" +
      journal + "\"\n";
  config += lampbench::FleetUnitTables(kUnits);
  lamptest::LampdProcess lampd(config, "bench", {"--state", state});
  if (!lamptest::WaitForMetrics([](const std::string& text) {
        return Metric(text, "lampd_mqtt_connected") == 1 &&
               text.find("lampd_unit_up{unit=\"u" + std::to_string(kUnits - 1)) != text.npos;
      })) {
    std::fprintf(stderr, "lampd did not come up:\n%s", lampd.Log().c_str());
    return false;
  }
  lamptest::WaitUntil([] { return false; }, 3s);  // the fleet's first round behind it
  lamptest::MqttProbe client(1883, "andon");
  const double before = lamptest::CpuSeconds(lampd.Pid());
  const auto start = Clock::now();
  for (int i = 0; Clock::now() < start + std::chrono::seconds(seconds); ++i) {
    std::this_thread::sleep_until(start + i * 10ms);
    const std::string topic = "lampd/u" + std::to_string(i % kUnits) + "/set";
    client.Publish(topic, R"({"red": "blink", "sound": 2, "for": "1m", "source": "andon"})");
    client.Publish(topic, R"({"clear": "andon"})");
  }
  lamptest::WaitUntil([] { return false; }, 1s);  // what was sent, taken
  run.cpu = lamptest::CpuSeconds(lampd.Pid()) - before;
  const std::string metrics = lamptest::Http("GET", "/metrics").body;
  run.bytes = static_cast<std::uint64_t>(Metric(metrics, "lampd_journal_written_bytes_total"));
  run.records = static_cast<std::uint64_t>(Metric(metrics, "lampd_journal_records_total"));
  return lampd.Stop() == 0;
}

// Milliseconds a page of GET /api/events took, median of 20.
double PageMilliseconds(const std::string& query) {
  std::vector<double> times;
  for (int i = 0; i < 20; ++i) {
    const auto start = Clock::now();
    const auto reply = lamptest::Http("GET", "/api/events" + query);
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (reply.status != 200) return 1e9;
  }
  return lampbench::Percentile(times, 0.5);
}

}  // namespace

int main(int argc, char** argv) {
  if (!lamptest::InsidePrivateNetwork()) return 3;
  const lamptest::ScratchFolder scratch;  // its state files and journals go with it
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  lamptest::Broker broker;
  lamptest::LampUnitProcess units(
      {"--address", "192.168.20.1", "--count", std::to_string(kUnits), "--no-udp"});
  if (!broker.Ready() || !units.Ready()) return 1;

  const std::string journal = lamptest::OwnFile("journal.jsonl");
  Run on, off;
  if (!Drive(journal, seconds, on) || !Drive("", seconds, off)) return 1;
  const double bytesPerRecord = on.records ? static_cast<double>(on.bytes) / on.records : 0;

  // A million records, then pages of them read back through lampd.
  const std::string big = lamptest::OwnFile("million.jsonl");
  {
    lampd::Journal writer({big, 64u << 20, 10});
    std::string note, error;
    if (!writer.Open(note, error)) return 1;
    const auto at = lampd::WallClock::now() - 24h;
    for (std::uint64_t i = 0; i < kRecords; ++i) {
      writer.Add({.at = at + std::chrono::milliseconds(i * 80),
                  .unit = "u" + std::to_string(i % kUnits),
                  .kind = i % 3 == 0   ? "lease-taken"
                          : i % 3 == 1 ? "ack"
                                       : "lease-cleared",
                  .origin = "mqtt",
                  .source = "andon",
                  .what = {1, 0x64, 0x64, 0x64, 0x64, 2},
                  .leases = {i / 3}});
      if (i % 1000 == 999 && !writer.Flush(error)) return 1;
    }
    if (!writer.Flush(error)) return 1;
  }
  double newest = 0, deep = 0, oneUnit = 0;
  {
    std::string config =
        "name = \"bench\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\n[http]\nlisten = "
        "\"127.0.0.1:9730\"\n[journal]\npath = \"" +
        big + "\"\nmax_size = \"64MB\"\n";
    lamptest::LampdProcess lampd(config, "reader");
    if (!lamptest::WaitUntil(
            [] { return lamptest::Http("GET", "/api/events?limit=1").status == 200; }, 30s)) {
      return 1;
    }
    newest = PageMilliseconds("?limit=100");
    deep = PageMilliseconds("?limit=100&before=500000");
    oneUnit = PageMilliseconds("?limit=100&unit=u17&kind=ack");
  }
  std::uintmax_t onDisk = 0;
  for (const auto& file : lampd::JournalFiles({big, 64u << 20, 10})) {
    if (std::filesystem::exists(file)) onDisk += std::filesystem::file_size(file);
    std::filesystem::remove(file);
  }

  std::printf(
      "lampd's journal, %d units polled every second, a lease taken and cleared every "
      "10 ms for %d s\n",
      kUnits, seconds);
  std::printf("  processor time: %.2f s with the journal, %.2f s without (%.2fx, goal 1.10x)\n",
              on.cpu, off.cpu, on.cpu / off.cpu);
  std::printf("  %llu records, %llu bytes: %.0f bytes a record\n",
              static_cast<unsigned long long>(on.records),
              static_cast<unsigned long long>(on.bytes), bytesPerRecord);
  std::printf(
      "  GET /api/events over %llu records (%.0f MB): a page of 100, median of 20: newest %.1f "
      "ms, from the middle %.1f ms, one unit's acks %.1f ms (goal 50 ms)\n",
      static_cast<unsigned long long>(kRecords), onDisk / 1e6, newest, deep, oneUnit);
  const bool met = on.cpu / off.cpu <= 1.10 && newest <= 50 && deep <= 50;
  std::printf("goals %s\n", met ? "met" : "NOT met");
  return met ? 0 : 1;
}
