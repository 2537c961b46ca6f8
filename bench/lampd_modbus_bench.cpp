// lampd as a PLC drives it, beside the polling of 2,000 simulated units on a
// real broker: a write to a slot every 10 ms for 10 s, each answered and
// then a frame at the slot's unit (timed at a unit of the benchmark's own); requests one client has
// answered a second, one after the other; and lampd's processor time with the PLC writing beside
// the same polling without it. Run through scripts/bench, inside a private network.
#include <modbus/modbus.h>

#include <cstdio>
#include <thread>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "lampd_fleet.h"
#include "mqtt_test.h"
#include "private_network.h"
#include "timed_unit.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kUnits = 2000;

}  // namespace

int main() {
  if (!lamptest::InsidePrivateNetwork()) return 3;
  lamptest::Broker broker;
  lamptest::LampUnitProcess units(
      {"--address", "192.168.20.1", "--count", std::to_string(kUnits), "--no-udp"});
  lampbench::TimedUnit tower("192.168.30.1");
  if (!broker.Ready() || !units.Ready() || !tower.Ready()) return 1;
  std::string config =
      "name = \"bench\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\n[fleet]\npoll_every = \"1s\"\n"
      "[http]\nlisten = \"127.0.0.1:9730\"\n[modbus]\nlisten = \"127.0.0.1:1502\"\n"
      "[modbus.slots]\n1 = \"plc-tower\"\n[[unit]]\nid = \"plc-tower\"\naddress = "
      "\"192.168.30.1:20000\"\n";
  config += lampbench::FleetUnitTables(kUnits);
  lamptest::LampdProcess lampd(config, "bench");
  // Slot 0 tells how many units are online.
  modbus_t* plc = modbus_new_tcp("127.0.0.1", 1502);
  std::uint16_t status[2] = {};
  const bool online = lamptest::WaitUntil(
      [&] {
        if (modbus_connect(plc) != 0) return false;
        const bool all =
            modbus_read_input_registers(plc, 0, 2, status) == 2 && status[1] == kUnits + 1;
        if (!all) modbus_close(plc);
        return all;
      },
      90s);
  if (!online) {
    std::fprintf(stderr, "the fleet did not come online: %u of %u\n%s", status[1], status[0],
                 lampd.Log().c_str());
    return 1;
  }

  // lampd polling alone, then with the PLC writing every 10 ms.
  double before = lamptest::CpuSeconds(lampd.Pid());
  std::this_thread::sleep_for(10s);
  const double alone = lamptest::CpuSeconds(lampd.Pid()) - before;

  before = lamptest::CpuSeconds(lampd.Pid());
  std::vector<Clock::time_point> asked, answered;
  int failed = 0;
  const auto start = Clock::now();
  for (int i = 0; Clock::now() < start + 10s; ++i) {
    const auto due = start + i * 10ms;
    std::this_thread::sleep_until(due);
    // Red on and off in turn: every write changes what the unit shows.
    asked.push_back(Clock::now());
    if (modbus_write_register(plc, 16, static_cast<std::uint16_t>(i % 2)) != 1) ++failed;
    answered.push_back(Clock::now());
  }
  std::this_thread::sleep_for(500ms);
  const double writing = lamptest::CpuSeconds(lampd.Pid()) - before;
  // Each write's frame: the first stamped after the write was asked for. The
  // frame may come before the PLC has read its answer: then 0 from the answer.
  const auto frames = tower.Writes();
  std::vector<double> latencies, beforeAnswer;
  std::size_t next = 0;
  for (std::size_t i = 0; i < asked.size(); ++i) {
    while (next < frames.size() && frames[next] < asked[i]) ++next;
    if (next == frames.size()) break;
    const double late = std::chrono::duration<double>(frames[next++] - answered[i]).count();
    latencies.push_back(std::max(0.0, late));
    if (late < 0) beforeAnswer.push_back(late);
  }

  // Requests one client has answered, back to back.
  std::uint16_t registers[9];
  int reads = 0;
  const auto readStart = Clock::now();
  while (Clock::now() < readStart + 3s) {
    if (modbus_read_input_registers(plc, 16, 9, registers) == 9) ++reads;
  }
  const double perSecond = reads / std::chrono::duration<double>(Clock::now() - readStart).count();
  modbus_close(plc);
  modbus_free(plc);

  const double median = latencies.empty() ? 99 : lampbench::Percentile(latencies, 0.5),
               p99 = latencies.empty() ? 99 : lampbench::Percentile(latencies, 0.99);
  std::printf("lampd, %d units polled every second: Modbus TCP\n", kUnits);
  std::printf(
      "  a write every 10 ms for 10 s: %zu answered, %d failed, %zu frames; answer to frame: "
      "median %.2f ms, p99 %.2f ms (goal 2 ms / 10 ms); %zu frames came before the PLC had "
      "its answer\n",
      answered.size(), failed, latencies.size(), median * 1e3, p99 * 1e3, beforeAnswer.size());
  std::printf("  one client's reads, back to back: %.0f answered a second (goal 5000)\n",
              perSecond);
  std::printf(
      "  lampd's processor time over 10 s: %.2f s polling alone, %.2f s with the PLC writing "
      "(%.2fx)\n",
      alone, writing, writing / alone);
  const bool met = failed == 0 && median <= 0.002 && p99 <= 0.010 && perSecond >= 5000;
  std::printf("goals %s\n", met ? "met" : "NOT met");
  return met ? 0 : 1;
}
