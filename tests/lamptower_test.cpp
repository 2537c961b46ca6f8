// The tower on the offscreen platform, serving real sockets on the private
// network: what a unit applies is drawn at once, a status read answers what
// is drawn, blinking lamps blink together, and a thousand units fit in a
// scrolling grid.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QScrollBar>

#include "child_process.h"
#include "lamptower/tower_window.h"
#include "net/tcp_exchanges.h"

namespace {

using namespace std::chrono_literals;
constexpr std::uint8_t D = protocol::kLeaveUnchanged;

// One frame to the unit at `address`; its reply.
protocol::LampFrame Exchange(const std::string& address, std::vector<std::uint8_t> frame) {
  const auto results = platform::RunTcpExchanges(
      {{platform::SocketAddress::FromDottedText(address, 20000), frame}}, {});
  EXPECT_TRUE(results[0].ok) << address;
  protocol::LampFrame reply{};
  if (results[0].ok) std::copy(results[0].reply.begin(), results[0].reply.end(), reply.begin());
  return reply;
}

// Lets the window's events run until `done` holds, for `limit` at most.
template <typename Condition>
bool Until(Condition done, std::chrono::milliseconds limit = 5000ms) {
  QElapsedTimer waited;
  waited.start();
  while (!done() && waited.elapsed() < limit.count()) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return done();
}

bool Lit(const QImage& picture, const QRect& lamp) {
  const QColor middle = picture.pixelColor(lamp.center());
  return std::max({middle.red(), middle.green(), middle.blue()}) > 180;
}

class TowerTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(tower.Start(error)) << error;
    tower.show();
  }
  QImage Picture() { return tower.View().grab().toImage(); }

  lampunit::UnitOptions options;  // one unit at 192.168.10.200, model 0
  lamptower::TowerWindow tower{options};
};

TEST_F(TowerTest, WhatTheUnitAppliesIsDrawnAndAStatusReadAnswersIt) {
  QImage picture = Picture();
  for (int lamp = 0; lamp < 5; ++lamp) EXPECT_FALSE(Lit(picture, tower.View().LampRect(0, lamp)));

  Exchange("192.168.10.200", {'W', 0, 1, D, D, 1, D, 4});  // red and blue on, sound 4
  ASSERT_TRUE(Until([&] { return tower.View().DrawnState(0)[2] == 1; }));
  picture = Picture();
  EXPECT_TRUE(Lit(picture, tower.View().LampRect(0, 0)));   // red
  EXPECT_FALSE(Lit(picture, tower.View().LampRect(0, 1)));  // yellow
  EXPECT_TRUE(Lit(picture, tower.View().LampRect(0, 3)));   // blue
  EXPECT_EQ(picture.pixelColor(tower.View().LampRect(0, 0).center()).red() > 200, true);

  Exchange("192.168.10.200", {'W', 0, 0, 2, D, D, D, D});  // red off, yellow blinking
  const protocol::LampFrame read = Exchange("192.168.10.200", {'R', 0, 0, D, D, D, D, D});
  ASSERT_TRUE(Until([&] { return tower.View().DrawnState(0)[3] == 2; }));
  const protocol::LampFrame& drawn = tower.View().DrawnState(0);
  EXPECT_TRUE(std::equal(read.begin() + 2, read.end(), drawn.begin() + 2));
  EXPECT_EQ(read[protocol::kSoundByte], 4);
}

TEST_F(TowerTest, BlinkingLampsBlinkTogetherAboutOnceASecond) {
  Exchange("192.168.10.200", {'W', 0, 2, D, D, D, 2, D});  // red and white blinking
  ASSERT_TRUE(Until([&] { return tower.View().DrawnState(0)[6] == 2; }));
  // Watch two changes of the blink and the lamps with them.
  std::vector<QElapsedTimer> changes;
  QElapsedTimer watching;
  watching.start();
  bool lit = tower.View().BlinkLit();
  while (changes.size() < 2 && watching.elapsed() < 5000) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    if (tower.View().BlinkLit() == lit) continue;
    lit = !lit;
    const QImage picture = Picture();
    EXPECT_EQ(Lit(picture, tower.View().LampRect(0, 0)), lit);
    EXPECT_EQ(Lit(picture, tower.View().LampRect(0, 4)), lit);  // in phase with red
    changes.emplace_back();
    changes.back().start();
  }
  ASSERT_EQ(changes.size(), 2u);
  const double halfPeriod = static_cast<double>(changes[0].elapsed() - changes[1].elapsed()) / 1e3;
  EXPECT_GE(halfPeriod, 0.3);  // 1 Hz: half a second lit, half dark
  EXPECT_LE(halfPeriod, 1.5);
}

TEST(TowerGrid, AThousandUnitsShrinkIntoAScrollingGrid) {
  lampunit::UnitOptions options;
  options.address = "192.168.50.1";
  options.count = 1000;
  options.udp = false;
  lamptower::TowerWindow tower(options);
  std::string error;
  ASSERT_TRUE(tower.Start(error)) << error;
  tower.resize(800, 600);
  tower.show();
  ASSERT_TRUE(Until([&] { return tower.verticalScrollBar()->maximum() > 0; }));
  EXPECT_LT(tower.View().CellRect(0).width(), 150);  // the compact tower
  EXPECT_EQ(tower.View().UnitCount(), 1000);

  // The last unit, far down the grid, takes its state like the first.
  const auto last = "192.168.53.232";  // 192.168.50.1 + 999
  Exchange(last, {'W', 0, D, D, 1, D, D, D});
  ASSERT_TRUE(Until([&] { return tower.View().DrawnState(999)[4] == 1; }));
  tower.ensureVisible(0, tower.View().CellRect(999).bottom());
  const double seconds = lamptest::SecondsOf([&] { tower.grab(); });
  EXPECT_LT(seconds, 3.0);  // a frame of the grid, never all thousand towers
  EXPECT_TRUE(Lit(tower.View().grab(tower.View().CellRect(999)).toImage(),
                  tower.View().LampRect(999, 2).translated(-tower.View().CellRect(999).topLeft())));
}

}  // namespace
