// lampctl as a user runs it: one `lampctl status` as a whole process
// against a unit (median of 20), beside the 100 ms that Tcp_Orvik_RW pauses
// before every receive; and `lampctl poll` of 1000 units beside the same
// units asked one Tcp_Orvik_RW after another (timed for 20 of them and
// scaled, since the whole would take minutes). Run through scripts/bench.
#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "lamplink.h"
#include "private_network.h"

namespace {

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// The address of unit i of a --count run from 192.168.20.1.
std::array<std::uint8_t, 4> UnitAddress(int i) {
  const int host = 1 + i;
  return {192, 168, static_cast<std::uint8_t>(20 + host / 256),
          static_cast<std::uint8_t>(host % 256)};
}

}  // namespace

int main() {
  if (!lamptest::InsidePrivateNetwork()) return 3;
  bool met = true;

  {
    lamptest::LampUnitProcess unit({});
    if (!unit.Ready()) return 1;
    std::vector<double> seconds;
    int failed = 0;
    for (int i = 0; i < 20; ++i) {
      lamptest::ProgramRun run;
      seconds.push_back(lamptest::SecondsOf([&] {
        run = lamptest::RunProgram({LAMPCTL_PATH, "status", "192.168.10.200"}, {});
      }));
      failed += run.status != 0;
    }
    const double median = Median(seconds);
    std::printf("lampctl status, whole process, 20 runs (%d failed)\n", failed);
    std::printf("  median %.1f ms, min %.1f, max %.1f; goal 40 ms at most\n", median * 1e3,
                *std::min_element(seconds.begin(), seconds.end()) * 1e3,
                *std::max_element(seconds.begin(), seconds.end()) * 1e3);
    std::printf("  Tcp_Orvik_RW cannot go under its 100 ms pause: ratio %.2f\n", median / 0.100);
    met = met && failed == 0 && median <= 0.040;
  }

  {
    constexpr int kUnits = 1000;
    lamptest::LampUnitProcess units(
        {"--address", "192.168.20.1", "--count", std::to_string(kUnits), "--no-udp"});
    if (!units.Ready()) return 1;
    const std::string list = "/tmp/lampctl-bench-units.txt";
    {
      std::ofstream file(list);
      for (int i = 0; i < kUnits; ++i) {
        const auto a = UnitAddress(i);
        file << int{a[0]} << '.' << int{a[1]} << '.' << int{a[2]} << '.' << int{a[3]} << '\n';
      }
    }
    lamptest::ProgramRun run;
    const double pollSeconds = lamptest::SecondsOf([&] {
      run = lamptest::RunProgram({LAMPCTL_PATH, "poll", "--from", list, "--json"}, {});
    });
    const auto polled = nlohmann::json::parse(run.out, nullptr, false);
    const auto answered = polled.is_array()
                              ? std::count_if(polled.begin(), polled.end(),
                                              [](const auto& unit) { return unit["ok"] == true; })
                              : 0;
    std::remove(list.c_str());

    constexpr int kSampled = 20;
    const double sampleSeconds = lamptest::SecondsOf([&] {
      for (int i = 0; i < kSampled; ++i) {
        auto address = UnitAddress(i);
        std::array<std::uint8_t, 8> frame = {0, 0, 0, 0x64, 0x64, 0x64, 0x64, 0x64};
        Tcp_Orvik_RW(20000, address.data(), frame.data());
      }
    });
    const double oneAfterAnother = sampleSeconds / kSampled * kUnits;
    std::printf("\nlampctl poll of %d units (exit %d, %d answered)\n", kUnits, run.status,
                static_cast<int>(answered));
    std::printf("  %.3f s; goal 1 s at most\n", pollSeconds);
    std::printf("  one Tcp_Orvik_RW after another: %.1f s (%d timed, scaled); ratio %.1f\n",
                oneAfterAnother, kSampled, oneAfterAnother / pollSeconds);
    met = met && run.status == 0 && pollSeconds <= 1.0;
  }
  std::printf("\ngoals %s\n", met ? "met" : "NOT met");
  return met ? 0 : 1;
}
