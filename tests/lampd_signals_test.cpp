// lampd's leases, groups and HTTP side, driven as an integrator drives
// them: over MQTT and HTTP, with a real broker, real Alertmanager and
// Prometheus, and simulated units on the test's private network. Lease
// times are short and every wait is for a state, a frame or a log line.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "mqtt_test.h"
#include "net/tcp_exchanges.h"
#include "protocol/lamp_frame.h"

namespace {

using lamptest::Broker;
using lamptest::Http;
using lamptest::InstanceConfig;
using lamptest::LampdProcess;
using lamptest::LampUnitProcess;
using lamptest::MqttProbe;
using lamptest::OwnFile;
using lamptest::StateOf;
using lamptest::Unit;
using lamptest::Writes;
using nlohmann::json;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t D = 0x64;
const std::string kSet = "lampd/press-3/set";
const std::string kToken = "a1b2c3d4e5f60718293a4b5c";

std::string Config(const std::string& more = "") {
  return InstanceConfig("line1", 1883, Unit("press-3", "192.168.10.200"), "",
                        "127.0.0.1:9730") +
         more;
}

// What a console press or lampctl does behind lampd's back.
void ConsoleWrite(const protocol::LampCodes& codes) {
  const auto frame = protocol::WriteRequest(0, codes);
  const auto results = platform::RunTcpExchanges(
      {{platform::SocketAddress::FromDottedText("192.168.10.200", 20000), {frame.begin(), frame.end()}}},
      {});
  ASSERT_TRUE(results.front().ok) << results.front().Reason();
}

std::function<bool(const json&)> Red(const std::string& shown, std::size_t leases) {
  return [=](const json& state) {
    return state["lamps"]["red"] == shown && state["leases"].size() == leases;
  };
}

class LampdLeases : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker.Ready() && unit.Ready());
    probe.Subscribe("lampd/#");
  }
  // Publishes a command and waits for the state it leads to.
  std::optional<json> Command(const std::string& payload,
                              const std::function<bool(const json&)>& holds) {
    const std::size_t from = probe.Messages().size();
    probe.Publish(kSet, payload);
    return StateOf(probe, "press-3", holds, from);
  }

  Broker broker;
  LampUnitProcess unit{{"--address", "192.168.10.200"}};
  MqttProbe probe;
};

TEST_F(LampdLeases, OutrankEachOtherAndEndBackAtTheBaseline) {
  LampdProcess lampd(Config());
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  ASSERT_TRUE(Command(R"({"green": "on"})", [](const json& s) { return s["lamps"]["green"] == "on"; }));

  const auto leased = Clock::now();
  const auto ci = Command(R"({"red": "blink", "for": "1500ms", "source": "ci"})", Red("blink", 1));
  ASSERT_TRUE(ci) << lampd.Log();
  const json lease = ci->at("leases")[0];
  EXPECT_EQ(lease["source"], "ci");
  EXPECT_EQ(lease["priority"], 5);
  EXPECT_EQ(lease["lamps"], (json{{"red", "blink"}}));
  EXPECT_TRUE(lease["expires"].get<std::string>().ends_with("Z"));

  // A higher priority wins; among equals the newest; clearing a source gives
  // the lamp back to whoever holds it next.
  EXPECT_TRUE(Command(R"({"red": "on", "for": "1m", "priority": 8, "source": "alarm"})", Red("on", 2)));
  EXPECT_TRUE(Command(R"({"red": "off", "for": "1m", "priority": 8, "source": "shift"})", Red("off", 3)));
  EXPECT_TRUE(Command(R"({"clear": "shift"})", Red("on", 2)));
  EXPECT_TRUE(Command(R"({"clear": "alarm"})", Red("blink", 1)));

  // The last lease ends by itself: the lamp goes back to what it showed
  // before the first, at once and in one frame; the baseline stays.
  const auto ended = StateOf(probe, "press-3", Red("off", 0), probe.Messages().size());
  ASSERT_TRUE(ended);
  const double took = std::chrono::duration<double>(Clock::now() - leased).count();
  EXPECT_GT(took, 1.2);
  EXPECT_LT(took, 6.0);
  EXPECT_EQ(ended->at("lamps")["green"], "on");
  EXPECT_EQ(Writes(unit).back(), (Bytes{'W', 0, 0, D, D, D, D, D}));
  EXPECT_TRUE(lampd.WaitForLog("1 lease(s) expired on 1 unit(s)"));
}

