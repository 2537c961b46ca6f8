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
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "mqtt_test.h"
#include "net/tcp_exchanges.h"
#include "protocol/lamp_frame.h"
#include "schema_check.h"

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
  return InstanceConfig("line1", 1883, Unit("press-3", "192.168.10.200"), "", "127.0.0.1:9730") +
         more;
}

// What a console press or lampctl does behind lampd's back.
void ConsoleWrite(const protocol::LampCodes& codes) {
  const auto frame = protocol::WriteRequest(0, codes);
  const auto results =
      platform::RunTcpExchanges({{platform::SocketAddress::FromDottedText("192.168.10.200", 20000),
                                  {frame.begin(), frame.end()}}},
                                {});
  ASSERT_TRUE(results.front().ok) << results.front().Reason();
}

std::function<bool(const json&)> Red(const std::string& shown, std::size_t leases) {
  return [=](const json& state) {
    return state["lamps"]["red"] == shown && state["leases"].size() == leases;
  };
}

class LampdLeases : public lamptest::PlantTest {
 protected:
  // Publishes a command and waits for the state it leads to.
  std::optional<json> Command(const std::string& payload,
                              const std::function<bool(const json&)>& holds) {
    const std::size_t from = probe.Messages().size();
    probe.Publish(kSet, payload);
    return StateOf(probe, "press-3", holds, from);
  }
};

TEST_F(LampdLeases, OutrankEachOtherAndEndBackAtTheBaseline) {
  LampdProcess lampd(Config());
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  ASSERT_TRUE(
      Command(R"({"green": "on"})", [](const json& s) { return s["lamps"]["green"] == "on"; }));

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
  EXPECT_TRUE(
      Command(R"({"red": "on", "for": "1m", "priority": 8, "source": "alarm"})", Red("on", 2)));
  EXPECT_TRUE(
      Command(R"({"red": "off", "for": "1m", "priority": 8, "source": "shift"})", Red("off", 3)));
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
    ASSERT_TRUE(Command(R"({"red": "blink", "for": "1h", "source": "long"})", Red("blink", 1)))
        << lampd.Log();
    started = Clock::now();
    ASSERT_TRUE(Command(R"({"yellow": "on", "for": "800ms", "source": "short"})",
                        [](const json& s) { return s["leases"].size() == 2; }))
        << lampd.Log();
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
        [](const json& s) { return s["lamps"]["red"] == "blink" && s["leases"].size() == 1; },
        from);
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
  ASSERT_TRUE(Command(R"({"white": "on", "for": "1h"})", [](const json& s) {
    return s["lamps"]["white"] == "on";
  })) << lampd.Log();
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
  const auto back = StateOf(
      probe, "press-3",
      [](const json& s) { return s["lamps"]["red"] == "blink" && s["sound"] == 3; }, from);
  ASSERT_TRUE(back) << lampd.Log();

  // A console press: what the lease holds is put back, what it does not
  // hold stays as pressed and becomes the baseline.
  from = probe.Messages().size();
  ConsoleWrite({0, 1, D, D, D, D});
  EXPECT_TRUE(StateOf(
      probe, "press-3",
      [](const json& s) { return s["lamps"]["red"] == "off" && s["lamps"]["yellow"] == "on"; },
      from));
  EXPECT_TRUE(StateOf(
      probe, "press-3",
      [](const json& s) { return s["lamps"]["red"] == "blink" && s["lamps"]["yellow"] == "on"; },
      from))
      << lampd.Log();
  EXPECT_TRUE(lampd.WaitForLog("shows other than its leases (red)"));
  from = probe.Messages().size();
  probe.Publish(kSet, R"({"clear": "*"})");
  const auto cleared = StateOf(probe, "press-3", Red("off", 0), from);
  ASSERT_TRUE(cleared);
  EXPECT_EQ(cleared->at("lamps")["yellow"], "on");
  EXPECT_EQ(cleared->at("sound"), "off");
  EXPECT_EQ(lampd.Stop(), 0);

  // With enforce = false a console press stands, for poll after poll.
  LampdProcess lenient(InstanceConfig("line1", 1883, Unit("press-3", "192.168.10.200"),
                                      "enforce = false\n", "127.0.0.1:9730"),
                       "lenient");
  from = probe.Messages().size();
  probe.Publish(kSet, R"({"green": "blink", "for": "1h"})");
  ASSERT_TRUE(StateOf(
      probe, "press-3", [](const json& s) { return s["lamps"]["green"] == "blink"; }, from))
      << lenient.Log();
  ConsoleWrite({D, D, 0, D, D, D});
  const std::size_t writes = Writes(unit.value()).size();
  const std::size_t reads = unit->Received("tcp").size();
  ASSERT_TRUE(unit->WaitForLine("recv", 10s, unit->Lines().size()));
  while (unit->Received("tcp").size() < reads + 4) {
    ASSERT_TRUE(unit->WaitForLine("recv", 10s, unit->Lines().size()));
  }
  EXPECT_EQ(Writes(unit.value()).size(), writes);
}

