// A well-behaved client's reply time from the simulated unit, alone and
// while an attacker holds 1,000 idle TCP connections against it (opening
// again each one the unit closes) and floods its settings port with
// garbage. Run through scripts/bench, inside a private network.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "lamp_unit_process.h"
#include "net/socket_layer.h"
#include "net/tcp_exchanges.h"
#include "private_network.h"

namespace {

using namespace std::chrono_literals;

const auto kUnit = platform::SocketAddress::FromDottedText("192.168.10.200", 20000);

struct Figures {
  double median, p90, max;
  int failed;
  std::string firstFailure;
};

// `count` exchanges one after another, as a client polling a unit does.
Figures Client(int count) {
  std::vector<double> seconds;
  int failed = 0;
  std::string firstFailure;
  const std::vector<std::uint8_t> status = {'R', 0, 0, 0x64, 0x64, 0x64, 0x64, 0x64};
  for (int i = 0; i < count; ++i) {
    const platform::TcpExchangeLimits limits;
    const auto result = platform::RunTcpExchanges({{kUnit, status}}, limits)[0];
    if (!result.ok && failed++ == 0) {
      firstFailure = result.Reason();
    }
    seconds.push_back(result.elapsed.count());
  }
  std::sort(seconds.begin(), seconds.end());
  return {seconds[seconds.size() / 2], seconds[seconds.size() * 9 / 10], seconds.back(), failed,
          firstFailure};
}

void Print(const char* what, const Figures& figures) {
  std::printf("%-44s median %6.2f ms  p90 %6.2f ms  max %7.2f ms  failed %d\n", what,
              figures.median * 1e3, figures.p90 * 1e3, figures.max * 1e3, figures.failed);
  if (figures.failed > 0) std::printf("  first failure: %s\n", figures.firstFailure.c_str());
}

}  // namespace

int main() {
  if (!lamptest::InsidePrivateNetwork()) return 3;
  platform::RaiseDescriptorLimit();
  lamptest::LampUnitProcess unit({});
  if (!unit.Ready()) return 1;

  constexpr int kExchanges = 300;
  const Figures alone = Client(kExchanges);
  Print("client alone", alone);

  std::atomic<bool> attacking{true};
  std::atomic<long> reopened{0}, datagrams{0};
  std::thread holder([&] {
    std::vector<platform::Socket> idle(1000);
    while (attacking) {
      for (auto& socket : idle) {
        // A connection the unit closed reads as ended: open it again.
        std::uint8_t byte;
        const bool gone = !socket || socket.Receive({&byte, 1}) == 0 ||
                          socket.LastError() == std::errc::connection_reset;
        if (!gone) continue;
        socket = platform::Socket::OpenStream();
        socket.SetNonBlocking(true);
        socket.StartConnect(kUnit);
        ++reopened;
      }
      std::this_thread::sleep_for(5ms);
    }
  });
  std::thread flooder([&] {
    platform::Socket sender = platform::Socket::OpenDatagram();
    const auto settingsPort = platform::SocketAddress::FromDottedText("192.168.10.200", 50000);
    std::vector<std::uint8_t> garbage(46, 0xA7);
    while (attacking) {
      if (sender.SendTo(garbage, settingsPort) > 0) ++datagrams;
    }
  });
  std::this_thread::sleep_for(1s);  // let the attack settle in
  const auto start = std::chrono::steady_clock::now();
  const Figures attacked = Client(kExchanges);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  attacking = false;
  holder.join();
  flooder.join();
  Print("client with 1000 idle connections and a flood", attacked);
  std::printf("  attacker: %ld connections opened, %ld garbage datagrams (%.0f a second)\n",
              reopened.load(), datagrams.load(), datagrams.load() / (seconds + 1.0));
  std::printf("  median under attack / alone: %.2f\n", attacked.median / alone.median);
  return attacked.failed == 0 ? 0 : 1;
}
