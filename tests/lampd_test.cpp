// lampd driven only through MQTT, as an integrator drives it: a real
// Mosquitto broker and simulated units on the test's private network.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "mqtt_test.h"

namespace {

using lamptest::Broker;
using lamptest::InstanceConfig;
using lamptest::LampdProcess;
using lamptest::LampUnitProcess;
using lamptest::MqttProbe;
using lamptest::StateOf;
using lamptest::Unit;
using lamptest::Writes;
using nlohmann::json;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t D = 0x64;

const std::string kConfig = R"(name = "line1"
[mqtt]
url = "mqtt://127.0.0.1:1883"
[fleet]
poll_every = "200ms"
offline_after = 2
[[unit]]
id = "press-3"
address = "192.168.10.200:20000"
)";

class LampdTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker.Ready());
    ASSERT_TRUE(unit.Ready());
    ASSERT_TRUE(lampd.Running());
    probe.Subscribe("lampd/#");
    ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  }

  Broker broker;
  LampUnitProcess unit{{"--address", "192.168.10.200"}};
  LampdProcess lampd{kConfig};
  MqttProbe probe;
};

TEST_F(LampdTest, CommandsReachTheUnitAndItsStateComesBackRetained) {
  const auto first = StateOf(probe, "press-3");
  EXPECT_EQ(first->at("instance"), "line1");
  EXPECT_EQ(first->at("address"), "192.168.10.200:20000");
  EXPECT_EQ(
      first->at("lamps"),
      (json{
          {"red", "off"}, {"yellow", "off"}, {"green", "off"}, {"blue", "off"}, {"white", "off"}}));
  ASSERT_TRUE(probe.WaitFor("lampd/press-3/availability",
                            [](const std::string& payload) { return payload == "online"; }));

  probe.Publish("lampd/press-3/set", R"({"red": "on", "white": "blink", "sound": 2})");
  const auto lit =
      StateOf(probe, "press-3", [](const json& state) { return state["lamps"]["red"] == "on"; });
  ASSERT_TRUE(lit);
  EXPECT_EQ(lit->at("lamps")["white"], "blink");
  EXPECT_EQ(lit->at("sound"), 2);
  EXPECT_EQ(lit->at("sound_name"), "Emergency");
  EXPECT_EQ(lit->at("words"), "R-ON/Y-OF/G-OF/B-OF/W-BL/(S)-ON/");
  ASSERT_FALSE(Writes(unit).empty());
  EXPECT_EQ(Writes(unit).back(), (Bytes{'W', 0, 1, D, D, D, 2, 2}));

  // One lamp by its own topic, the sound off the same way.
  probe.Publish("lampd/press-3/set/green", "blink");
  probe.Publish("lampd/press-3/set/sound", "off");
  EXPECT_TRUE(StateOf(probe, "press-3", [](const json& state) {
    return state["lamps"]["green"] == "blink" && state["sound"] == "off";
  }));

  // A client that comes later is given the state at once, and get reads anew.
  MqttProbe late(1883, "late");
  late.Subscribe("lampd/press-3");
  const auto retained = late.WaitFor("lampd/press-3");
  ASSERT_TRUE(retained);
  EXPECT_TRUE(retained->retained);
  const std::size_t reads = unit.Received("tcp").size();
  const std::size_t seen = probe.Messages().size();
  probe.Publish("lampd/press-3/get", "");
  EXPECT_TRUE(probe.WaitFor(
      "lampd/press-3", [](const std::string&) { return true; }, 10s, seen));
  EXPECT_GT(unit.Received("tcp").size(), reads);
}

