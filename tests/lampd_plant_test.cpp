// Instances of lampd that share a plant's broker without a cluster: each
// serves its own units and passes commands for the others' on, a unit both
// drive is told as a configuration error, forged claims and forged truths
// are put right, and the broker's ACL keeps other clients to commands. A
// real broker, real processes, simulated units.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "mqtt_test.h"

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
using nlohmann::json;
using namespace std::chrono_literals;

std::string Instance(const std::string& name, int httpPort, const std::string& more = "") {
  return InstanceConfig(name, 1883, Unit("press-3", "192.168.10.200"), "",
                        "127.0.0.1:" + std::to_string(httpPort)) +
         more;
}

std::function<bool(const json&)> ServedBy(const std::string& instance) {
  return [instance](const json& state) { return state["instance"] == instance; };
}

bool Says(MqttProbe& probe, const std::string& topic, const std::string& word, std::size_t from) {
  return probe
      .WaitFor(
          topic, [&](const std::string& payload) { return payload == word; }, 10s, from)
      .has_value();
}

class LampdPlant : public lamptest::PlantTest {};

TEST_F(LampdPlant, WithoutAClusterEachServesItsOwnAndAUnitDrivenByTwoIsAConfigurationError) {
  LampUnitProcess other({"--address", "192.168.10.201"});
  ASSERT_TRUE(other.Ready());
  // beta is given press-3 too, by mistake.
  LampdProcess alpha(Instance("alpha", 9730), "alpha");
  ASSERT_TRUE(StateOf(probe, "press-3", ServedBy("alpha"))) << alpha.Log();
  LampdProcess beta(
      InstanceConfig("beta", 1883,
                     Unit("press-4", "192.168.10.201") + Unit("press-3", "192.168.10.200"), "",
                     "127.0.0.1:9731"),
      "beta");
  ASSERT_TRUE(StateOf(probe, "press-4", ServedBy("beta"))) << beta.Log();

  // A command for the other's unit goes on to it.
  // (once alpha has heard of it: until then it is unknown there, 404)
  std::size_t from = probe.Messages().size();
  lamptest::HttpReply passed;
  EXPECT_TRUE(lamptest::WaitUntil([&] {
    passed = Http("PUT", "/api/units/press-4", R"({"blue": "on"})", "", 9730);
    return passed.status != 404;
  }));
  EXPECT_EQ(passed.status, 202) << passed.body;
  EXPECT_EQ(passed.Json().value("passed_to", ""), "beta");
  ASSERT_TRUE(StateOf(
      probe, "press-4", [](const json& s) { return s["lamps"]["blue"] == "on"; }, from));

  // Both drive press-3: each says so, in its metrics and the unit's state.
  for (const auto& [port, them] : {std::pair{9730, "beta"}, {9731, "alpha"}}) {
    EXPECT_TRUE(lamptest::WaitForMetrics(
        [](const std::string& text) {
          return text.find("lampd_units_driven_elsewhere_too 1\n") != std::string::npos;
        },
        port))
        << alpha.Log() << beta.Log();
    const auto state = Http("GET", "/api/units/press-3", "", "", port);
    EXPECT_EQ(state.Json().value("also_driven_by", ""), them) << state.body;
  }
  EXPECT_NE(beta.Log().find("unit press-3 is driven by instance alpha too: a configuration error"),
            std::string::npos);

  // alpha stops: beta alone drives press-3, and no unit of alpha's goes to it.
  EXPECT_EQ(alpha.Stop(), 0);
  EXPECT_TRUE(lamptest::WaitForMetrics(
      [](const std::string& text) {
        return text.find("lampd_units_driven_elsewhere_too 0\n") != std::string::npos;
      },
      9731));
  EXPECT_FALSE(Http("GET", "/api/units/press-3", "", "", 9731).Json().contains("also_driven_by"));
}