TEST(LampdGroups, ReachTheirMembersOnEveryInstanceOfABridgedPlant) {
  Broker east(1883);
  Broker west(1884, "connection east\naddress 127.0.0.1:1883\ntopic lampd/# both 1\n");
  ASSERT_TRUE(east.Ready() && west.Ready());
  LampUnitProcess a({"--address", "192.168.10.200"});
  LampUnitProcess b1({"--address", "192.168.10.21"});
  LampUnitProcess b2({"--address", "192.168.10.22"});
  LampUnitProcess other({"--address", "192.168.10.23"});
  const std::string groups = "[groups]\nline1 = [\"press-a\", \"192.168.10.21-22\"]\n";
  LampdProcess one(
      InstanceConfig("east", 1883, Unit("press-a", "192.168.10.200"), "", "127.0.0.1:9730") +
          groups,
      "east");
  LampdProcess two(InstanceConfig("west", 1884,
                                  Unit("b1", "192.168.10.21") + Unit("b2", "192.168.10.22") +
                                      Unit("other", "192.168.10.23")) +
                       groups,
                   "west");
  MqttProbe probe(1883);
  probe.Subscribe("lampd/#");
  for (const char* id : {"press-a", "b1", "b2", "other"}) {
    ASSERT_TRUE(StateOf(probe, id)) << id << one.Log() << two.Log();
  }

  probe.Publish("lampd/group/line1/set", R"({"green": "on"})");
  for (const char* id : {"press-a", "b1", "b2"}) {
    EXPECT_TRUE(StateOf(probe, id, [](const json& s) { return s["lamps"]["green"] == "on"; }))
        << id;
  }
  // Over HTTP to one instance: its members at once, the others' through the broker.
  const auto reply =
      Http("POST", "/api/groups/line1", R"({"red": "blink", "for": "1m", "source": "andon"})");
  ASSERT_EQ(reply.status, 200) << reply.body << one.Log();
  ASSERT_EQ(reply.Json()["units"].size(), 1u);
  EXPECT_EQ(reply.Json()["units"][0]["lamps"]["red"], "blink");
  for (const char* id : {"b1", "b2"}) {
    const auto state = StateOf(probe, id, Red("blink", 1));
    ASSERT_TRUE(state) << id << two.Log();
    EXPECT_EQ(state->at("leases")[0]["source"], "andon");
  }
  EXPECT_TRUE(one.WaitForLog(
      "group line1: a lease of andon, priority 5, for 1m over http from 127.0.0.1 to 1 unit(s) "
      "here"));
  // Who sent it goes on with it, for the journal of the instance that serves the units.
  EXPECT_TRUE(two.WaitForLog(
      "group line1: a lease of andon, priority 5, for 1m from 127.0.0.1 to 2 unit(s) here"));
  EXPECT_TRUE(Writes(other).empty());
  EXPECT_EQ(Writes(b1).size(), 2u);  // not once more for its own instance's echo
}

