// Time of one Tcp_Orvik_RW against the simulated unit, beside the 100 ms
// floor that the pause before the receive sets, and the time of a call that
// nobody answers, beside the 1 s connect bound; then the same call of
// LampLink.dll from a Windows program under Wine, where the Windows tree
// and its Wine prefix are built. Run through scripts/bench.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
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

// The same calls from lamplink_caller.exe under Wine: the time each call
// took as the Windows program measured it (QueryPerformanceCounter), in
// seconds; empty where there is no Windows tree.
std::vector<double> TimeCallsUnderWine(int count, int& successes) {
  const std::string tree = WINDOWS_TREE;
  std::vector<double> seconds;
  successes = 0;
  if (!std::filesystem::exists(tree + "/wine-prefix/system.reg")) return seconds;
  const std::vector<std::string> environment = {"WINEPREFIX=" + tree + "/wine-prefix",
                                                "WINEDEBUG=-all", "DISPLAY="};
  const auto quietly = [&](const std::vector<std::string>& arguments) {
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = lamptest::SpawnProgram(arguments, environment, false,
                                             {{null, STDOUT_FILENO}, {null, STDERR_FILENO}});
    ::close(null);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
  };
  quietly({"/usr/lib/wine/wineserver", "-p"});
  quietly({"/usr/lib/wine/wine64", "cmd.exe", "/c", "exit"});
  for (int i = 0; i < count; ++i) {
    const auto run =
        lamptest::RunProgram({"/usr/lib/wine/wine64", tree + "/bin/lamplink_caller.exe", "20000",
                              "192.168.10.200", "0000006464646464"},
                             environment);
    int result = 0;
    double ms = 0;
    if (std::sscanf(run.out.c_str(), "result %d frame %*x %*x %*x %*x %*x %*x %*x %*x ms %lf",
                    &result, &ms) == 2) {
      successes += result;
      seconds.push_back(ms / 1e3);
    }
  }
  quietly({"/usr/lib/wine/wineserver", "-k"});
  return seconds;
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
  int underWine = 0;
  const auto wineTimes = TimeCallsUnderWine(calls, underWine);
  if (!wineTimes.empty()) {
    const Spread wine = SpreadOf(wineTimes), native = SpreadOf(answeredTimes);
    std::printf("\nLampLink.dll under Wine, %d calls from a Windows program (%d succeeded)\n",
                calls, underWine);
    Print("answered exchange (Wine)", wine, 0.100, "pause floor");
    std::printf("%-28s median under Wine / on Linux: %.3f\n", "", wine.median / native.median);
  } else {
    std::printf("\n(no Windows tree or Wine prefix: scripts/build --windows, then scripts/test)\n");
  }
  return answered == calls && unanswered == 0 && (wineTimes.empty() || underWine == calls) ? 0 : 1;
}
