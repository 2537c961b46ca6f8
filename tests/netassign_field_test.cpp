// The settings tool on hosts as people have them: adapters joined by veth
// pairs to segments with simulated units, with and without a default route,
// with a second adapter, with none at all. Runs in a bare private network
// (scripts/private-net --bare); the test process is the host.
#include <gtest/gtest.h>

#include <algorithm>

#include "lamp_unit_process.h"
#include "net/broadcast.h"
#include "settings_tool_test.h"
#include "test_network.h"

namespace {

using lamptest::Click;
using lamptest::LampUnitProcess;
using lamptest::Segment;
using namespace netassign;
using namespace std::chrono_literals;
using protocol::IpBytes;
using Strings = std::vector<std::string>;

std::size_t Count(const Strings& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

Strings Unit(const std::string& address, const std::string& mac, Strings more = {}) {
  Strings arguments = {"--address", address, "--mac", mac};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

class FieldTest : public lamptest::SettingsToolTest {
 protected:
  // A segment behind host adapter `adapter` (hostCidr), its own side at
  // segmentCidr, its units taking addresses from unitRange.
  static bool Wire(Segment& segment, const std::string& adapter, const std::string& hostCidr,
                   const std::string& segmentCidr, const std::string& unitRange) {
    return segment.Ready() && segment.Link(adapter, hostCidr, "unit-side", segmentCidr) &&
           segment.LocalRange(unitRange);
  }
};

TEST_F(FieldTest, BenchPcWithoutDefaultRouteFindsReadsAndWrites) {
  // The usual set-up for a new unit: one adapter, a static address, no route
  // anywhere else; the limited broadcast has no route at all.
  Segment bench;
  ASSERT_TRUE(Wire(bench, "eth0", "192.168.1.10/24", "192.168.1.1/24", "192.168.1.128/25"));
  LampUnitProcess a(Unit("192.168.1.128", "0.80.194.1.2.9"), bench.Enter());
  LampUnitProcess b(Unit("192.168.1.129", "0.80.194.1.2.10"), bench.Enter());
  ASSERT_TRUE(a.Ready() && b.Ready());

  Click(tool, IDC_MAC_FIND);
  EXPECT_EQ(MacEntries(), (Strings{"0.80.194.1.2.10", "0.80.194.1.2.9"}));
  const Strings log = Log();
  EXPECT_EQ(log.front(), "Success UDP Setting");
  EXPECT_EQ(Count(log, "IP_Address Connect[ 192.168.1.128 ]"), 1u);

  SelectMac("0.80.194.1.2.10");
  Click(tool, IDC_READ);
  EXPECT_EQ(Address(IDC_IP_ADDRESS), (IpBytes{192, 168, 1, 129}));
  TypeAddress(IDC_IP_ADDRESS, "192.168.1.77");
  Click(tool, IDC_WRITE);
  EXPECT_TRUE(b.WaitForLine("udp settings stored", 2s));
  const auto write = b.Received("udp").back();
  EXPECT_EQ(std::vector<int>(write.begin() + 13, write.begin() + 17),
            (std::vector<int>{192, 168, 1, 77}));
  // The request left from the adapter's own address.
  EXPECT_TRUE(b.WaitForLine("from 192.168.1.10:", 1s));
}

TEST_F(FieldTest, UnitsBehindTheSecondAdapterAreFoundReadAndWritten) {
  // Office network with the default route on one adapter, units on the other.
  Segment office, units;
  ASSERT_TRUE(Wire(office, "office", "10.1.0.2/24", "10.1.0.1/24", "10.1.0.128/25"));
  ASSERT_TRUE(Wire(units, "units", "192.168.1.10/24", "192.168.1.1/24", "192.168.1.128/25"));
  ASSERT_TRUE(lamptest::RunCommand({"/usr/sbin/ip", "route", "add", "default", "via", "10.1.0.1"}));
  LampUnitProcess inOffice(Unit("10.1.0.128", "0.80.194.1.2.1"), office.Enter());
  LampUnitProcess behind(Unit("192.168.1.128", "0.80.194.1.2.2", {"--model", "3"}), units.Enter());
  ASSERT_TRUE(inOffice.Ready() && behind.Ready());

  Click(tool, IDC_MAC_FIND);
  EXPECT_EQ(MacEntries(), (Strings{"0.80.194.1.2.1", "0.80.194.1.2.2"}));

  SelectMac("0.80.194.1.2.2");
  Click(tool, IDC_READ);
  EXPECT_EQ(Text(IDC_MA), "0.80.194.1.2.2");
  EXPECT_EQ(Address(IDC_IP_ADDRESS), (IpBytes{192, 168, 1, 128}));
  EXPECT_EQ(Text(IDC_MT), "3");
  lamptest::Type(tool, IDC_PORT, "502");
  Click(tool, IDC_WRITE);
  ASSERT_TRUE(behind.WaitForLine("udp settings stored", 2s));
  Click(tool, IDC_READ);
  EXPECT_EQ(Text(IDC_PORT), "502");
}

TEST_F(FieldTest, NoNetworkAtAllSaysTheRequestWentNowhere) {
  const double seconds = lamptest::SecondsOf([&] { Click(tool, IDC_MAC_FIND); });
  EXPECT_EQ(Log(), (Strings{"Success UDP Setting", "Error Client Socket Send"}));
  EXPECT_EQ(MacList()->count(), 0);
  EXPECT_LT(seconds, 3.0);
  Click(tool, IDC_READ);
  EXPECT_EQ(Log().back(), "Error Client Socket Send");
}

TEST_F(FieldTest, UnitSeenThroughTwoAdaptersIsListedOnce) {
  Segment both;
  ASSERT_TRUE(both.Ready());
  ASSERT_TRUE(both.Link("left", "192.168.1.10/24", "unit-left", "192.168.1.1/24"));
  ASSERT_TRUE(both.Link("right", "192.168.2.10/24", "unit-right", "192.168.2.1/24"));
  ASSERT_TRUE(both.LocalRange("192.168.1.128/25"));
  LampUnitProcess unit(Unit("192.168.1.128", "0.80.194.1.2.9"), both.Enter());
  ASSERT_TRUE(unit.Ready());

  Click(tool, IDC_MAC_FIND);
  EXPECT_EQ(MacEntries(), (Strings{"0.80.194.1.2.9"}));
  EXPECT_EQ(Count(Log(), "IP_Address Connect[ 192.168.1.128 ]"), 2u);  // one answer each way
  EXPECT_TRUE(unit.WaitForLine("from 192.168.1.10:", 1s));
  EXPECT_TRUE(unit.WaitForLine("from 192.168.2.10:", 1s));
}

// The broadcast of our socket layer, on its own.
class BroadcastTest : public testing::Test {
 protected:
  void SetUp() override {
    sender = platform::Socket::OpenDatagram();
    ASSERT_TRUE(sender && sender.SetBroadcast(true));
  }
  platform::Socket sender;
  const std::vector<std::uint8_t> datagram = std::vector<std::uint8_t>(46, '$');
};

TEST_F(BroadcastTest, GoesOutOfEveryAdapterOrOnlyThoseNamed) {
  Segment a, b;
  ASSERT_TRUE(a.Ready() && b.Ready());
  ASSERT_TRUE(a.Link("a0", "192.168.1.10/24", "a1", "192.168.1.1/24"));
  ASSERT_TRUE(b.Link("b0", "192.168.2.10/24", "b1", "192.168.2.1/24"));
  LampUnitProcess unitA(Unit("192.168.1.1", "0.80.194.1.2.1"), a.Enter());
  LampUnitProcess unitB(Unit("192.168.2.1", "0.80.194.1.2.2"), b.Enter());
  ASSERT_TRUE(unitA.Ready() && unitB.Ready());

  auto sent = platform::SendBroadcast(sender, datagram, 50000);
  std::sort(sent.sentVia.begin(), sent.sentVia.end());
  EXPECT_EQ(sent.sentVia, (Strings{"a0", "b0"}));
  EXPECT_TRUE(sent.failedVia.empty());
  EXPECT_TRUE(unitA.WaitForLine("udp recv 46 bytes", 2s));
  EXPECT_TRUE(unitB.WaitForLine("udp recv 46 bytes", 2s));

  const std::size_t seenByA = unitA.Lines().size(), seenByB = unitB.Lines().size();
  sent = platform::SendBroadcast(sender, datagram, 50000, {"b0"});
  EXPECT_EQ(sent.sentVia, (Strings{"b0"}));
  ASSERT_TRUE(unitB.WaitForLine("udp recv 46 bytes", 2s, seenByB));
  EXPECT_FALSE(unitA.WaitForLine("udp recv", 300ms, seenByA));

  sent = platform::SendBroadcast(sender, datagram, 50000, {"nonesuch"});
  EXPECT_EQ(sent.Copies(), 0);
  EXPECT_EQ(sent.failedVia, (Strings{"nonesuch"}));
  EXPECT_EQ(sent.reason, std::errc::no_such_device);
}

TEST_F(BroadcastTest, NowhereToSendSaysSo) {
  const auto sent = platform::SendBroadcast(sender, datagram, 50000);
  EXPECT_EQ(sent.Copies(), 0);
  EXPECT_EQ(sent.reason, std::errc::network_unreachable);
}

}  // namespace