class LampdHttp : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker.Ready() && unit.Ready());
    ASSERT_TRUE(lampd.WaitForLog("HTTP on 127.0.0.1:9730, a token asked for")) << lampd.Log();
    probe.Subscribe("lampd/#");
    ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  }
  static std::string TokenFile() {
    static const std::string path = [] {
      const std::string file = OwnFile("token");
      std::ofstream(file) << kToken << "\n";
      return file;
    }();
    return path;
  }
  lamptest::HttpReply Call(const std::string& method, const std::string& path,
                           const std::string& body = "") {
    return Http(method, path, body, kToken);
  }

  Broker broker;
  LampUnitProcess unit{{"--address", "192.168.10.200"}};
  // A loaded test machine may keep the unit's answer past the usual 300 ms:
  // what these cases try is the HTTP front, not the unit's timing.
  LampdProcess lampd{
      InstanceConfig("line1", 1883,
                     Unit("press-3", "192.168.10.200") + Unit("gone", "192.168.10.99"),
                     "timeout = \"2s\"\n",
                     "listen = \"127.0.0.1:9730\"\ntoken_file = \"" + TokenFile() + "\"\n") +
      "[groups]\nline1 = [\"press-3\"]\n"};
  MqttProbe probe;
};

TEST_F(LampdHttp, AnswersEachCaseWithItsCode) {
  EXPECT_EQ(Http("GET", "/api/units").status, 401);
  EXPECT_EQ(Http("GET", "/api/units", "", "not-the-token").status, 401);
  const auto units = Call("GET", "/api/units");
  ASSERT_EQ(units.status, 200);
  ASSERT_EQ(units.Json().size(), 2u);
  EXPECT_EQ(units.Json()[1]["id"], "press-3");
  EXPECT_EQ(units.Json()[1]["online"], true);
  EXPECT_EQ(Call("GET", "/api/units/press-3").Json()["lamps"]["red"], "off");
  EXPECT_EQ(Call("GET", "/api/units/nope").status, 404);
  EXPECT_EQ(Call("PUT", "/api/units/nope", R"({"red": "on"})").status, 404);
  EXPECT_EQ(Call("POST", "/api/groups/nope", R"({"red": "on"})").status, 404);
  EXPECT_EQ(Call("DELETE", "/api/units/press-3").status, 405);
  EXPECT_EQ(Call("GET", "/api/nothing").status, 404);

  // Bodies that are refused send nothing and store no lease.
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"{red: on}", "not a JSON object"},
      {R"({"purple": "on"})", "not a lamp"},
      {R"({"red": 1})", "red takes \"off\", \"on\" or \"blink\""},
      {R"({"red": "on", "for": "-5s"})", "for takes a duration"},
      {R"({"red": "on", "for": "0s"})", "for takes a duration"},
      {R"({"red": "on", "for": "31d"})", "for takes a duration"},
      {R"({"red": "on", "for": "soon"})", "for takes a duration"},
      {R"({"red": "on", "for": 90})", "for takes a duration"},
      {R"({"red": "on", "priority": 10})", "priority takes a whole number from 0 to 9"},
      {R"({"red": "on", "priority": "high"})", "priority takes a whole number"},
      {R"({"red": "on", "clear": "ci"})", "clear stands alone"},
      {R"({"reset": true, "for": "1m"})", "a reset is not a lease"},
      {R"({"for": "1m"})", "nothing to set"},
  };
  for (const auto& [body, why] : refused) {
    const auto reply = Call("PUT", "/api/units/press-3", body);
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_NE(reply.Json().value("error", "").find(why), std::string::npos) << body << reply.body;
  }
  EXPECT_EQ(Call("PUT", "/api/units/press-3", std::string(5000, ' ')).status, 413);
  // Refused by its length: a command past it is neither kept nor sent.
  EXPECT_EQ(Call("PUT", "/api/units/press-3",
                 R"({"red": "on", "for": "1h", "source": ")" + std::string(5000, 'a') + R"("})")
                .status,
            413);
  EXPECT_TRUE(Writes(unit).empty());
  EXPECT_TRUE(Call("GET", "/api/units/press-3").Json()["leases"].empty());

  const auto lit =
      Call("PUT", "/api/units/press-3", R"({"red": "on", "for": "1m", "source": "ci"})");
  ASSERT_EQ(lit.status, 200) << lit.body;
  EXPECT_EQ(lit.Json()["lamps"]["red"], "on");
  EXPECT_EQ(lit.Json()["leases"][0]["source"], "ci");
  EXPECT_EQ(Writes(unit).back(), (Bytes{'W', 0, 1, D, D, D, D, D}));
  const auto group = Call("POST", "/api/groups/line1", R"({"yellow": "blink"})");
  ASSERT_EQ(group.status, 200) << group.body;
  EXPECT_EQ(group.Json()["units"][0]["lamps"]["yellow"], "blink");
  const auto gone = Call("PUT", "/api/units/gone", R"({"red": "on", "for": "1m"})");
  EXPECT_EQ(gone.status, 502);
  EXPECT_NE(gone.Json().value("error", "").find("its leases are kept"), std::string::npos)
      << gone.body;

  // The metrics need no token, and pass Prometheus' own check.
  const auto metrics = Http("GET", "/metrics");
  ASSERT_EQ(metrics.status, 200);
  for (const char* line : {"lampd_unit_up{unit=\"press-3\",address=\"192.168.10.200:20000\"} 1\n",
                           "lampd_unit_up{unit=\"gone\",address=\"192.168.10.99:20000\"} 0\n",
                           "lampd_lamp_state{unit=\"press-3\",lamp=\"red\"} 1\n",
                           "lampd_lamp_state{unit=\"press-3\",lamp=\"yellow\"} 2\n",
                           "lampd_leases{unit=\"press-3\"} 1\n", "lampd_leases{unit=\"gone\"} 1\n",
                           "lampd_exchange_failures_total{unit=\"gone\",reason=\"",
                           "lampd_mqtt_connected 1\n", "lampd_commands_total{source=\"http\"} 3\n",
                           "lampd_exchange_duration_seconds_bucket{le=\"+Inf\"}"}) {
    EXPECT_NE(metrics.body.find(line), std::string::npos) << line << metrics.body;
  }
  const std::string file = OwnFile("metrics.txt");
  std::ofstream(file) << metrics.body;
  const auto check =
      lamptest::RunProgram({"/bin/sh", "-c", "promtool check metrics < " + file}, {});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  std::remove(file.c_str());
}