TEST_F(LampdTest, BadCommandsSendNothingAndSayWhy) {
  const std::vector<std::tuple<std::string, std::string, std::string>> refused = {
      {"lampd/press-3/set", "{red: on}", "not a JSON object"},
      {"lampd/press-3/set", R"({"purple": "on"})", "not a lamp"},
      {"lampd/press-3/set", R"({"red": "dim"})", "red takes \"off\", \"on\" or \"blink\""},
      {"lampd/press-3/set", R"({"sound": 6})", "sound takes 1 to 5"},
      {"lampd/press-3/set/red", "bright", "red takes off, on or blink"},
      {"lampd/press-3/set/purple", "on", "not a lamp"},
      {"lampd/press-3/set", "{\"red\": \"on\", \"x\": \"" + std::string(5000, 'x') + "\"}",
       "over 4 KiB"},
      {"lampd/nonesuch/set", R"({"red": "on"})", "no instance serves a unit with id nonesuch"},
  };
  const std::size_t writesBefore = Writes(unit).size();
  for (const auto& [topic, payload, reason] : refused) {
    const std::size_t seen = probe.Messages().size();
    probe.Publish(topic, payload);
    const std::string errorTopic = topic.substr(0, topic.find('/', 6)) + "/error";
    const auto error = probe.WaitFor(
        errorTopic, [](const std::string&) { return true; }, 10s, seen);
    ASSERT_TRUE(error) << topic << " " << payload.substr(0, 40);
    const json said = json::parse(error->payload);
    EXPECT_NE(said["error"].get<std::string>().find(reason), std::string::npos) << said.dump();
    EXPECT_EQ(said["payload"], payload.substr(0, 200));
  }
  EXPECT_EQ(Writes(unit).size(), writesBefore);
}

TEST(Lampd, AUnitThatGoesIsOfflineAndOnlineAgainWhenItComesBack) {
  Broker broker;
  auto unit =
      std::make_unique<LampUnitProcess>(std::vector<std::string>{"--address", "192.168.10.200"});
  LampdProcess lampd(kConfig);
  MqttProbe probe;
  probe.Subscribe("lampd/press-3/availability");
  ASSERT_TRUE(probe.WaitFor("lampd/press-3/availability",
                            [](const std::string& payload) { return payload == "online"; }));
  unit.reset();
  const std::size_t seen = probe.Messages().size();
  ASSERT_TRUE(probe.WaitFor(
      "lampd/press-3/availability", [](const std::string& payload) { return payload == "offline"; },
      10s, seen));
  EXPECT_TRUE(
      lampd.WaitForLog("unit press-3 at 192.168.10.200:20000 offline after 2 missed polls"));
  unit = std::make_unique<LampUnitProcess>(std::vector<std::string>{"--address", "192.168.10.200"});
  EXPECT_TRUE(probe.WaitFor(
      "lampd/press-3/availability", [](const std::string& payload) { return payload == "online"; },
      10s, seen + 1));
}

TEST(Lampd, ABrokerThatRestartsIsGivenEverythingAgain) {
  Broker broker;
  LampUnitProcess unit({"--address", "192.168.10.200"});
  LampdProcess lampd(kConfig);
  {
    MqttProbe probe;
    probe.Subscribe("lampd/#");
    ASSERT_TRUE(probe.WaitFor("lampd/bridge/line1/state",
                              [](const std::string& payload) { return payload == "online"; }));
  }
  broker.Stop();  // its retained messages go with it
  ASSERT_TRUE(lampd.WaitForLog("lost"));
  ASSERT_TRUE(broker.Start());
  MqttProbe probe(1883, "after");
  probe.Subscribe("lampd/#");
  EXPECT_TRUE(probe.WaitFor(
      "lampd/press-3", [](const std::string&) { return true; }, 40s));
  EXPECT_TRUE(probe.WaitFor("lampd/bridge/line1/state",
                            [](const std::string& payload) { return payload == "online"; }));
  EXPECT_TRUE(probe.WaitFor("lampd/press-3/availability",
                            [](const std::string& payload) { return payload == "online"; }));
}

TEST(Lampd, StopsCleanlyOnSigtermWithItsBridgeOffline) {
  Broker broker;
  LampdProcess lampd(kConfig);
  MqttProbe probe;
  probe.Subscribe("lampd/bridge/line1/state");
  ASSERT_TRUE(probe.WaitFor("lampd/bridge/line1/state",
                            [](const std::string& payload) { return payload == "online"; }));
  int status = -1;
  const double seconds = lamptest::SecondsOf([&] { status = lampd.Stop(); });
  EXPECT_EQ(status, 0);
  EXPECT_LT(seconds, 2.0);
  EXPECT_TRUE(probe.WaitFor("lampd/bridge/line1/state",
                            [](const std::string& payload) { return payload == "offline"; }));
}

