// Time of one Tcp_Orvik_RW against the simulated unit, beside the 100 ms
// floor that the pause before the receive sets, and the time of a call that
// nobody answers, beside the 1 s connect bound. Run through scripts/bench.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "lamp_unit_process.h"
#include "lamplink.h"
#include "private_network.h"

namespace {

struct Spread {
  double median, p10, p90, min, max;
};

Spread SpreadOf(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) { return samples[static_cast<std::size_t>(q * (samples.size() - 1))]; };
  return {at(0.5), at(0.1), at(0.9), samples.front(), samples.back()};
}

std::vector<double> TimeCalls(int count, std::int32_t port, std::array<std::uint8_t, 4> address,
                              int& successes) {
  std::vector<double> seconds;
  successes = 0;
  for (int i = 0; i < count; ++i) {
    std::array<std::uint8_t, 8> frame = {0, 0, 0, 0x64, 0x64, 0x64, 0x64, 0x64};
    std::uint8_t result = 0;
    seconds.push_back(
        lamptest::SecondsOf([&] { result = Tcp_Orvik_RW(port, address.data(), frame.data()); }));
    successes += result;
  }
  return seconds;
}

void Print(const char* what, const Spread& spread, double bound, const char* boundName) {
  std::printf("%-28s median %7.1f ms  p10 %7.1f  p90 %7.1f  min %7.1f  max %7.1f\n", what,
              spread.median * 1e3, spread.p10 * 1e3, spread.p90 * 1e3, spread.min * 1e3,
              spread.max * 1e3);
  std::printf("%-28s %s %.0f ms; median above it %.2f ms (ratio %.3f)\n", "", boundName,
              bound * 1e3, (spread.median - bound) * 1e3, spread.median / bound);
}

}  // namespace

int main() {
  if (!lamptest::InsidePrivateNetwork()) return 3;
  const std::array<std::uint8_t, 4> unitAddress = {192, 168, 10, 200};
  lamptest::LampUnitProcess unit({});
  if (!unit.Ready()) {
    std::fprintf(stderr, "the simulated unit did not start\n");
    return 1;
  }

  int answered = 0;
  const int calls = 60;
  auto answeredTimes = TimeCalls(calls, 20000, unitAddress, answered);
  std::printf("Tcp_Orvik_RW, %d calls to a unit that answers at once (%d succeeded)\n", calls,
              answered);
  Print("answered exchange", SpreadOf(answeredTimes), 0.100, "pause floor");

  int unanswered = 0;
  auto refusedTimes = TimeCalls(3, 20999, unitAddress, unanswered);
  std::printf("\nTcp_Orvik_RW, 3 calls where nothing listens (%d succeeded)\n", unanswered);
  Print("refused connection", SpreadOf(refusedTimes), 1.0, "connect bound");
  return answered == calls && unanswered == 0 ? 0 : 1;
}