TEST_F(LampdHttp, EveryStateReadsAsItsSchemaSaysWhoeverPublishesIt) {
  ASSERT_EQ(Call("PUT", "/api/units/press-3",
                 R"({"red": "blink", "sound": 2, "for": "1h", "priority": 7, "source": "ci"})")
                .status,
            200);
  ASSERT_EQ(Call("PUT", "/api/units/press-3", R"({"green": "on"})").status, 200);
  std::vector<std::string> documents;
  for (const auto& message : probe.Messages()) {
    if (message.topic == "lampd/press-3") documents.push_back(message.payload);
  }
  for (const json& unit : Call("GET", "/api/units").Json()) documents.push_back(unit.dump());
  const auto state = StateOf(probe, "press-3", [](const json& s) {
    return !s["leases"].empty() && s["lamps"]["green"] == "on";
  });
  ASSERT_TRUE(state);
  // lampctl prints a unit as lampd publishes it: what answers, what does not.
  for (const char* address : {"192.168.10.200", "192.168.10.99"}) {
    const auto run =
        lamptest::RunProgram({LAMPCTL_PATH, "status", address, "--json", "--timeout", "200"}, {});
    const json printed = json::parse(run.out, nullptr, false);
    ASSERT_TRUE(printed.is_object()) << run.out << run.err;
    documents.push_back(printed.dump());
    if (printed.value("ok", false)) {
      EXPECT_EQ(printed["lamps"], state->at("lamps"));
      EXPECT_EQ(printed["sound"], state->at("sound"));
    }
  }
  const auto verdicts = lamptest::SchemaVerdicts(SCHEMA_DIR "/state.schema.json", documents);
  ASSERT_EQ(verdicts.size(), documents.size());
  for (std::size_t i = 0; i < documents.size(); ++i) {
    EXPECT_TRUE(verdicts[i].starts_with("ok")) << documents[i] << "\n" << verdicts[i];
  }
  // Its lamps and sound sent back are taken and change nothing.
  const std::size_t writes = Writes(unit).size();
  const auto back = Call("PUT", "/api/units/press-3",
                         json{{"lamps", state->at("lamps")}, {"sound", state->at("sound")}}.dump());
  ASSERT_EQ(back.status, 200) << back.body;
  EXPECT_EQ(back.Json()["lamps"], state->at("lamps"));
  EXPECT_EQ(Writes(unit).size(), writes + 1);
  EXPECT_EQ(Writes(unit).back(), (Bytes{'W', 0, 2, 0, 1, 0, 0, 2}));
}