// A configuration of one instance on the broker at `port`.
TEST(Lampd, HomeAssistantReadsItsDiscoveryAsItIs) {
  Broker broker;
  LampUnitProcess unit({"--address", "192.168.10.21", "--model", "3", "--mac", "0.80.194.1.2.9"});
  ASSERT_TRUE(broker.Ready() && unit.Ready());
  MqttProbe probe;
  probe.Subscribe("homeassistant/#");
  probe.Subscribe("lampd/#");
  LampdProcess lampd(InstanceConfig("line1", 1883, "", "interfaces = [\"lo\"]\n"));
  const std::string id = "0050c2010209";  // found by its MAC address
  ASSERT_TRUE(probe.WaitFor("homeassistant/device/" + id + "/config")) << lampd.Log();
  probe.Publish("lampd/" + id + "/set", R"({"yellow": "blink", "sound": 2})");
  const auto state = StateOf(probe, id, [](const json& state) { return state["sound"] == 2; });
  ASSERT_TRUE(state);
  MqttProbe homeAssistant(1883, "home-assistant");  // comes later: given it retained
  homeAssistant.Subscribe("homeassistant/#");
  const auto config = homeAssistant.WaitFor("homeassistant/device/" + id + "/config");
  ASSERT_TRUE(config);
  EXPECT_TRUE(config->retained);

  const std::string configFile =
      testing::TempDir() + std::to_string(::getpid()) + "-discovery.json";
  const std::string stateFile = testing::TempDir() + std::to_string(::getpid()) + "-state.json";
  std::ofstream(configFile) << config->payload;
  std::ofstream(stateFile) << state->dump();
  const auto read =
      lamptest::RunProgram({"/usr/bin/python3", HA_TEMPLATES_PATH, configFile, stateFile}, {});
  ASSERT_EQ(read.status, 0) << read.err;
  for (const std::string& line : std::vector<std::string>{
           "model Type-D(1)",
           "connections [[\"mac\", \"00:50:c2:01:02:09\"]]",
           "availability lampd/" + id + "/availability lampd/bridge/line1/state all",
           "select Red off lampd/" + id + "/set/red",
           "select Yellow blink lampd/" + id + "/set/yellow",
           "siren ON",
           "tone Door Chime -> 2",
           "tone Tripping Bead -> 5",
           "on -> 1",
           "off -> off",
           "button Reset lampd/" + id + "/set {\"reset\": true}",
       }) {
    EXPECT_NE(read.out.find(line + "\n"), std::string::npos) << line << "\n" << read.out;
  }

  // Home Assistant starting again is given the description again.
  const std::size_t seen = probe.Messages().size();
  probe.Publish("homeassistant/status", "online");
  EXPECT_TRUE(probe.WaitFor(
      "homeassistant/device/" + id + "/config", [](const std::string&) { return true; }, 10s,
      seen));
}

TEST(Lampd, InstancesOnBridgedBrokersEachServeTheirOwnUnits) {
  Broker east(1883);
  Broker west(1884, "connection east\naddress 127.0.0.1:1883\ntopic lampd/# both 1\n");
  LampUnitProcess first({"--address", "192.168.10.200"});
  LampUnitProcess second({"--address", "192.168.10.21", "--mac", "0.80.194.1.2.9"});
  ASSERT_TRUE(east.Ready() && west.Ready() && first.Ready() && second.Ready());
  LampdProcess one(InstanceConfig("east", 1883, Unit("press-a", "192.168.10.200")), "east");
  LampdProcess two(InstanceConfig("west", 1884, Unit("press-b", "192.168.10.21")), "west");
  MqttProbe probe(1883);
  probe.Subscribe("lampd/#");
  // The west instance's unit, seen on the east broker across the bridge.
  const auto far = StateOf(probe, "press-b");
  ASSERT_TRUE(far) << two.Log();
  EXPECT_EQ(far->at("instance"), "west");
  ASSERT_TRUE(StateOf(probe, "press-a"));

  probe.Publish("lampd/press-b/set", R"({"blue": "on"})");
  EXPECT_TRUE(
      StateOf(probe, "press-b", [](const json& state) { return state["lamps"]["blue"] == "on"; }));
  EXPECT_EQ(Writes(second).size(), 1u);
  EXPECT_TRUE(Writes(first).empty()) << "the east instance acted on a unit it does not serve";
  probe.Publish("lampd/press-b/set/purple", "on");
  const auto error = probe.WaitFor("lampd/press-b/error");
  ASSERT_TRUE(error);
  EXPECT_TRUE(two.WaitForLog("unit press-b: not a lamp"));
  EXPECT_EQ(one.Log().find("unit press-b"), std::string::npos) << one.Log();

  // A third instance given press-b too drives it as well, across the
  // bridge: a configuration error, which its state tells.
  LampdProcess three(InstanceConfig("alpha", 1883, Unit("press-b", "192.168.10.21")), "alpha");
  EXPECT_TRUE(StateOf(probe, "press-b", [](const json& state) {
    return state.value("also_driven_by", "") == "west" && state["instance"] == "alpha";
  })) << three.Log();
}

