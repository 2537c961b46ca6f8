// The simulated unit driven hard, as an attacker or a load would: at its
// descriptor limit, with idle and half-open connections, more connections
// than it keeps, and a log that nobody reads. Each time it must stay calm
// and serve a well-behaved client again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "net/socket_layer.h"
#include "net/tcp_exchanges.h"

namespace {

using lamptest::LampUnitProcess;
using namespace std::chrono_literals;

const auto kUnit = platform::SocketAddress::FromDottedText("192.168.10.200", 20000);
const std::vector<std::uint8_t> kStatusFrame = {'R', 0, 0, 0x64, 0x64, 0x64, 0x64, 0x64};

// A connection to the unit that says nothing (or `bytes`) and stays.
platform::Socket Hold(const std::vector<std::uint8_t>& bytes = {}) {
  platform::Socket socket = platform::Socket::OpenStream();
  socket.StartConnect(kUnit);
  if (!socket.WaitConnected(2s)) return {};
  if (!bytes.empty()) socket.Send(bytes);
  return socket;
}

// True when the unit closed `socket` within `limit`.
bool ClosedByUnit(platform::Socket& socket, std::chrono::milliseconds limit) {
  socket.SetReceiveTimeout(limit);
  std::uint8_t area[64];
  platform::SocketAddress from;
  for (;;) {
    const long got = socket.ReceiveFrom(area, from);
    if (got == 0) return true;
    if (got < 0) return socket.LastError() == std::errc::connection_reset;
  }
}

// Whether a well-behaved client gets the unit's state.
bool Answered(int clients = 1) {
  std::vector<platform::TcpExchange> exchanges(clients, {kUnit, kStatusFrame});
  platform::TcpExchangeLimits limits;
  limits.reply = 2000ms;
  for (const auto& result : platform::RunTcpExchanges(exchanges, limits)) {
    if (!result.ok) return false;
  }
  return true;
}

TEST(UnitUnderAbuse, AtItsDescriptorLimitItWaitsCalmlyAndServesAgain) {
  LampUnitProcess unit({"--max-connections", "1000", "--idle-timeout", "600000"},
                       {"/usr/bin/prlimit", "--nofile=40:40", "--"});
  ASSERT_TRUE(unit.Ready());
  std::vector<platform::Socket> held;
  for (int i = 0; i < 60; ++i) held.push_back(Hold());  // the kernel queues what it cannot take
  ASSERT_TRUE(unit.WaitForLine("tcp cannot accept: too many open files; waiting", 5s));

  const double before = lamptest::CpuSeconds(unit.Pid());
  std::this_thread::sleep_for(1s);  // the span over which it must stay idle
  const double spent = lamptest::CpuSeconds(unit.Pid()) - before;
  EXPECT_LT(spent, 0.3) << "the unit spun while it could not accept";

  held.clear();  // descriptors come free as the unit sees the connections go
  EXPECT_TRUE(Answered());
}

TEST(UnitUnderAbuse, IdleAndHalfOpenConnectionsAreClosed) {
  LampUnitProcess unit({"--idle-timeout", "300"});
  ASSERT_TRUE(unit.Ready());
  platform::Socket silent = Hold();
  platform::Socket halfFrame = Hold({'R', 0, 0, 0x64, 0x64, 0x64, 0x64});  // 7 of 8 bytes
  platform::Socket served = Hold(kStatusFrame);
  double seconds = 0;
  bool closed = false;
  seconds = lamptest::SecondsOf([&] { closed = ClosedByUnit(halfFrame, 5000ms); });
  EXPECT_TRUE(closed);
  EXPECT_GE(seconds, 0.2);
  EXPECT_LT(seconds, 3.0);
  EXPECT_TRUE(ClosedByUnit(silent, 5000ms));
  EXPECT_TRUE(ClosedByUnit(served, 5000ms));  // its reply, then nothing more
  EXPECT_TRUE(unit.WaitForLine("closed: no complete frame within 300 ms", 1s));
  EXPECT_TRUE(Answered());
}

TEST(UnitUnderAbuse, AUnitKeepsABoundedNumberOfConnections) {
  LampUnitProcess unit({"--max-connections", "4", "--idle-timeout", "600000"});
  ASSERT_TRUE(unit.Ready());
  // Four connections that say nothing: each newcomer makes room for itself.
  std::vector<platform::Socket> held;
  for (int i = 0; i < 4; ++i) {
    const std::size_t seen = unit.Lines().size();
    held.push_back(Hold());
    ASSERT_TRUE(unit.WaitForLine("tcp accept", 2s, seen));
  }
  EXPECT_TRUE(Answered());
  EXPECT_TRUE(ClosedByUnit(held.front(), 2000ms));  // the one idle the longest
  EXPECT_TRUE(unit.WaitForLine("closed to make room (4 connections open)", 1s));
  EXPECT_TRUE(Answered(3));  // three more idle ones make room in turn

  // Four busy with a frame under way: the newcomer is turned away instead.
  held.clear();
  for (int i = 0; i < 4; ++i) {
    const std::size_t seen = unit.Lines().size();
    held.push_back(Hold({'R', 0, 0}));
    ASSERT_TRUE(unit.WaitForLine("tcp accept", 2s, seen));
  }
  EXPECT_FALSE(Answered());
  EXPECT_TRUE(unit.WaitForLine("turned away (4 connections open)", 1s));
}

TEST(UnitUnderAbuse, AJunkFloodOverMoreConnectionsThanItKeepsEndsWithTheAbuse) {
  LampUnitProcess unit({"--max-connections", "8"});
  ASSERT_TRUE(unit.Ready());
  // Twelve connections stream junk as fast as the unit takes it, for two
  // seconds, then fall silent and stay.
  std::vector<platform::Socket> flooders;
  for (int i = 0; i < 12; ++i) {
    flooders.push_back(Hold());
    flooders.back().SetNonBlocking(true);
  }
  std::vector<std::uint8_t> junk(16384);
  for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<std::uint8_t>(i * 37 + 11);
  const auto floodEnd = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < floodEnd) {
    for (platform::Socket& flooder : flooders) {
      if (flooder) flooder.Send(junk);
    }
  }
  // As soon as the abuse ends the unit serves, and then rests.
  EXPECT_TRUE(Answered());
  const double before = lamptest::CpuSeconds(unit.Pid());
  std::this_thread::sleep_for(1s);  // the span over which it must stay idle
  EXPECT_LT(lamptest::CpuSeconds(unit.Pid()) - before, 0.3)
      << "the unit still works through the flood";
  EXPECT_TRUE(Answered());
}