TEST_F(LampdHttp, SlowAndManyClientsNeitherHoldTheLoopNorGoUnanswered) {
  // Clients that connect and never finish a request.
  std::vector<platform::Socket> idle;
  for (int i = 0; i < 40; ++i) {
    platform::Socket socket = platform::Socket::OpenStream();
    socket.StartConnect(platform::SocketAddress::FromDottedText("127.0.0.1", 9730));
    ASSERT_TRUE(socket.WaitConnected(5s));
    const std::string part = "PUT /api/units/press-3 HTTP/1.1\r\nContent-Length: 100\r\n";
    ::send(socket.Handle(), part.data(), part.size(), MSG_NOSIGNAL);
    idle.push_back(std::move(socket));
  }
  // MQTT is served as ever meanwhile.
  const std::size_t from = probe.Messages().size();
  probe.Publish(kSet, R"({"blue": "on"})");
  EXPECT_TRUE(StateOf(
      probe, "press-3", [](const json& s) { return s["lamps"]["blue"] == "on"; }, from));
  // A hundred at once are all answered.
  std::vector<std::future<lamptest::HttpReply>> calls;
  for (int i = 0; i < 100; ++i) {
    calls.push_back(std::async(std::launch::async, [this, i] {
      return i % 2 ? Call("GET", "/api/units/press-3")
                   : Call("PUT", "/api/units/press-3", R"({"white": "blink", "for": "1m"})");
    }));
  }
  std::map<int, int> statuses;
  std::string odd;  // what any other answer said (0: no answer)
  for (auto& call : calls) {
    const auto reply = call.get();
    ++statuses[reply.status];
    if (reply.status != 200) odd += std::to_string(reply.status) + " " + reply.body + "\n";
  }
  EXPECT_EQ(statuses, (std::map<int, int>{{200, 100}})) << odd << lampd.Log();
}