TEST(Lampd, BrokenUnitsAreToldAboutAndTheOthersServedAsEver) {
  Broker broker;
  LampUnitProcess good({"--address", "192.168.10.200"});
  LampUnitProcess shortReply({"--address", "192.168.10.31", "--tcp-fault", "short:3"});
  LampUnitProcess garbage({"--address", "192.168.10.32", "--tcp-fault", "long"});
  ASSERT_TRUE(broker.Ready() && good.Ready() && shortReply.Ready() && garbage.Ready());
  MqttProbe probe;
  probe.Subscribe("lampd/#");
  LampdProcess lampd(InstanceConfig("line1", 1883,
                                    Unit("press-3", "192.168.10.200") +
                                        Unit("cut", "192.168.10.31") +
                                        Unit("long", "192.168.10.32")));
  ASSERT_TRUE(probe.WaitFor("lampd/cut/availability",
                            [](const std::string& payload) { return payload == "offline"; }));
  EXPECT_TRUE(
      lampd.WaitForLog("unit cut at 192.168.10.31:20000 offline after 3 missed polls: "
                       "short reply: 3 of 8 bytes"));
  probe.Publish("lampd/cut/get", "");
  const auto error = probe.WaitFor("lampd/cut/error");
  ASSERT_TRUE(error);
  EXPECT_NE(error->payload.find("the unit did not answer: short reply: 3 of 8 bytes"),
            std::string::npos)
      << error->payload;
  // A reply longer than a frame is read as far as the frame goes.
  EXPECT_TRUE(probe.WaitFor("lampd/long/availability",
                            [](const std::string& payload) { return payload == "online"; }));
  probe.Publish("lampd/press-3/set/blue", "on");
  EXPECT_TRUE(
      StateOf(probe, "press-3", [](const json& state) { return state["lamps"]["blue"] == "on"; }));
}

TEST(Lampd, ABrokerThatRefusesTheCredentialsIsToldAboutAndTriedAgain) {
  const std::string passwords = testing::TempDir() + std::to_string(::getpid()) + "-passwords";
  ASSERT_EQ(lamptest::RunProgram(
                {"/usr/bin/mosquitto_passwd", "-c", "-b", passwords, "lampd", "right"}, {})
                .status,
            0);
  Broker broker(1883, "password_file " + passwords + "\nallow_anonymous false\n");
  ASSERT_TRUE(broker.Ready());
  const std::string secret = testing::TempDir() + std::to_string(::getpid()) + "-secret";
  std::ofstream(secret) << "wrong\n";
  LampdProcess lampd(
      "name = \"line1\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\n"
      "username = \"lampd\"\npassword_file = \"" +
      secret + "\"\n");
  EXPECT_TRUE(lampd.WaitForLog("the broker at 127.0.0.1:1883 refused the connection: "));
  EXPECT_TRUE(lampd.WaitForLog("trying again in 2 s")) << lampd.Log();
  EXPECT_EQ(lampd.Stop(), 0);
}

