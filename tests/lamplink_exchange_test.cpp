// Tcp_Orvik_RW against the simulated unit on the private network.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lamp_unit_process.h"
#include "lamplink.h"
#include "net/socket_layer.h"

namespace {

using lamptest::LampUnitProcess;
using lamptest::SecondsOf;
using namespace std::chrono_literals;

using Frame = std::array<std::uint8_t, 8>;
using Address = std::array<std::uint8_t, 4>;
using Bytes = std::vector<std::uint8_t>;

constexpr Address kUnit = {192, 168, 10, 200};
constexpr std::uint8_t D = 0x64;

struct Exchange {
  std::uint8_t result;
  Frame frame;
  double seconds;
};

Exchange Send(Frame frame, std::int32_t port = 20000, Address address = kUnit) {
  std::uint8_t result = 0;
  const double seconds =
      SecondsOf([&] { result = Tcp_Orvik_RW(port, address.data(), frame.data()); });
  return {result, frame, seconds};
}

// Sets an environment variable of the preloaded socket faults for one scope.
class SocketFault {
 public:
  SocketFault(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
  ~SocketFault() { unsetenv(name_); }

 private:
  const char* name_;
};

TEST(LampExchange, WriteIsAppliedAndReadReturnsTheUnitState) {
  LampUnitProcess unit({"--model", "3"});
  ASSERT_TRUE(unit.Ready());

  Exchange write = Send({1, 3, 1, D, 2, D, D, 4});
  EXPECT_EQ(write.result, 1);
  EXPECT_EQ(write.frame, (Frame{'W', 3, 1, 0, 2, 0, 0, 4}));

  Exchange read = Send({0, 3, 0, D, D, D, D, D});
  EXPECT_EQ(read.result, 1);
  EXPECT_EQ(read.frame, (Frame{'R', 3, 1, 0, 2, 0, 0, 4}));

  EXPECT_EQ(unit.Received(),
            (std::vector<Bytes>{{'W', 3, 1, D, 2, D, D, 4}, {'R', 3, 0, D, D, D, D, D}}));
  // The pause before the receive sets the pace.
  EXPECT_GE(read.seconds, 0.09);
  EXPECT_LT(read.seconds, 3.0);
}

TEST(LampExchange, ByteZeroBecomesWOnlyForOne) {
  LampUnitProcess unit({});
  ASSERT_TRUE(unit.Ready());
  for (std::uint8_t first : {1, 0, 2, 0x57}) Send({first, 0, D, D, D, D, D, D});
  const auto received = unit.Received();
  ASSERT_EQ(received.size(), 4u);
  EXPECT_EQ(received[0][0], 'W');
  EXPECT_EQ(received[1][0], 'R');
  EXPECT_EQ(received[2][0], 'R');
  EXPECT_EQ(received[3][0], 'R');
}

TEST(LampExchange, PortUsesOnlyItsLowSixteenBits) {
  LampUnitProcess unit({"--port", "4464"});
  ASSERT_TRUE(unit.Ready());
  EXPECT_EQ(Send({0, 0, 0, D, D, D, D, D}, 70000).result, 1);
  EXPECT_EQ(unit.Received().size(), 1u);
}

struct Unconfirmed {
  const char* name;
  Address address;
  std::int32_t port;
  int reason;  // errno after the call
};

void PrintTo(const Unconfirmed& unconfirmed, std::ostream* out) { *out << unconfirmed.name; }

class LampExchangeNotConfirmed : public testing::TestWithParam<Unconfirmed> {};

// Whatever stops the connection, the call ends like a time-out: 0 after the
// full second, byte 0 rewritten, the rest of the request untouched.
TEST_P(LampExchangeNotConfirmed, GivesZeroAfterTheFullSecond) {
  errno = 0;
  Exchange exchange = Send({1, 5, 1, 2, 3, 4, 5, 6}, GetParam().port, GetParam().address);
  EXPECT_EQ(errno, GetParam().reason) << std::strerror(errno);
  EXPECT_EQ(exchange.result, 0);
  EXPECT_EQ(exchange.frame, (Frame{'W', 5, 1, 2, 3, 4, 5, 6}));
  EXPECT_GE(exchange.seconds, 0.9);
  EXPECT_LT(exchange.seconds, 3.0);
}

INSTANTIATE_TEST_SUITE_P(
    Unreachable, LampExchangeNotConfirmed,
    testing::Values(Unconfirmed{"Refused", kUnit, 20000, ECONNREFUSED},
                    Unconfirmed{"AnyAddress", {0, 0, 0, 0}, 20000, EDESTADDRREQ},
                    Unconfirmed{"NoRoute", {198, 51, 100, 7}, 20000, ENETUNREACH}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LampExchange, ListenerThatNeverCompletesTheHandshakeTimesOut) {
  // A full accept queue drops further SYNs: the connect hangs until the limit.
  LampUnitProcess unit({});
  ASSERT_TRUE(unit.Ready());
  platform::Socket listener = platform::Socket::OpenStream();
  ASSERT_TRUE(listener.Bind(platform::SocketAddress::FromDottedText("192.168.10.201", 20000)));
  ASSERT_EQ(::listen(listener.Handle(), 0), 0);
  platform::Socket filler = platform::Socket::OpenStream();
  filler.StartConnect(platform::SocketAddress::FromDottedText("192.168.10.201", 20000));
  ASSERT_TRUE(filler.WaitConnected(1s));

  errno = 0;
  Exchange exchange = Send({0, 0, 0, D, D, D, D, D}, 20000, {192, 168, 10, 201});
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_EQ(exchange.result, 0);
  EXPECT_EQ(exchange.frame, (Frame{'R', 0, 0, D, D, D, D, D}));
  EXPECT_GE(exchange.seconds, 0.9);
  EXPECT_LT(exchange.seconds, 3.0);
}

TEST(LampExchange, SilentUnitGivesOneWithTheRequestIntact) {
  LampUnitProcess unit({"--tcp-fault", "silent"});
  ASSERT_TRUE(unit.Ready());
  Exchange exchange = Send({1, 2, D, D, 1, D, D, D});
  EXPECT_EQ(exchange.result, 1);
  EXPECT_EQ(exchange.frame, (Frame{'W', 2, D, D, 1, D, D, D}));
  // 100 ms pause plus the 200 ms receive time-out.
  EXPECT_GE(exchange.seconds, 0.28);
  EXPECT_LT(exchange.seconds, 3.0);
  EXPECT_EQ(unit.Received().size(), 1u);
}

TEST(LampExchange, ReplyLaterThanTheTimeOutIsNotTaken) {
  LampUnitProcess unit({"--tcp-fault", "late:1500"});
  ASSERT_TRUE(unit.Ready());
  Exchange exchange = Send({0, 0, 0, D, D, D, D, D});
  EXPECT_EQ(exchange.result, 1);
  EXPECT_EQ(exchange.frame, (Frame{'R', 0, 0, D, D, D, D, D}));
}

TEST(LampExchange, ReplyWithinThePauseIsTaken) {
  LampUnitProcess unit({"--tcp-fault", "late:50"});
  ASSERT_TRUE(unit.Ready());
  // On a busy machine the unit's 50 ms could outlast the whole wait; the
  // receive is held until the reply is there, which is what this case is about.
  SocketFault receiveAfterReply("LAMPTEST_RECEIVE_AFTER_PEER", "1");
  Exchange exchange = Send({0, 0, 0, D, D, D, D, D});
  EXPECT_EQ(exchange.result, 1);
  EXPECT_EQ(exchange.frame, (Frame{'R', 0, 0, 0, 0, 0, 0, 0}));
}

TEST(LampExchange, ShortReplyReplacesOnlyItsBytes) {
  LampUnitProcess unit({"--tcp-fault", "short:3"});
  ASSERT_TRUE(unit.Ready());
  Exchange exchange = Send({1, 4, 2, D, D, D, D, D});
  EXPECT_EQ(exchange.result, 1);
  // Reply 'W', 0 (the unit's model), 2; bytes 3 to 7 still the request.
  EXPECT_EQ(exchange.frame, (Frame{'W', 0, 2, D, D, D, D, D}));
}

TEST(LampExchange, LongReplyFillsExactlyTheFrame) {
  LampUnitProcess unit({"--tcp-fault", "long", "--model", "7"});
  ASSERT_TRUE(unit.Ready());
  // Guard bytes around the frame would show an overrun as a changed value.
  std::array<std::uint8_t, 12> guarded = {0xA5, 0xA5, 1, 7, 1, 1, 1, 1, 1, 3, 0xA5, 0xA5};
  const Address address = kUnit;
  EXPECT_EQ(Tcp_Orvik_RW(20000, address.data(), guarded.data() + 2), 1);
  EXPECT_EQ(guarded,
            (std::array<std::uint8_t, 12>{0xA5, 0xA5, 'W', 7, 1, 1, 1, 1, 1, 3, 0xA5, 0xA5}));
}

TEST(LampExchange, UnitThatClosesAtOnceStillCountsAsConnected) {
  LampUnitProcess unit({"--tcp-fault", "close"});
  ASSERT_TRUE(unit.Ready());
  Exchange exchange = Send({1, 0, 1, D, D, D, D, D});
  EXPECT_EQ(exchange.result, 1);
  EXPECT_EQ(exchange.frame, (Frame{'W', 0, 1, D, D, D, D, D}));
}

TEST(LampExchange, RequestLostToAResetIsNoSuccess) {
  LampUnitProcess unit({"--tcp-fault", "reset"});
  ASSERT_TRUE(unit.Ready());
  // Hold the send back until the unit's reset has arrived.
  SocketFault sendAfterReset("LAMPTEST_SEND_AFTER_PEER", "1");
  errno = 0;
  Exchange exchange = Send({1, 0, 1, D, D, D, D, D});
  EXPECT_EQ(errno, ECONNRESET);
  EXPECT_EQ(exchange.result, 0);
  EXPECT_EQ(exchange.frame, (Frame{'W', 0, 1, D, D, D, D, D}));
  EXPECT_TRUE(unit.WaitForLine("tcp reset at once", 1s));
}

TEST(LampExchange, NoSocketGivesZeroAtOnce) {
  LampUnitProcess unit({});
  ASSERT_TRUE(unit.Ready());
  SocketFault noSockets("LAMPTEST_FAIL_SOCKET", "1");
  errno = 0;
  Exchange exchange = Send({0, 0, 0, D, D, D, D, D});
  EXPECT_EQ(errno, EAFNOSUPPORT);
  EXPECT_EQ(exchange.result, 0);
  EXPECT_EQ(exchange.frame, (Frame{'R', 0, 0, D, D, D, D, D}));
  EXPECT_LT(exchange.seconds, 0.5);
  EXPECT_TRUE(unit.Received().empty());
}

TEST(SocketLayer, StartsOnlyTheTwoVersionsAndOnlyWhenSocketsWork) {
  for (std::uint16_t version : {0x0101, 0x0202}) {
    platform::SocketLayerSession session(version);
    EXPECT_TRUE(session) << std::hex << version;
  }
  for (std::uint16_t version : {0x0100, 0x0102, 0x0201, 0x0203, 0x0000}) {
    platform::SocketLayerSession session(version);
    EXPECT_FALSE(session) << std::hex << version;
  }
  SocketFault noSockets("LAMPTEST_FAIL_SOCKET", "1");
  platform::SocketLayerSession session(0x0101);
  EXPECT_FALSE(session);
}

TEST(SocketLayer, StartUpFailsWithoutSocketsWhenNotAlreadyStarted) {
  // The library holds a start-up of its own, so only a separate process sees
  // a first start-up: lampsend, which loads the library.
  auto run = lamptest::RunProgram(
      {LAMPSEND_PATH, "192.168.10.200", "20000", "0", "0", "0", "0", "0", "0", "0", "0"},
      {"LAMPTEST_FAIL_SOCKET=1"}, true);
  EXPECT_EQ(run.status, 127);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("Windows 소켓 초기화에 실패하였습니다."), std::string::npos) << run.err;
}

TEST(SocketLayer, LibraryLoadsAndExchangesWhenSocketsWork) {
  LampUnitProcess unit({});
  ASSERT_TRUE(unit.Ready());
  auto run = lamptest::RunProgram(
      {LAMPSEND_PATH, "192.168.10.200", "20000", "1", "0", "1", "64", "64", "64", "64", "64"}, {},
      true);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "result 1 frame 57 00 01 00 00 00 00 00\n");
}

}  // namespace

namespace {

TEST(Lampsend, SaysWhyAnExchangeFailed) {
  auto refused = lamptest::RunProgram(
      {LAMPSEND_PATH, "192.168.10.200", "20000", "1", "0", "1", "64", "64", "64", "64", "64"}, {},
      true);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "result 0 frame 57 00 01 64 64 64 64 64\n");
  EXPECT_EQ(refused.err,
            "lampsend: 192.168.10.200:20000: no connection within 1 s: connection refused\n");

  auto noRoute = lamptest::RunProgram(
      {LAMPSEND_PATH, "198.51.100.7", "20000", "0", "0", "0", "64", "64", "64", "64", "64"}, {},
      true);
  EXPECT_EQ(noRoute.status, 1);
  EXPECT_EQ(noRoute.err,
            "lampsend: 198.51.100.7:20000: no connection within 1 s: network is unreachable\n");
}

}  // namespace
