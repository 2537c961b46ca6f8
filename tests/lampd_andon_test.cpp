// Andon in lampd, as a shift lives it: calls (leases) answered over MQTT,
// HTTP and Home Assistant's button, calls nobody answers escalating to a
// supervisor's tower (also across a restart), and the journal of it all
// read back, rotated, torn by a crash, and summed up in the report. Real
// Mosquitto, lampd and simulated units on the test's private network.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "lamp_unit_process.h"
#include "mqtt_test.h"

namespace {

using lamptest::Http;
using lamptest::InstanceConfig;
using lamptest::LampdProcess;
using lamptest::LampUnitProcess;
using lamptest::OwnFile;
using lamptest::StateOf;
using lamptest::Unit;
using lamptest::WaitUntil;
using lamptest::Writes;
using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kCall = R"({"red": "on", "sound": 3, "for": "10m", "source": "line3"})";

class Andon : public lamptest::PlantTest {
 protected:
  void SetUp() override {
    PlantTest::SetUp();
    ASSERT_TRUE(supervisor.Ready());
  }
  // press-3 on the line, and the supervisor's tower "boss"; a journal of the test's own.
  std::string Config(const std::string& more = "") {
    return InstanceConfig("hall", 1883,
                          Unit("press-3", "192.168.10.200") + Unit("boss", "192.168.10.201"), "",
                          "127.0.0.1:9730") +
           "[journal]\npath = \"" + journal + "\"\n" + more;
  }
  std::optional<json> Publish(const std::string& topic, const std::string& payload,
                              const std::string& id,
                              const std::function<bool(const json&)>& holds) {
    const std::size_t from = probe.Messages().size();
    probe.Publish(topic, payload);
    return StateOf(probe, id, holds, from);
  }
  // The journal's events as GET /api/events gives them, newest first.
  json Events(const std::string& query = "") {
    const auto reply = Http("GET", "/api/events" + query);
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.Json();
  }
  std::vector<std::string> Kinds(const json& events) {
    std::vector<std::string> kinds;
    for (const json& event : events["events"]) kinds.push_back(event["kind"]);
    return kinds;
  }
  LampUnitProcess supervisor{{"--address", "192.168.10.201"}};
  std::string state = OwnFile("leases.json"), journal = OwnFile("journal.jsonl");
};

bool Silenced(const json& s) { return s["lamps"]["red"] == "on" && s["sound"] == "off"; }

TEST_F(Andon, AnAcknowledgementSilencesTheHornKeepsTheLightAndSaysWhoOnEveryFront) {
  probe.Subscribe("homeassistant/#");
  LampdProcess lampd(Config(), "ack", {"--state", state});
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  ASSERT_TRUE(Publish("lampd/press-3/set", kCall, "press-3", [](const json& s) {
    return s["sound"] == 3;
  })) << lampd.Log();

  // MQTT, with who and a note: the horn stops, the light stays, the state says who.
  const std::size_t before = probe.Messages().size();
  auto answered =
      Publish("lampd/press-3/ack", R"({"by": "anna", "note": "on my way"})", "press-3", Silenced);
  ASSERT_TRUE(answered) << lampd.Log();
  EXPECT_EQ(answered->at("leases")[0]["acknowledged"]["by"], "anna");
  EXPECT_EQ(answered->at("leases")[0]["lamps"]["red"], "on");
  EXPECT_EQ(Writes(unit).back()[7], 0);  // the unit's sound byte: off
  const auto event = probe.WaitFor(
      "lampd/press-3/event",
      [](const std::string& text) { return text.find("\"ack\"") != text.npos; }, 10s, before);
  ASSERT_TRUE(event);
  EXPECT_EQ(json::parse(event->payload)["who"], "anna");
  EXPECT_FALSE(event->retained);

  // Nothing left to answer is said as such, not as the unit's fault.
  auto quiet = Http("POST", "/api/units/press-3/ack");
  EXPECT_EQ(quiet.status, 200) << quiet.body;
  EXPECT_EQ(quiet.Json()["acknowledged"], 0);
  EXPECT_EQ(Http("POST", "/api/units/nobody/ack").status, 404);
  EXPECT_EQ(Http("POST", "/api/units/press-3/ack", R"({"by": 7})").status, 400);

  // A new call sounds again; HTTP answers it.
  ASSERT_TRUE(Publish("lampd/press-3/set",
                      R"({"yellow": "blink", "sound": 2, "for": "10m", "source": "qa"})", "press-3",
                      [](const json& s) { return s["sound"] == 2; }));
  const auto reply = Http("POST", "/api/units/press-3/ack", R"({"by": "ben"})");
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.Json()["sound"], "off");
  EXPECT_EQ(reply.Json()["lamps"]["yellow"], "blink");

