// The event loop and the exchanges on it, in process: timers, descriptors,
// work posted from other threads, and many lamp exchanges at once against
// simulated units on the private network.
#include "net/event_loop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "lamp_unit_process.h"
#include "net/tcp_exchanges.h"
#include "protocol/lamp_frame.h"

namespace {

using namespace std::chrono_literals;
using platform::EventLoop;

TEST(EventLoop, TimersRunInTheirOrderAndACancelledOneNever) {
  EventLoop loop;
  ASSERT_TRUE(loop);
  std::string ran;
  // Offsets from one instant: a busy machine may pause between two lines.
  const auto start = EventLoop::Clock::now();
  loop.At(start + 30ms, [&] { ran += 'a'; });
  loop.At(start + 10ms, [&] { ran += 'b'; });
  const auto cancelled = loop.At(start + 20ms, [&] { ran += 'x'; });
  loop.At(start, [&] {
    ran += 'c';
    loop.After(0ms, [&] { ran += 'd'; });  // set from a timer: still runs
  });
  loop.Cancel(cancelled);
  loop.RunUntilIdle();
  // In the order they were due; the one set from a timer ran too (where it
  // falls among the others depends on how busy the machine is).
  EXPECT_EQ(ran.size(), 4u) << ran;
  EXPECT_LT(ran.find('c'), ran.find('b')) << ran;
  EXPECT_LT(ran.find('b'), ran.find('a')) << ran;
  EXPECT_LT(ran.find('c'), ran.find('d')) << ran;
  EXPECT_EQ(ran.find('x'), std::string::npos) << ran;
}

TEST(EventLoop, AHandlerMayUnwatchItselfAndOthersReadyInTheSameTurn) {
  EventLoop loop;
  int first[2], second[2];
  ASSERT_EQ(::pipe(first), 0);
  ASSERT_EQ(::pipe(second), 0);
  ASSERT_EQ(::write(first[1], "x", 1), 1);
  ASSERT_EQ(::write(second[1], "y", 1), 1);
  int calls = 0;
  auto dropBoth = [&](short revents) {
    EXPECT_TRUE(revents & POLLIN);
    ++calls;
    loop.Unwatch(first[0]);
    loop.Unwatch(second[0]);
  };
  ASSERT_TRUE(loop.Watch(first[0], POLLIN, dropBoth));
  ASSERT_TRUE(loop.Watch(second[0], POLLIN, dropBoth));
  loop.RunUntilIdle();  // both were ready; the one that ran first dropped the other
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(loop.Watched(), 0u);
  for (int fd : {first[0], first[1], second[0], second[1]}) ::close(fd);
}

TEST(EventLoop, WorkPostedFromOtherThreadsRunsOnTheLoopInTheOrderPosted) {
  EventLoop loop;
  std::atomic<bool> running{false};
  std::thread::id loopThread;
  std::thread serving([&] {
    loopThread = std::this_thread::get_id();
    loop.Post([&] { running = true; });
    loop.Run();
  });
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::vector<int>> seen(kThreads);  // touched only on the loop's thread
  bool allOnLoop = true;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        loop.Post([&, t, i] {
          allOnLoop = allOnLoop && std::this_thread::get_id() == loopThread;
          seen[t].push_back(i);
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  loop.Post([&] { loop.Stop(); });
  serving.join();
  EXPECT_TRUE(running);
  EXPECT_TRUE(allOnLoop);
  for (const auto& numbers : seen) {
    ASSERT_EQ(numbers.size(), static_cast<std::size_t>(kEach));
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
  }
}

TEST(EventLoop, StopFromAnotherThreadEndsRunThoughTimersRemain) {
  EventLoop loop;
  loop.After(1h, [] {});
  std::atomic<bool> started{false};
  loop.Post([&] { started = true; });
  std::thread stopper([&] {
    while (!started) std::this_thread::yield();
    loop.Stop();
  });
  loop.Run();  // returns, or ctest's time-out says it did not
  stopper.join();
  EXPECT_TRUE(started);
}

TEST(TcpExchangeClient, KeepsToItsBoundAndAnswersEachFromTheLoop) {
  lamptest::LampUnitProcess units({"--address", "192.168.30.1", "--count", "6", "--no-udp"});
  ASSERT_TRUE(units.Ready());
  EventLoop loop;
  platform::TcpExchangeLimits limits;
  limits.parallel = 2;
  platform::TcpExchangeClient client(loop, limits);
  const auto frame = protocol::StatusRequest(0);
  std::vector<platform::TcpExchangeResult> results(7);
  bool inStart = false, calledInStart = false;
  std::size_t mostRunning = 0;
  for (int i = 0; i < 7; ++i) {
    // Six units, then an address where nothing listens.
    const auto to = platform::SocketAddress::FromBytes(
        std::array<std::uint8_t, 4>{192, 168, 30, static_cast<std::uint8_t>(1 + i)}, 20000);
    inStart = true;
    client.Start({to, {frame.begin(), frame.end()}}, [&, i](const auto& result) {
      calledInStart = calledInStart || inStart;
      mostRunning = std::max(mostRunning, client.Running());
      results[i] = result;
    });
    inStart = false;
  }
  EXPECT_EQ(client.Running(), 2u);
  EXPECT_EQ(client.Waiting(), 5u);
  loop.RunUntilIdle();
  EXPECT_FALSE(calledInStart);
  EXPECT_LE(mostRunning, 2u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(results[i].ok) << i << ": " << results[i].Reason();
    EXPECT_EQ(results[i].reply.size(), 8u);
    EXPECT_EQ(results[i].reply[0], 'R');
  }
  EXPECT_FALSE(results[6].ok);
  EXPECT_EQ(results[6].Reason(), "no connection within 1 s: connection refused");
}

}  // namespace
