// Instances of lampd that hold their units in etcd, proved at the units:
// each instance runs in a network namespace of its own, so every frame a
// unit receives says which instance sent it. Whatever befalls the instance
// that drives a unit (killed, frozen past its lease, cut from etcd while it
// still reaches the unit), no frame of it reaches the unit once another
// instance has driven it, and what the plant was told goes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "cluster_net.h"
#include "lamp_unit_process.h"
#include "mqtt_test.h"

namespace {

using lamptest::ClusterHost;
using lamptest::EtcdCluster;
using lamptest::LampdProcess;
using lamptest::LampUnitProcess;
using lamptest::StateOf;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr int kUnits = 4;
// How long a unit may go undriven when its instance goes: the lease of 3 s,
// a lease more for an instance that does not rank first, and time for a
// busy machine.
constexpr auto kTakeOver = 25s;

// The plant's units, press-1 to press-4, as [[unit]] tables.
std::string Units() {
  std::string units;
  for (int unit = 1; unit <= kUnits; ++unit) {
    units +=
        lamptest::Unit("press-" + std::to_string(unit), "192.168.10." + std::to_string(200 + unit));
  }
  return units;
}

class LampdCluster : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker.Ready());
    etcd = std::make_unique<EtcdCluster>();
    ASSERT_TRUE(etcd->Ready());
    for (int unit = 1; unit <= kUnits; ++unit) {
      units.push_back(std::make_unique<LampUnitProcess>(
          std::vector<std::string>{"--address", "192.168.10." + std::to_string(200 + unit)}));
      ASSERT_TRUE(units.back()->Ready());
    }
    ASSERT_TRUE(alphaHost.ready && betaHost.ready);
    probe.Subscribe("lampd/#");
  }
  // Starts an instance on `host` with the plant's units.
  std::unique_ptr<LampdProcess> Start(ClusterHost& host, const std::string& more = "") {
    return host.Start(Units() + more, "poll_every = \"200ms\"\noffline_after = 3\n", lease);
  }
  // Starts both instances and waits until every unit is driven.
  void StartBoth() {
    alpha = Start(alphaHost);
    beta = Start(betaHost);
    for (int unit = 1; unit <= kUnits; ++unit) {
      ASSERT_TRUE(StateOf(probe, "press-" + std::to_string(unit),
                          [](const json& state) {
                            return state["instance"] == "alpha" || state["instance"] == "beta";
                          }))
          << alpha->Log() << beta->Log();
    }
  }

  // The hosts of the frames unit press-N received, in order.
  std::vector<std::string> Senders(int unit = 1) { return lamptest::Senders(*units[unit - 1]); }
  // Waits until `count` frames from `host` came to press-`unit` after frame
  // `after`; then no frame of another host may follow the first of them.
  ::testing::AssertionResult DrivenOnlyBy(const std::string& host, std::size_t after,
                                          std::size_t count = 10, int unit = 1) {
    std::vector<std::string> senders;
    const bool came = lamptest::WaitUntil(
        [&] {
          senders = Senders(unit);
          return static_cast<std::size_t>(std::count(
                     senders.begin() + std::min(after, senders.size()), senders.end(), host)) >=
                 count;
        },
        kTakeOver);
    if (!came) {
      return ::testing::AssertionFailure()
             << "fewer than " << count << " frames from " << host << " to press-" << unit;
    }
    const auto first = std::find(senders.begin() + after, senders.end(), host);
    const auto other =
        std::find_if(first, senders.end(), [&](const std::string& s) { return s != host; });
    if (other != senders.end()) {
      return ::testing::AssertionFailure()
             << "a frame from " << *other << " came after " << host << " drove press-" << unit
             << " (frame " << (other - senders.begin()) << " of " << senders.size() << ")";
    }
    return ::testing::AssertionSuccess();
  }
  std::function<bool(const json&)> ServedBy(const std::string& instance) {
    return [instance](const json& state) { return state["instance"] == instance; };
  }

  // Both started, and a lease put on press-1: the instance that drives it ("" if none).
  std::string StartBothWithALease() {
    StartBoth();
    if (HasFatalFailure()) return "";
    return LeaseOnPress1();
  }
  std::string LeaseOnPress1() {
    const std::size_t from = probe.Messages().size();
    probe.Publish("lampd/press-1/set", R"({"red": "blink", "for": "1h", "source": "andon"})");
    const auto leased = StateOf(
        probe, "press-1", [](const json& s) { return s["leases"].size() == 1; }, from);
    return leased ? leased->value("instance", "") : "";
  }

  const std::string lease = "3s";
  lamptest::Broker broker{1883, "listener 1884\n"};
  std::unique_ptr<EtcdCluster> etcd;
  std::vector<std::unique_ptr<LampUnitProcess>> units;
  ClusterHost alphaHost{1, "alpha"}, betaHost{2, "beta"};
  lamptest::MqttProbe probe;
  std::unique_ptr<LampdProcess> alpha, beta;
};