TEST(Lampd, SpeaksTlsToABrokerItHasCheckedAndToNoOther) {
  // A certificate authority of the test's own, and the broker's certificate for 127.0.0.1.
  const std::string dir = testing::TempDir() + std::to_string(::getpid()) + "-tls";
  const auto made = lamptest::RunProgram(
      {"/bin/sh", "-ec",
       "mkdir -p " + dir + " && cd " + dir +
           " && for ca in ca other; do openssl req -x509 -newkey rsa:2048 -nodes -keyout $ca.key"
           " -out $ca.crt -days 2 -subj \"/CN=test $ca\"; done"
           " && openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr"
           " -subj /CN=127.0.0.1"
           " && printf 'subjectAltName=IP:127.0.0.1\\n' > names"
           " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial"
           " -out server.crt -days 2 -extfile names"},
      {});
  ASSERT_EQ(made.status, 0) << made.err;
  Broker broker(1883, "listener 8883 127.0.0.1\ncertfile " + dir + "/server.crt\nkeyfile " + dir +
                          "/server.key\n");
  LampUnitProcess unit({"--address", "192.168.10.200"});
  ASSERT_TRUE(broker.Ready() && unit.Ready());
  MqttProbe probe;
  probe.Subscribe("lampd/#");
  auto overTls = [&](const std::string& name, const std::string& ca) {
    return "name = \"" + name + "\"\n[mqtt]\nurl = \"mqtts://127.0.0.1:8883\"\nca_file = \"" + dir +
           "/" + ca + "\"\n[http]\nlisten = \"\"\n" + Unit("press-" + name, "192.168.10.200");
  };
  LampdProcess trusted(overTls("good", "ca.crt"), "good");
  EXPECT_TRUE(StateOf(probe, "press-good")) << trusted.Log();
  LampdProcess misled(overTls("misled", "other.crt"), "misled");
  EXPECT_TRUE(misled.WaitForLog("trying again in")) << misled.Log();
  EXPECT_TRUE(probe
                  .WaitFor(
                      "lampd/press-misled", [](const std::string&) { return true; }, 1500ms)
                  .has_value() == false);
}

TEST_F(LampdTest, AFloodOfCommandsNeitherStopsItNorGrowsIt) {
  auto flood = [&](int count) {
    for (int i = 0; i < count; ++i) {
      probe.Publish(i % 2 ? "lampd/press-3/set/red" : "lampd/nonesuch/set", i % 4 ? "on" : "off");
    }
  };
  // Once the flood is through, a command is carried out again (those that
  // found the unit's queue full were refused, each with its error). The
  // probe's own command waits behind the flood it sends, 20 in flight at a
  // time: on a busy machine all of it took over half a minute once.
  auto served = [&](const std::string& white) {
    const auto end = std::chrono::steady_clock::now() + 90s;
    while (std::chrono::steady_clock::now() < end) {
      const std::size_t seen = probe.Messages().size();
      probe.Publish("lampd/press-3/set/white", white);
      if (probe.WaitFor(
              "lampd/press-3",
              [&](const std::string& payload) {
                return json::parse(payload)["lamps"]["white"] == white;
              },
              500ms, seen)) {
        return true;
      }
    }
    return false;
  };
  flood(2000);  // the first round settles what it needs
  ASSERT_TRUE(served("blink")) << lampd.Log();
  const long before = lamptest::ResidentKilobytes(lampd.Pid());
  flood(10000);
  ASSERT_TRUE(served("off")) << lampd.Log();
  // Under AddressSanitizer freed memory is held back on purpose.
  if (!lamptest::SanitizedTree()) {
    EXPECT_LT(lamptest::ResidentKilobytes(lampd.Pid()) - before, 4096)
        << "kilobytes grown by 10,000 commands";
  }
  EXPECT_TRUE(probe.WaitFor("lampd/press-3/error", [](const std::string& payload) {
    return payload.find("the unit is busy: 64 commands wait for it already") != std::string::npos;
  }));
}