  // Home Assistant's button, as its description says to press it.
  ASSERT_TRUE(Publish("lampd/press-3/set", R"({"sound": 5, "for": "10m", "source": "ha"})",
                      "press-3", [](const json& s) { return s["sound"] == 5; }));
  const auto description = probe.WaitFor("homeassistant/device/press-3/config");
  ASSERT_TRUE(description);
  const json button = json::parse(description->payload)["components"]["press-3_acknowledge"];
  ASSERT_EQ(button["platform"], "button");
  answered = Publish(button["command_topic"], button["payload_press"], "press-3",
                     [](const json& s) { return s["sound"] == "off"; });
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->at("leases").back()["acknowledged"]["by"], "Home Assistant");
  EXPECT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_andon_ack_seconds_count{group=\"\"} 3\n") != text.npos;
  }));
}

TEST_F(Andon, AnUnansweredCallEscalatesAndAnAnsweredOneDoesNotAlsoAcrossARestart) {
  const auto escalating = [](const std::string& source, const std::string& after) {
    return R"({"red": "blink", "for": "10m", "source": ")" + source +
           R"(", "escalate": [{"after": ")" + after +
           R"(", "set": {"blue": "blink", "sound": 5}, "target": "boss", "priority": 9}]})";
  };
  Clock::time_point taken;
  const auto bossBlue = [](const std::string& shown) {
    return [shown](const json& s) { return s["lamps"]["blue"] == shown; };
  };
  {
    LampdProcess lampd(Config(), "escalate", {"--state", state});
    ASSERT_TRUE(StateOf(probe, "boss")) << lampd.Log();
    // Answered at once: never escalates. Unanswered, taken after it: escalates.
    ASSERT_TRUE(Publish("lampd/press-3/set", escalating("early", "1s"), "press-3",
                        [](const json& s) { return s["leases"].size() == 1; }));
    ASSERT_EQ(Http("POST", "/api/units/press-3/ack", R"({"by": "anna"})").status, 200);
    const auto boss =
        Publish("lampd/press-3/set", escalating("late", "1500ms"), "boss", bossBlue("blink"));
    ASSERT_TRUE(boss) << lampd.Log();
    EXPECT_EQ(boss->at("leases")[0]["source"], "late/escalated");
    EXPECT_EQ(boss->at("sound"), 5);
    const json escalated = Events("?kind=lease-escalated");
    ASSERT_EQ(escalated["events"].size(), 1u) << escalated;
    EXPECT_EQ(escalated["events"][0]["source"], "late");
    // Its answer ends what it lit at the supervisor's.
    ASSERT_TRUE(Publish("lampd/press-3/ack", "", "boss", bossBlue("off"))) << lampd.Log();

    // A call due to escalate while lampd is away (stopped well before).
    taken = Clock::now();
    ASSERT_TRUE(Publish("lampd/press-3/set", escalating("night", "5s"), "press-3",
                        [](const json& s) { return s["leases"].size() == 3; }));
    ASSERT_EQ(lampd.Stop(), 0);
    ASSERT_LT(Clock::now() - taken, 4s) << "lampd took too long to stop for this test";
  }
  // Back 2 s after the step was due: it fires then, and says how late.
  ASSERT_TRUE(WaitUntil([&] { return Clock::now() >= taken + 7s; }, 20s));
  const std::size_t from = probe.Messages().size();
  LampdProcess again(Config(), "escalate-again", {"--state", state});
  ASSERT_TRUE(StateOf(probe, "boss", bossBlue("blink"), from)) << again.Log();
  const json late = Events("?kind=lease-escalated&limit=1");
  EXPECT_EQ(late["events"][0]["source"], "night");
  EXPECT_NE(late["events"][0]["reason"].get<std::string>().find(" late"), std::string::npos)
      << late;
}