TEST_F(LampdCluster, OneInstanceDrivesAUnitThroughKillsPausesAndCutsAndItsLeasesGoOn) {
  const std::string first = StartBothWithALease();
  ASSERT_FALSE(first.empty());
  std::size_t from = 0;
  ClusterHost* owner = first == "alpha" ? &alphaHost : &betaHost;
  ClusterHost* other = owner == &alphaHost ? &betaHost : &alphaHost;
  auto& ownerProcess = owner == &alphaHost ? alpha : beta;
  auto& otherProcess = owner == &alphaHost ? beta : alpha;

  // kill -9: the other takes the unit with its lease, and drives it alone.
  std::size_t frames = Senders().size();
  from = probe.Messages().size();
  ownerProcess->Kill();
  const auto taken = StateOf(probe, "press-1", ServedBy(other->name), from);
  ASSERT_TRUE(taken) << otherProcess->Log();
  ASSERT_EQ(taken->at("leases").size(), 1u) << taken->dump() << otherProcess->Log();
  EXPECT_EQ(taken->at("leases")[0]["source"], "andon");
  EXPECT_EQ(taken->at("lamps")["red"], "blink");
  EXPECT_TRUE(DrivenOnlyBy(other->address, frames));
  // A call taken meanwhile, which the broker keeps for the killed one too:
  // back again, it leaves the unit and the call to the owner, refused, and
  // records nothing of it.
  from = probe.Messages().size();
  probe.Publish("lampd/press-1/set", R"({"yellow": "blink", "for": "1h", "source": "kept"})");
  ASSERT_TRUE(StateOf(
      probe, "press-1", [](const json& s) { return s["leases"].size() == 2; }, from));
  const std::string journal = lamptest::OwnFile("journal-" + owner->name + ".jsonl");
  ownerProcess = Start(*owner, "[journal]\npath = \"" + journal + "\"\n");
  // It leaves the unit be (its journal is read once it drives the unit again, below).
  std::swap(owner, other);
  std::swap(ownerProcess, otherProcess);

  // Frozen past its lease: the other takes over; thawed, it sends nothing more.
  frames = Senders().size();
  from = probe.Messages().size();
  ASSERT_EQ(::kill(ownerProcess->Pid(), SIGSTOP), 0);
  const auto thawedAway = StateOf(probe, "press-1", ServedBy(other->name), from);
  ::kill(ownerProcess->Pid(), SIGCONT);
  ASSERT_TRUE(thawedAway) << otherProcess->Log();
  EXPECT_EQ(thawedAway->at("leases").size(), 2u);
  EXPECT_TRUE(DrivenOnlyBy(other->address, frames, 20)) << ownerProcess->Log();
  std::swap(owner, other);
  std::swap(ownerProcess, otherProcess);

  // Cut from etcd while it still reaches the unit and the broker: it stops
  // driving before the other may take the unit.
  frames = Senders().size();
  from = probe.Messages().size();
  ASSERT_TRUE(lamptest::RunCommand({"/usr/sbin/ip", "link", "set", owner->etcdLink, "down"}));
  const auto cutAway = StateOf(probe, "press-1", ServedBy(other->name), from);
  ASSERT_TRUE(cutAway) << otherProcess->Log() << ownerProcess->Log();
  EXPECT_EQ(cutAway->at("leases").size(), 2u);
  EXPECT_TRUE(DrivenOnlyBy(other->address, frames, 20)) << ownerProcess->Log();
  // The restarted one drives it now, and never applied the call the broker
  // kept for it (refused, or left to the owner, as the decision came first).
  std::stringstream recorded;
  recorded << std::ifstream(journal).rdbuf();
  EXPECT_NE(recorded.str().find("\"started\""), std::string::npos);
  EXPECT_EQ(recorded.str().find("kept"), std::string::npos) << recorded.str();
  // Healed, it takes nothing back.
  ASSERT_TRUE(lamptest::RunCommand({"/usr/sbin/ip", "link", "set", owner->etcdLink, "up"}));
  frames = Senders().size();
  from = probe.Messages().size();
  probe.Publish("lampd/press-1/set/green", "on");
  ASSERT_TRUE(StateOf(
      probe, "press-1", [](const json& s) { return s["lamps"]["green"] == "on"; }, from));
  EXPECT_TRUE(DrivenOnlyBy(other->address, frames, 20));

  // A clean stop gives the lease back: the unit is driven again at once
  // (well within the lease a crash takes), its lease and all.
  frames = Senders().size();
  from = probe.Messages().size();
  EXPECT_EQ(otherProcess->Stop(), 0);
  const auto handed = StateOf(probe, "press-1", ServedBy(owner->name), from);
  ASSERT_TRUE(handed) << ownerProcess->Log();
  EXPECT_EQ(handed->at("leases").size(), 2u);
  EXPECT_TRUE(DrivenOnlyBy(owner->address, frames));
}