TEST_F(LampdPlant, ForgedClaimsAndForgedTruthsArePutRight) {
  LampdProcess lampd(Instance("line1", 9730), "line1");
  ASSERT_TRUE(StateOf(probe, "press-3", ServedBy("line1"))) << lampd.Log();
  ASSERT_TRUE(Says(probe, "lampd/press-3/availability", "online", 0));

  // A claim in the name of an instance that is not online takes nothing away.
  std::size_t from = probe.Messages().size();
  probe.Publish("lampd/press-3", R"({"id": "press-3", "instance": "aaa-intruder"})", true);
  ASSERT_TRUE(StateOf(probe, "press-3", ServedBy("line1"), from)) << lampd.Log();
  from = probe.Messages().size();
  probe.Publish("lampd/press-3/set/red", "on");
  ASSERT_TRUE(StateOf(
      probe, "press-3", [](const json& s) { return s["lamps"]["red"] == "on"; }, from));
  // Nor does a restart: the retained claim does not stand.
  EXPECT_EQ(lampd.Stop(), 0);
  probe.Publish("lampd/press-3", R"({"id": "press-3", "instance": "aaa-intruder"})", true);
  from = probe.Messages().size();
  LampdProcess again(Instance("line1", 9730), "line1-again");
  ASSERT_TRUE(StateOf(probe, "press-3", ServedBy("line1"), from)) << again.Log();

  // Forged "offline" on the instance's and the unit's retained topics.
  from = probe.Messages().size();
  probe.Publish("lampd/bridge/line1/state", "offline", true);
  probe.Publish("lampd/press-3/availability", "offline", true);
  EXPECT_TRUE(Says(probe, "lampd/bridge/line1/state", "online", from));
  EXPECT_TRUE(Says(probe, "lampd/press-3/availability", "online", from));
  MqttProbe late(1883, "late");  // what a client that comes now is told
  late.Subscribe("lampd/+/availability");
  late.Subscribe("lampd/bridge/+/state");
  EXPECT_TRUE(Says(late, "lampd/bridge/line1/state", "online", 0));
  EXPECT_TRUE(Says(late, "lampd/press-3/availability", "online", 0));

  // A state naming an instance for an id none serves does not silence the
  // error; its fields of the wrong kinds reach neither the console's view
  // nor its pages.
  probe.Publish("lampd/nonesuch", R"({"id": "nonesuch", "instance": "ghost", "mac": [1],
      "address": {}, "leases": 5, "lamps": {"red": [], "blue": "on"}, "sound": "loud",
      "groups": 7, "model": "x", "words": 1})");
  from = probe.Messages().size();
  probe.Publish("lampd/nonesuch/set/red", "on");
  const auto error = probe.WaitFor(
      "lampd/nonesuch/error", [](const std::string&) { return true; }, 10s, from);
  ASSERT_TRUE(error);
  EXPECT_NE(error->payload.find("no instance serves a unit with id nonesuch"), std::string::npos);
  const auto plant = Http("GET", "/api/plant", "", "", 9730);
  ASSERT_EQ(plant.status, 200) << again.Log();
  const json units = json::parse(plant.body)["units"];
  const auto ghost = std::find_if(units.begin(), units.end(),
                                  [](const json& unit) { return unit["id"] == "nonesuch"; });
  ASSERT_NE(ghost, units.end()) << plant.body;
  EXPECT_EQ(*ghost, json::parse(R"({"id": "nonesuch", "instance": "ghost",
      "lamps": {"blue": "on"}, "leases": [], "online": false})"));
  // Its state taken away, it is no longer shown.
  probe.Publish("lampd/nonesuch", "", true);
  from = probe.Messages().size();
  probe.Publish("lampd/nonesuch/set/red", "on");
  ASSERT_TRUE(probe.WaitFor(
      "lampd/nonesuch/error", [](const std::string&) { return true; }, 10s, from));
  EXPECT_EQ(Http("GET", "/api/plant", "", "", 9730).body.find("nonesuch"), std::string::npos);
}

TEST(LampdAcl, TheBrokerKeepsOtherClientsToCommands) {
  const std::string passwords = OwnFile("passwords");
  for (const auto& [user, password] : {std::pair{"lampd", "lampd-secret"}, {"plc", "plc-secret"}}) {
    const auto made =
        lamptest::RunProgram({"/usr/bin/mosquitto_passwd", "-b", passwords, user, password}, {});
    if (made.status != 0) {  // the first makes the file
      ASSERT_EQ(lamptest::RunProgram(
                    {"/usr/bin/mosquitto_passwd", "-c", "-b", passwords, user, password}, {})
                    .status,
                0);
    }
  }
  Broker broker(1883, "password_file " + passwords + "\nallow_anonymous false\nacl_file " +
                          LAMPD_ACL_PATH + "\n");
  LampUnitProcess unit({"--address", "192.168.10.200"});
  ASSERT_TRUE(broker.Ready() && unit.Ready());
  const std::string secret = OwnFile("secret");
  std::ofstream(secret) << "lampd-secret\n";
  LampdProcess served(
      "name = \"line1\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\nusername = "
      "\"lampd\"\npassword_file = \"" +
          secret + "\"\n[fleet]\npoll_every = \"200ms\"\n[http]\nlisten = \"\"\n" +
          Unit("press-3", "192.168.10.200"),
      "acl");
  MqttProbe plc(1883, "plc", "plc", "plc-secret");
  plc.Subscribe("lampd/#");
  ASSERT_TRUE(StateOf(plc, "press-3")) << served.Log();
  // The plc's forged state and offline are refused by the broker...
  std::size_t from = plc.Messages().size();
  plc.Publish("lampd/press-3", R"({"id": "press-3", "instance": "forged"})", true);
  plc.Publish("lampd/bridge/line1/state", "offline", true);
  // ...its command is taken.
  plc.Publish("lampd/press-3/set/blue", "on");
  ASSERT_TRUE(StateOf(
      plc, "press-3", [](const json& s) { return s["lamps"]["blue"] == "on"; }, from));
  for (const auto& message : plc.Messages()) {
    EXPECT_EQ(message.payload.find("forged"), std::string::npos) << message.topic;
    if (message.topic == "lampd/bridge/line1/state") {
      EXPECT_EQ(message.payload, "online");
    }
  }
}

}  // namespace