TEST_F(Andon, TheJournalHoldsTheShiftInOrderAcrossRotationRestartAndATornLine) {
  const auto config = Config("max_size = \"4KB\"\nkeep = 3\n");
  {
    LampdProcess lampd(config, "shift", {"--state", state});
    ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
    // The shift: a call, its answer at 1.5 s, its clear at 3 s, a refusal, a set.
    ASSERT_TRUE(
        Publish("lampd/press-3/set",
                R"({"red": "on", "sound": 1, "for": "1h", "source": "op7", "client": "plc-7"})",
                "press-3", [](const json& s) { return s["leases"].size() == 1; }));
    const auto taken = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return Clock::now() >= taken + 1500ms; }));
    ASSERT_EQ(Http("POST", "/api/units/press-3/ack", R"({"by": "lead"})").status, 200);
    ASSERT_TRUE(WaitUntil([&] { return Clock::now() >= taken + 3s; }));
    ASSERT_EQ(Http("PUT", "/api/units/press-3", R"({"clear": "op7"})").status, 200);
    EXPECT_EQ(Http("PUT", "/api/units/press-3", R"({"red": "purple"})").status, 400);
    ASSERT_EQ(Http("PUT", "/api/units/press-3", R"({"green": "on"})").status, 200);

    const json shift = Events("?unit=press-3&limit=6");
    EXPECT_EQ(Kinds(shift), (std::vector<std::string>{"command", "refused", "lease-cleared", "ack",
                                                      "lease-taken", "online"}))
        << shift;
    const json& call = shift["events"][4];
    EXPECT_EQ(call["origin"], "mqtt");
    EXPECT_EQ(call["who"], "plc-7");
    EXPECT_EQ(call["what"]["lamps"]["red"], "on");
    EXPECT_EQ(shift["events"][3]["who"], "lead");
    EXPECT_EQ(shift["events"][1]["origin"], "http");
    EXPECT_EQ(shift["events"][1]["who"], "127.0.0.1");

    // The report matches the scripted times.
    const auto report = Http("GET", "/api/report?since=1h");
    ASSERT_EQ(report.status, 200) << report.body;
    const json figures = report.Json()["units"][0];
    EXPECT_EQ(figures["unit"], "press-3");
    EXPECT_EQ(figures["calls"], 1);
    EXPECT_NEAR(figures["ack_median_s"].get<double>(), 1.5, 0.6);
    EXPECT_NEAR(figures["clear_worst_s"].get<double>(), 3.0, 0.6);
    EXPECT_EQ(Http("GET", "/api/report?unit=press-3").status, 400);

    // Enough events to rotate the 4 KB file a few times.
    for (int i = 0; i < 120; ++i) {
      ASSERT_EQ(Http("PUT", "/api/units/press-3",
                     R"({"white": ")" + std::string(i % 2 ? "on" : "off") + R"("})")
                    .status,
                200);
    }
    ASSERT_EQ(lampd.Stop(), 0);
  }
  EXPECT_TRUE(std::filesystem::exists(journal + ".3"));
  EXPECT_FALSE(std::filesystem::exists(journal + ".4"));
  // A crash mid-write leaves half a record at the end.
  std::ofstream(journal, std::ios::app) << R"({"seq":999999,"at":"2026-12-08T10:00:00.000Z","ki)";
  LampdProcess lampd(config, "after", {"--state", state});
  ASSERT_TRUE(lampd.WaitForLog("torn record")) << lampd.Log();
  ASSERT_TRUE(WaitUntil([&] { return Http("GET", "/api/events?limit=1").status == 200; }));
  // Paged back across the rotated files, newest first, numbered without a gap.
  std::vector<std::uint64_t> seqs;
  std::string page = "?limit=25";
  for (int pages = 0; pages < 10; ++pages) {
    const json events = Events(page);
    for (const json& event : events["events"]) seqs.push_back(event["seq"]);
    if (!events.contains("before")) break;
    page = "?limit=25&before=" + std::to_string(events["before"].get<std::uint64_t>());
  }
  ASSERT_GT(seqs.size(), 30u);
  for (std::size_t i = 1; i < seqs.size(); ++i) ASSERT_EQ(seqs[i], seqs[i - 1] - 1) << i;
  // lampd's own start and stop are in it too.
  EXPECT_EQ(Events("?kind=stopped")["events"].size(), 1u);
  EXPECT_GE(Events("?kind=started")["events"].size(), 1u);
}

TEST_F(Andon, AKillUnderLoadLeavesOnlyWholeRecords) {
  std::optional<LampdProcess> lampd;
  lampd.emplace(Config(), "kill", std::vector<std::string>{"--state", state});
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd->Log();
  // Leases taken and cleared as fast as the broker takes them, then kill -9
  // mid-flow, once some 130 records are written (refusals of the flood are
  // summarised, so under the sanitizers the journal grows slowly).
  std::atomic<bool> stop = false;
  std::thread load([&] {
    for (int i = 0; !stop; ++i) {
      probe.Publish(
          "lampd/press-3/set",
          i % 2 ? R"({"clear": "load"})" : R"({"red": "blink", "for": "1m", "source": "load"})");
    }
  });
  ASSERT_TRUE(WaitUntil(
      [&] {
        return std::filesystem::exists(journal) && std::filesystem::file_size(journal) > 25000;
      },
      60s));
  lampd->Kill();
  stop = true;
  load.join();
  // Whole records numbered without a gap; at most the last line torn (the
  // turn in flight, cut by the kill), never one in the middle.
  std::ifstream file(journal);
  std::string line;
  std::size_t lines = 0, torn = 0;
  std::uint64_t previous = 0;
  while (std::getline(file, line)) {
    ++lines;
    ASSERT_EQ(torn, 0u) << "a torn record before line " << lines;
    const json record = json::parse(line, nullptr, false);
    if (record.is_discarded()) {
      ++torn;
      continue;
    }
    EXPECT_EQ(record["seq"].get<std::uint64_t>(), previous + 1);
    previous = record["seq"];
  }
  EXPECT_GT(lines, 100u);
  // Started again, it ends a torn line (saying so), and numbers on from the
  // last whole record.
  lampd.emplace(Config(), "kill-again", std::vector<std::string>{"--state", state});
  ASSERT_TRUE(
      WaitUntil([&] { return Http("GET", "/api/events?kind=started&limit=1").status == 200; }));
  const json started = Events("?kind=started&limit=1");
  EXPECT_EQ(started["events"][0]["seq"].get<std::uint64_t>(), previous + 1);
  if (torn > 0) {
    EXPECT_NE(lampd->Log().find("torn record"), std::string::npos);
  }
}