TEST(UnitUnderAbuse, ALogNobodyReadsNeitherStopsTheUnitNorHidesTheLoss) {
  // Standard output into a pipe the test leaves full for a while.
  int log[2];
  ASSERT_EQ(::pipe2(log, O_CLOEXEC), 0);
  const pid_t pid = lamptest::SpawnProgram({LAMPUNIT_PATH}, {}, false, {{log[1], STDOUT_FILENO}});
  ::close(log[1]);
  ASSERT_GT(pid, 0);
  std::string seen;
  auto readSome = [&](std::chrono::milliseconds limit) {
    pollfd watch{log[0], POLLIN, 0};
    char chunk[65536];
    if (::poll(&watch, 1, static_cast<int>(limit.count())) <= 0) return false;
    const ssize_t got = ::read(log[0], chunk, sizeof chunk);
    if (got > 0) seen.append(chunk, got);
    return got > 0;
  };
  while (seen.find("] ready,") == std::string::npos && readSome(10s)) {
  }
  ASSERT_NE(seen.find("] ready,"), std::string::npos);

  // Some 4,000 exchanges log about 1.5 MB: the pipe fills, then the queue.
  for (int round = 0; round < 100; ++round) ASSERT_TRUE(Answered(40)) << "round " << round;

  // Read what there is; the next line says how many were dropped.
  while (readSome(200ms)) {
  }
  EXPECT_TRUE(Answered());
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (seen.find("lines dropped: nobody read the log in time") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    readSome(200ms);
  }
  EXPECT_NE(seen.find("lines dropped: nobody read the log in time"), std::string::npos);
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  ::close(log[0]);
}

}  // namespace