TEST_F(LampdCluster, RetainedMessagesTheBrokerAndEtcdsOwnFaultsMoveNoUnit) {
  const std::string first = StartBothWithALease();
  ASSERT_FALSE(first.empty());
  std::size_t from = 0;
  const ClusterHost& owner = first == "alpha" ? alphaHost : betaHost;
  const ClusterHost& other = &owner == &alphaHost ? betaHost : alphaHost;

  // An emptied retained state and one naming the other instance: put right,
  // nothing moves.
  std::size_t frames = Senders().size();
  from = probe.Messages().size();
  probe.Publish("lampd/press-1", "", true);
  probe.Publish("lampd/press-1", R"({"id": "press-1", "instance": ")" + other.name + "\"}", true);
  ASSERT_TRUE(StateOf(probe, "press-1", ServedBy(owner.name), from + 2));
  EXPECT_TRUE(DrivenOnlyBy(owner.address, frames));

  // The broker restarted (every will published): nothing moves.
  frames = Senders().size();
  broker.Stop();
  ASSERT_TRUE(broker.Start());
  EXPECT_TRUE(DrivenOnlyBy(owner.address, frames, 20));
  lamptest::MqttProbe again(1883, "probe-again");  // the first went with the broker
  again.Subscribe("lampd/#");

  // etcd's leader killed: a majority is left, and the leases live on
  // through the election.
  const int leader = etcd->Leader();
  ASSERT_GE(leader, 0);
  frames = Senders().size();
  etcd->Kill(leader);
  EXPECT_TRUE(DrivenOnlyBy(owner.address, frames, 20));
  etcd->Start(leader);

  // etcd cut from both instances past the lease: both stop driving; healed,
  // one drives each unit, with what the plant was told.
  ASSERT_TRUE(lamptest::RunCommand({"/usr/sbin/ip", "link", "set", alphaHost.etcdLink, "down"}));
  ASSERT_TRUE(lamptest::RunCommand({"/usr/sbin/ip", "link", "set", betaHost.etcdLink, "down"}));
  // Past the lease, the fence and a poll period no frame goes any more.
  ASSERT_TRUE(lamptest::WaitUntil(
      [&] {
        const std::size_t before = Senders().size();
        std::this_thread::sleep_for(1s);  // a second without a frame: five polls' time
        return Senders().size() == before;
      },
      kTakeOver));
  ASSERT_TRUE(lamptest::RunCommand({"/usr/sbin/ip", "link", "set", alphaHost.etcdLink, "up"}));
  ASSERT_TRUE(lamptest::RunCommand({"/usr/sbin/ip", "link", "set", betaHost.etcdLink, "up"}));
  // (A command while nobody is sure waits with the instance that held the
  // unit, and is refused with the reason if the unit goes to the other.)
  frames = Senders().size();
  std::vector<std::string> senders;
  ASSERT_TRUE(lamptest::WaitUntil([&] { return (senders = Senders()).size() > frames; }, kTakeOver))
      << alpha->Log() << beta->Log();
  const std::string driver = senders[frames];
  EXPECT_TRUE(DrivenOnlyBy(driver, frames, 20));
  from = again.Messages().size();
  again.Publish("lampd/press-1/set/green", "on");
  const auto healed = StateOf(
      again, "press-1", [](const json& s) { return s["lamps"]["green"] == "on"; }, from);
  ASSERT_TRUE(healed) << alpha->Log() << beta->Log();
  EXPECT_EQ(healed->at("leases").size(), 1u);
  EXPECT_EQ(healed->at("instance") == "alpha" ? alphaHost.address : betaHost.address, driver);
}