TEST_F(LampdLeases, OutliveARestartAndExpiredOnesAreDropped) {
  const std::string state = OwnFile("leases.json");
  auto started = Clock::now();
  {
    LampdProcess lampd(Config(), "first", {"--state", state});
    ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
    ASSERT_TRUE(Command(R"({"red": "blink", "for": "1h", "source": "long"})", Red("blink", 1)));
    started = Clock::now();
    ASSERT_TRUE(Command(R"({"yellow": "on", "for": "800ms", "source": "short"})",
                        [](const json& s) { return s["leases"].size() == 2; }));
    EXPECT_EQ(lampd.Stop(), 0);
  }
  // While lampd is away the short lease ends and somebody turns everything off.
  std::this_thread::sleep_until(started + 1s);  // the short lease's end, not a guess
  ConsoleWrite({0, 0, 0, 0, 0, 0});
  const std::size_t writes = Writes(unit).size();
  {
    const std::size_t from = probe.Messages().size();
    LampdProcess lampd(Config(), "second", {"--state", state});
    const auto again = StateOf(
        probe, "press-3",
        [](const json& s) { return s["lamps"]["red"] == "blink" && s["leases"].size() == 1; }, from);
    ASSERT_TRUE(again) << lampd.Log();
    EXPECT_EQ(again->at("leases")[0]["source"], "long");
    EXPECT_EQ(again->at("lamps")["yellow"], "off");
    // Only what the live lease holds was sent.
    ASSERT_GT(Writes(unit).size(), writes);
    EXPECT_EQ(Writes(unit)[writes], (Bytes{'W', 0, 2, D, D, D, D, D}));
    EXPECT_TRUE(lampd.WaitForLog("1 live lease(s) of 1 unit(s) read from " + state));
    EXPECT_EQ(lampd.Stop(), 0);
  }
  // A file that does not parse is moved aside, told about, never lost.
  std::ofstream(state) << "{\"version\": 1, \"units\": {\"press-3\": [";
  LampdProcess lampd(Config(), "third", {"--state", state});
  ASSERT_TRUE(lampd.WaitForLog("does not parse: moved aside to " + state + ".bad-")) << lampd.Log();
  // ... and lampd serves on, keeping new leases.
  ASSERT_TRUE(Command(R"({"white": "on", "for": "1h"})",
                      [](const json& s) { return s["lamps"]["white"] == "on"; }));
  int aside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(testing::TempDir())) {
    const std::string name = entry.path().string();
    if (name.starts_with(state + ".bad-")) {
      ++aside;
      std::ifstream file(name);
      std::string text;
      std::getline(file, text);
      EXPECT_EQ(text, "{\"version\": 1, \"units\": {\"press-3\": [");
      std::filesystem::remove(name);
    }
  }
  EXPECT_EQ(aside, 1);
  EXPECT_EQ(lampd.Stop(), 0);
  std::stringstream kept;
  kept << std::ifstream(state).rdbuf();
  EXPECT_NE(kept.str().find("\"white\": \"on\""), std::string::npos) << kept.str();
  std::remove(state.c_str());
}

TEST(LampdEnforce, AUnitIsGivenItsLeasesAgainAfterAPowerCutOrAConsolePress) {
  Broker broker;
  MqttProbe probe;
  probe.Subscribe("lampd/#");
  std::optional<LampUnitProcess> unit;
  unit.emplace(std::vector<std::string>{"--address", "192.168.10.200"});
  LampdProcess lampd(Config());
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  probe.Publish(kSet, R"({"red": "blink", "sound": 3, "for": "1h", "priority": 9})");
  ASSERT_TRUE(StateOf(probe, "press-3", Red("blink", 1)));

  // A power cut: the unit comes back dark and is lit again.
  unit.reset();
  ASSERT_TRUE(probe.WaitFor("lampd/press-3/availability",
                            [](const std::string& payload) { return payload == "offline"; }));
  std::size_t from = probe.Messages().size();
  unit.emplace(std::vector<std::string>{"--address", "192.168.10.200"});
  const auto back = StateOf(probe, "press-3", [](const json& s) {
    return s["lamps"]["red"] == "blink" && s["sound"] == 3;
  }, from);
  ASSERT_TRUE(back) << lampd.Log();

  // A console press: what the lease holds is put back, what it does not
  // hold stays as pressed and becomes the baseline.
  from = probe.Messages().size();
  ConsoleWrite({0, 1, D, D, D, D});
  EXPECT_TRUE(StateOf(probe, "press-3", [](const json& s) {
    return s["lamps"]["red"] == "off" && s["lamps"]["yellow"] == "on";
  }, from));
  EXPECT_TRUE(StateOf(probe, "press-3", [](const json& s) {
    return s["lamps"]["red"] == "blink" && s["lamps"]["yellow"] == "on";
  }, from)) << lampd.Log();
  EXPECT_TRUE(lampd.WaitForLog("shows other than its leases (red)"));
  from = probe.Messages().size();
  probe.Publish(kSet, R"({"clear": "*"})");
  const auto cleared = StateOf(probe, "press-3", Red("off", 0), from);
  ASSERT_TRUE(cleared);
  EXPECT_EQ(cleared->at("lamps")["yellow"], "on");
  EXPECT_EQ(cleared->at("sound"), 0);
  EXPECT_EQ(lampd.Stop(), 0);

  // With enforce = false a console press stands, for poll after poll.
  LampdProcess lenient(InstanceConfig("line1", 1883, Unit("press-3", "192.168.10.200"),
                                      "enforce = false\n", "127.0.0.1:9730"),
                       "lenient");
  from = probe.Messages().size();
  probe.Publish(kSet, R"({"green": "blink", "for": "1h"})");
  ASSERT_TRUE(StateOf(probe, "press-3", [](const json& s) { return s["lamps"]["green"] == "blink"; },
                      from)) << lenient.Log();
  ConsoleWrite({D, D, 0, D, D, D});
  const std::size_t writes = Writes(unit.value()).size();
  const std::size_t reads = unit->Received("tcp").size();
  ASSERT_TRUE(unit->WaitForLine("recv", 10s, unit->Lines().size()));
  while (unit->Received("tcp").size() < reads + 4) {
    ASSERT_TRUE(unit->WaitForLine("recv", 10s, unit->Lines().size()));
  }
  EXPECT_EQ(Writes(unit.value()).size(), writes);
}

}  // namespace