TEST(Lampd, BadConfigurationStopsItWithTheFileAndLine) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"name = \"a\"\ncolour = 1\n", ":2: unknown key 'colour'"},
      {"[mqtt]\nurl = \"http://x\"\n", ":2: url must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"},
      {"[fleet]\npoll_every = \"soon\"\n", ":2: poll_every must be a duration"},
      {"[fleet]\nparallel = \"many\"\n", ":2: parallel must be a number"},
      {"[[unit]]\nid = \"a\"\naddress = \"10.0.0.300\"\n", ":3: unit a: not an IPv4 address"},
      {"[[unit]]\nid = \"a\"\naddress = \"10.0.0.3\"\n[[unit]]\nid = \"a\"\naddress = "
       "\"10.0.0.4\"\n",
       ":5: unit id 'a' is given already on line 2"},
      {"[mqtt]\npassword_file = \"/nonexistent/password\"\n",
       ":2: cannot read the password file /nonexistent/password"},
      {"name = \"a\"\n[mqtt\n", ":2: "},
      {"[fleet]\nenforce = \"yes\"\n", ":2: enforce must be true or false"},
      {"[groups]\nline1 = \"press-3\"\n", ":2: group line1 must be a list"},
      {"[groups]\nline1 = [\"press-3\", \"192.168.10.300\"]\n",
       ":2: group line1: '192.168.10.300' is not a unit id, a MAC address or an address"},
      {"[http]\nlisten = \"localhost\"\n", ":2: listen must be ADDRESS:PORT"},
      {"[http]\ntoken_file = \"/nonexistent/token\"\n",
       ":2: cannot read the token file /nonexistent/token"},
      {"[[alert]]\ntarget = \"group:nope\"\nset = { red = \"on\" }\n",
       ":2: no group 'nope' in [groups]"},
      {"[[alert]]\ntarget = \"press-3\"\nset = { red = \"dim\" }\n", ":3: set: red takes"},
      {"[[alert]]\ntarget = \"press-3\"\nset = { red = \"on\", for = \"1m\" }\n",
       ":3: set takes lamps and the sound; 'for' is the rule's own"},
      {"[[alert]]\ntarget = \"press-3\"\n", ":1: an [[alert]] needs set"},
      {"[modbus]\nlisten = \"0.0.0.0:1502\"\n[modbus.slots]\n4096 = \"0050c2010201\"\n",
       ":4: modbus slot '4096' is not a number from 1 to 4095"},
      {"[modbus.slots]\n1 = \"press-9\"\n", ":2: modbus slot 1: 'press-9' is no [[unit]] id here"},
      {"[modbus.slots]\n1 = \"group:nope\"\n", ":2: modbus slot 1: no group nope in [groups]"},
      {"[modbus.slots]\n1 = \"0050c2010201\"\n2 = \"00:50:c2:01:02:01\"\n",
       ":3: modbus slots 1 and 2 both name 00:50:c2:01:02:01"},
      {"[modbus]\nallow = [\"10.20.0.0/33\"]\n", ":2: allow takes addresses and networks"},
      {"[modbus]\nmax_clients = 0\n", ":2: max_clients must be from 1 to 1024"},
      {"[cluster]\nlease = \"5s\"\n", ":1: [cluster] needs etcd"},
      {"[cluster]\netcd = [\"etcd1:2379\"]\n", ":2: etcd takes \"http://HOST:PORT\""},
      {"[cluster]\netcd = [\"http://e1:2379\"]\nlease = \"1s\"\n",
       ":3: lease must be from \"2s\" to \"1m\""},
      {"[cluster]\netcd = [\"http://e1:2379\"]\nprefer = [\"group:nope\"]\n",
       ":3: prefer: no group nope in [groups]"},
      {"[http]\nproxy_header = \"X-Forwarded-User\"\n",
       ":2: proxy_header and proxy_from go together"},
      {"[http]\nsession = \"10s\"\n", ":2: session must be from 1m to 30d"},
  };
  for (const auto& [text, reason] : refused) {
    const std::string path = testing::TempDir() + std::to_string(::getpid()) + "-bad.toml";
    std::ofstream(path) << text;
    const auto run = lamptest::RunProgram({LAMPD_PATH, "--check-config", "--config", path}, {});
    EXPECT_EQ(run.status, 2) << text;
    EXPECT_NE(run.err.find(path + reason), std::string::npos) << text << run.err;
  }
  // A users file is checked too, with its own line.
  const std::string users = testing::TempDir() + std::to_string(::getpid()) + "-users";
  std::ofstream(users) << "# people\nada:chief::token:" << std::string(64, 'a') << "\n";
  const std::string withUsers = testing::TempDir() + std::to_string(::getpid()) + "-users.toml";
  std::ofstream(withUsers) << "[http]\nusers_file = \"" << users << "\"\n";
  const auto bad = lamptest::RunProgram({LAMPD_PATH, "--check-config", "--config", withUsers}, {});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find(users + ":2: the role must be"), std::string::npos) << bad.err;
  const std::string good = testing::TempDir() + std::to_string(::getpid()) + "-good.toml";
  std::ofstream(good) << kConfig;
  const auto run = lamptest::RunProgram({LAMPD_PATH, "--check-config", "--config", good}, {});
  EXPECT_EQ(run.status, 0) << run.err;
}

}  // namespace