// Each instance behind a broker of its own segment, bridged to the plant's:
// three started at once, then the owner of press-1 cut from its broker, cut
// from the units, and dead with its broker.
TEST_F(LampdCluster, ThreeStartedAtOnceCutsFromBrokerOrUnitsAndAHostDeadBehindItsBridge) {
  ClusterHost gammaHost{3, "gamma"};
  ASSERT_TRUE(gammaHost.ready);
  std::vector<std::unique_ptr<lamptest::Broker>> bridged;
  ClusterHost* hosts[] = {&alphaHost, &betaHost, &gammaHost};
  for (int n = 0; n < 3; ++n) {
    hosts[n]->brokerPort = 2901 + n;
    bridged.push_back(std::make_unique<lamptest::Broker>(
        1891 + n, "listener " + std::to_string(2901 + n) + "\nconnection segment-" +
                      std::to_string(n + 1) + "\naddress 127.0.0.1:1883\ntopic lampd/# both 1\n"));
    ASSERT_TRUE(bridged.back()->Ready());
  }
  std::unique_ptr<LampdProcess> gamma;
  alpha = Start(alphaHost);
  beta = Start(betaHost);
  gamma = Start(gammaHost);
  const auto logs = [&] { return alpha->Log() + beta->Log() + gamma->Log(); };
  // Each unit has one driver from its first frame on.
  for (int unit = 1; unit <= kUnits; ++unit) {
    std::vector<std::string> senders;
    ASSERT_TRUE(
        lamptest::WaitUntil([&] { return (senders = Senders(unit)).size() >= 10; }, kTakeOver))
        << logs();
    EXPECT_EQ(std::count(senders.begin(), senders.end(), senders[0]), senders.size())
        << "press-" << unit << " driven by two at start";
  }
  const std::string first = LeaseOnPress1();
  ASSERT_FALSE(first.empty()) << logs();
  const auto hostOf = [&](const std::string& name) {
    return *std::find_if(std::begin(hosts), std::end(hosts),
                         [&](const ClusterHost* host) { return host->name == name; });
  };
  ClusterHost* owner = hostOf(first);

  // Cut from its broker, the owner drives on alone: nobody may take the unit.
  std::size_t frames = Senders().size();
  ASSERT_TRUE(owner->Cut(owner->broker + "/32"));
  EXPECT_TRUE(DrivenOnlyBy(owner->address, frames, 30)) << logs();
  ASSERT_TRUE(owner->Heal(owner->broker + "/32"));

  // Cut from the units: it lets them go, and one that reaches them drives
  // them, the lease and all.
  frames = Senders().size();
  std::size_t from = probe.Messages().size();
  ASSERT_TRUE(owner->Cut("192.168.10.0/24"));
  const auto moved = StateOf(
      probe, "press-1",
      [&](const json& state) { return state["instance"] != first && state["leases"].size() == 1; },
      from);
  ASSERT_TRUE(moved) << logs();
  ClusterHost* next = hostOf(moved->at("instance"));
  EXPECT_TRUE(DrivenOnlyBy(next->address, frames, 20)) << logs();
  ASSERT_TRUE(owner->Heal("192.168.10.0/24"));

  // That host dies with its broker: another drives the unit, the lease and all.
  frames = Senders().size();
  from = probe.Messages().size();
  const auto n = std::find(std::begin(hosts), std::end(hosts), next) - std::begin(hosts);
  (n == 0 ? alpha : n == 1 ? beta : gamma)->Kill();
  bridged[n]->Stop();
  const auto taken = StateOf(
      probe, "press-1",
      [&](const json& state) {
        return state["instance"] != next->name && state["leases"].size() == 1;
      },
      from);
  ASSERT_TRUE(taken) << logs();
  EXPECT_TRUE(DrivenOnlyBy(hostOf(taken->at("instance"))->address, frames, 20)) << logs();
}

}  // namespace