// Alertmanager's webhook: a firing alert lights the group, a resolved one
// gives it back. `amtool` raises and resolves the alert as an operator would.
TEST_F(LampdHttp, AlertmanagerAlertsLightTowersUntilTheyResolve) {
  lampd.Stop();
  LampdProcess alerted(
      InstanceConfig("line1", 1883, Unit("press-3", "192.168.10.200"), "",
                     "listen = \"127.0.0.1:9731\"\ntoken_file = \"" + TokenFile() + "\"\n") +
          "[groups]\nline1 = [\"press-3\"]\n"
          "[[alert]]\nmatch = { severity = \"critical\" }\ntarget = \"group:line1\"\n"
          "set = { red = \"blink\", sound = 1 }\npriority = 9\n"
          "[[alert]]\nmatch = { severity = \"info\" }\ntarget = \"press-3\"\nset = { blue = \"on\" "
          "}\n",
      "alerted");
  ASSERT_TRUE(alerted.WaitForLog("HTTP on")) << alerted.Log();
  const std::string config = OwnFile("alertmanager.yml"), storage = OwnFile("alertmanager");
  std::ofstream(config) << "route:\n  receiver: lampd\n  group_by: [alertname]\n  group_wait: 0s\n"
                           "  group_interval: 1s\n  repeat_interval: 1h\n"
                           "receivers:\n  - name: lampd\n    webhook_configs:\n"
                           "      - url: http://127.0.0.1:9731/api/alertmanager\n"
                           "        send_resolved: true\n        http_config:\n"
                           "          authorization:\n            credentials_file: "
                        << TokenFile() << "\n";
  lamptest::ServerProcess alertmanager(
      {"/usr/bin/prometheus-alertmanager", "--config.file=" + config, "--storage.path=" + storage,
       "--web.listen-address=127.0.0.1:9093", "--cluster.listen-address="},
      9093, "/-/ready");
  ASSERT_TRUE(alertmanager.Ready()) << alertmanager.Log();
  const auto amtool = [](const std::vector<std::string>& more) {
    std::vector<std::string> command = {"/usr/bin/amtool",
                                        "alert",
                                        "add",
                                        "alertname=LineDown",
                                        "severity=critical",
                                        "line=1",
                                        "--alertmanager.url=http://127.0.0.1:9093"};
    command.insert(command.end(), more.begin(), more.end());
    return lamptest::RunProgram(command, {});
  };
  std::size_t from = probe.Messages().size();
  const auto raised = amtool({});
  ASSERT_EQ(raised.status, 0) << raised.err;
  const auto lit = StateOf(
      probe, "press-3",
      [](const json& s) { return s["lamps"]["red"] == "blink" && s["sound"] == 1; }, from);
  ASSERT_TRUE(lit) << alerted.Log() << alertmanager.Log();
  const json lease = lit->at("leases")[0];
  EXPECT_TRUE(lease["source"].get<std::string>().starts_with("alertmanager:"));
  EXPECT_EQ(lease["priority"], 9);

  from = probe.Messages().size();
  const auto resolved = amtool({"--end=" + [] {
    const std::time_t now = std::time(nullptr) - 1;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return std::string(text);
  }()});
  ASSERT_EQ(resolved.status, 0) << resolved.err;
  const auto dark = StateOf(
      probe, "press-3",
      [](const json& s) {
        return s["lamps"]["red"] == "off" && s["sound"] == "off" && s["leases"].empty();
      },
      from);
  EXPECT_TRUE(dark) << alerted.Log();
  EXPECT_TRUE(alerted.WaitForLog("Alertmanager: 0 firing, 1 resolved"));
  std::filesystem::remove_all(storage);
  std::remove(config.c_str());
}

TEST_F(LampdHttp, PrometheusScrapesTheMetrics) {
  const std::string config = OwnFile("prometheus.yml"), storage = OwnFile("prometheus");
  std::ofstream(config) << "global:\n  scrape_interval: 1s\nscrape_configs:\n"
                           "  - job_name: lampd\n    static_configs:\n"
                           "      - targets: [\"127.0.0.1:9730\"]\n";
  lamptest::ServerProcess prometheus(
      {"/usr/bin/prometheus", "--config.file=" + config, "--storage.tsdb.path=" + storage,
       "--web.listen-address=127.0.0.1:9090"},
      9090, "/-/ready");
  ASSERT_TRUE(prometheus.Ready()) << prometheus.Log();
  json result;
  const auto end = Clock::now() + 30s;
  while (Clock::now() < end) {
    const auto reply =
        Http("GET", "/api/v1/query?query=lampd_unit_up%7Bunit%3D%22press-3%22%7D", "", "", 9090);
    result = reply.Json().value("/data/result"_json_pointer, json::array());
    if (!result.empty()) break;
    std::this_thread::sleep_for(200ms);  // the next scrape; Prometheus has nothing to wait on
  }
  ASSERT_EQ(result.size(), 1u) << prometheus.Log();
  EXPECT_EQ(result[0]["value"][1], "1");
  EXPECT_EQ(result[0]["metric"]["job"], "lampd");
  const auto up = Http("GET", "/api/v1/query?query=up", "", "", 9090).Json();
  EXPECT_EQ(up.value("/data/result/0/value/1"_json_pointer, json()), "1");
  std::filesystem::remove_all(storage);
  std::remove(config.c_str());
}

}  // namespace