TEST_F(Andon, BadEscalationListsAreRefusedWithTheirReason) {
  LampdProcess lampd(Config(), "bad");
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  for (
      const auto& [body, why] : std::vector<std::pair<std::string, std::string>>{
          {R"({"red": "on", "escalate": [{"after": "1m", "set": {"red": "on"}}]})", "needs for"},
          {R"({"red": "on", "for": "1h", "escalate": []})", "1 to 4 steps"},
          {R"({"red": "on", "for": "1h", "escalate": [{"set": {"red": "on"}}]})", "needs after"},
          {R"({"red": "on", "for": "1h", "escalate": [{"after": "1m"}]})", "needs set"},
          {R"({"red": "on", "for": "1h", "escalate": [{"after": "soon", "set": {"red": "on"}}]})",
           "after takes"},
          {R"({"red": "on", "for": "1h", "escalate": [{"after": "1m", "set": {"red": "pink"}}]})",
           "red takes"},
          {R"({"red": "on", "for": "1h", "escalate": [{"after": "1m", "set": {"red": "on"}, "target": "group:"}]})",
           "target takes"},
          // A typo would mean nobody is ever called: refused when the call is taken.
          {R"({"red": "on", "for": "1h", "escalate": [{"after": "1m", "set": {"red": "on"}, "target": "bos"}]})",
           "no unit bos is known here or on the broker"},
          {R"({"red": "on", "for": "1h", "escalate": [{"after": "1m", "set": {"red": "on"}, "target": "group:leads"}]})",
           "no group leads in [groups]"}}) {
    const auto reply = Http("PUT", "/api/units/press-3", body);
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_NE(reply.Json().value("error", "").find(why), std::string::npos) << reply.body;
  }
  // In the file: lampd does not start, and says where.
  LampdProcess refused(Config("\n[[alert]]\ntarget = \"press-3\"\nset = { red = \"on\" }\n"
                              "escalate = [{ after = \"5m\", set = { blue = \"on\" }, target = "
                              "\"group:nobody\" }]\n"),
                       "bad-file");
  EXPECT_GT(refused.WaitForExit(10s), 0) << refused.Log();
  EXPECT_NE(refused.Log().find("no unit id or group in [groups] is 'group:nobody'"),
            std::string::npos)
      << refused.Log();
}

TEST_F(Andon, TheCallsOfAGroupLeaseEscalatingToOneGroupLightItOnce) {
  // Both towers in one group; a call on the group whose four steps all go to it.
  LampdProcess lampd(Config("[groups]\nhall = [\"press-3\", \"boss\"]\n"), "fan-out");
  ASSERT_TRUE(StateOf(probe, "boss")) << lampd.Log();
  std::string steps;
  for (const char* after : {"1s", "1200ms", "1400ms", "1600ms"}) {
    steps += std::string(steps.empty() ? "" : ", ") + R"({"after": ")" + after +
             R"(", "set": {"blue": "blink"}, "target": "group:hall"})";
  }
  const std::size_t before = Writes(unit).size() + Writes(supervisor).size();
  ASSERT_EQ(Http("POST", "/api/groups/hall",
                 R"({"red": "on", "for": "10m", "source": "jam", "escalate": [)" + steps + "]}")
                .status,
            200);
  // Every step of both calls has fired...
  ASSERT_TRUE(WaitUntil([&] {
    return Events("?kind=lease-escalated&limit=100")["events"].size() == 8;
  })) << lampd.Log();
  // ...and each tower was written the call, then the group's escalation once:
  // the other steps found it lit (two calls times four steps times two towers
  // would be sixteen writes more).
  EXPECT_LE(Writes(unit).size() + Writes(supervisor).size() - before, 6u);
  const json escalated = Events("?kind=lease-escalated&limit=100");
  EXPECT_NE(escalated.dump().find("lit already by another call of jam"), std::string::npos);
  ASSERT_EQ(Http("POST", "/api/units/press-3/ack", R"({"by": "lead"})").status, 200);
}

}  // namespace
