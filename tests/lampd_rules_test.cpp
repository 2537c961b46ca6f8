// lampd's decisions in process, beside the black-box tests: commands and
// the state document, lease order and expiry, topics, the ownership rule,
// Alertmanager's webhook, the state file's text, the HTTP request reader
// and the Modbus request reader and register map, the command path's
// shares and the summaries of refusals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "lampd/andon/journal.h"
#include "lampd/andon/journal_record.h"
#include "lampd/cluster/ownership.h"
#include "lampd/cluster/sole_claims.h"
#include "lampd/core/command.h"
#include "lampd/core/refusal_tally.h"
#include "lampd/core/shares.h"
#include "lampd/core/state_document.h"
#include "lampd/core/state_file.h"
#include "lampd/core/time_text.h"
#include "lampd/fronts/http/alerts.h"
#include "lampd/fronts/http/http_front.h"
#include "lampd/fronts/modbus/modbus_front.h"
#include "lampd/fronts/modbus/modbus_map.h"
#include "lampd/fronts/modbus/modbus_request.h"
#include "lampd/fronts/mqtt/topics.h"
#include "schema_check.h"

namespace {

using namespace lampd;
using namespace std::chrono_literals;
using protocol::kLeaveUnchanged;
constexpr std::uint8_t D = kLeaveUnchanged;

Command Parsed(const std::string& text) {
  Command command;
  std::string why;
  EXPECT_TRUE(ParseCommand(text, "test", command, why)) << text << ": " << why;
  return command;
}

TEST(LampdRules, AStateSentBackAsACommandIsTakenAndChangesNothing) {
  const protocol::LampFrame shown = {'R', 3, 1, 0, 2, 0, 0, 4};
  UnitSignals signals;
  signals.AdoptShown(shown);
  const ClockPair clocks = ClockPair::Now();
  const Json state = StateDocument(
      {"press-3", "10.0.0.1:20000", "line1", std::nullopt, shown, &signals, std::nullopt, ""},
      clocks);
  EXPECT_EQ(state["sound"], 4);
  EXPECT_EQ(state["lamps"]["green"], "blink");
  const Command back = Parsed(Dump({{"lamps", state["lamps"]}, {"sound", state["sound"]}}));
  EXPECT_EQ(back.codes, ShownCodes(shown));
  signals.SetBaseline(back.codes);
  EXPECT_EQ(signals.Wanted(), ShownCodes(shown));

  // A unit that answers "unchanged" (0x64) for a lamp and the sound is shown as it said.
  const Json odd =
      StateDocument({"odd", "10.0.0.2:20000", "line1", std::nullopt,
                     protocol::LampFrame{'R', 0, D, 0, 0, 0, 0, D}, nullptr, std::nullopt, ""},
                    clocks);
  EXPECT_EQ(odd["lamps"]["red"], "blink");
  EXPECT_EQ(odd["sound"], D);

  // The sound "off" reads and writes as the word, everywhere.
  EXPECT_EQ(Parsed(R"({"sound": "off"})").codes[protocol::kSoundLamp], protocol::kSoundOff);
  EXPECT_EQ(CodesJson({0, D, D, D, D, 0}), (Json{{"lamps", {{"red", "off"}}}, {"sound", "off"}}));
  Command refused;
  std::string why;
  for (const char* bad : {R"({"lamps": {"purple": "on"}})", R"({"lamps": ["on"]})",
                          R"({"sound": 0})", R"({"sound": 6})", R"({"lamps": {"red": 1}})"}) {
    EXPECT_FALSE(ParseCommand(bad, "test", refused, why)) << bad;
  }
}

TEST(LampdRules, LeasesOutrankByPriorityThenNewnessAndEndOnTheMonotonicClock) {
  const auto now = SteadyClock::now();
  UnitSignals signals;
  signals.SetBaseline({0, 0, 0, 0, 0, 0});
  signals.AddLease({"ci", 5, now + 10s, {1, D, D, D, D, D}, 1});
  signals.AddLease({"alarm", 8, now + 5s, {2, D, D, D, D, 3}, 2});
  signals.AddLease({"shift", 8, now + 20s, {0, D, D, D, D, D}, 3});
  EXPECT_EQ(signals.Wanted(), (protocol::LampCodes{0, 0, 0, 0, 0, 3}));
  EXPECT_EQ(signals.NextExpiry(), now + 5s);
  EXPECT_EQ(signals.Expire(now + 5s).size(), 1u);
  EXPECT_EQ(signals.Wanted(), (protocol::LampCodes{0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(signals.Clear("shift").size(), 1u);
  EXPECT_EQ(signals.Wanted()[0], 1);
  // A renewal of a source takes what it names from the source's older lease.
  signals.AddLease({"ci", 5, now + 60s, {2, D, D, D, D, D}, 4});
  EXPECT_EQ(signals.Leases().size(), 1u);

  // One write carries what the unit shows otherwise, and what a command names.
  UnitSignals held;
  held.SetBaseline({0, 0, 0, 0, 0, 0});
  held.AddLease({"ci", 5, now + 1h, {2, D, D, D, D, 1}, 9});
  const protocol::LampCodes shown{2, 0, 1, 0, 0, 0};
  EXPECT_EQ(CodesToSend(held, shown, protocol::kLeaveAllUnchanged, false),
            (protocol::LampCodes{D, D, 0, D, D, 1}));
  EXPECT_EQ(CodesToSend(held, shown, protocol::kLeaveAllUnchanged, true),
            (protocol::LampCodes{D, D, D, D, D, 1}));
  EXPECT_EQ(CodesToSend(held, shown, {2, D, D, D, D, D}, false),
            (protocol::LampCodes{2, D, 0, D, D, 1}));
  EXPECT_EQ(CodesToSend(held, std::nullopt, protocol::kLeaveAllUnchanged, false),
            (protocol::LampCodes{2, 0, 0, 0, 0, 1}));
  EXPECT_EQ(
      CodesToSend(held, protocol::LampCodes{2, 0, 0, 0, 0, 1}, protocol::kLeaveAllUnchanged, false),
      protocol::kLeaveAllUnchanged);

  // The wall clock only says when: a lease read back ends as long after
  // its reading as it did before, whatever the wall clock says.
  const ClockPair before{now, WallClock::now()};
  const ClockPair stepped{now + 1s, before.wall - 1h};  // the wall clock set back an hour
  Lease read;
  ASSERT_TRUE(LeaseOf(LeaseJson(signals.Leases()[0], before), before, read));
  EXPECT_NEAR(std::chrono::duration<double>(read.ends - now).count(), 60, 0.01);
  ASSERT_TRUE(LeaseOf(LeaseJson(signals.Leases()[0], stepped), stepped, read));
  EXPECT_NEAR(std::chrono::duration<double>(read.ends - now).count(), 60, 0.01);
}

TEST(LampdRules, ACallIsAnsweredRenewedAndEscalatedAsItsStepsSay) {
  const auto now = SteadyClock::now();
  Lease call{"line3", 5, now + 10min, {1, D, D, D, D, 3}, 1};
  call.started = now;
  call.escalate = {{1min, {D, D, D, 2, D, D}, "boss", 9}, {10min, {D, D, D, D, 2, D}, "", {}}};
  UnitSignals signals;
  signals.AddLease(call);
  // The second step falls with the lease's end: it never fires.
  EXPECT_EQ(signals.NextExpiry(), now + 1min);
  EXPECT_TRUE(signals.DueSteps(now + 59s).empty());
  const auto due = signals.DueSteps(now + 2min);  // late: fires once, when it is looked at
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].step.target, "boss");
  EXPECT_EQ(due[0].due, now + 1min);
  EXPECT_TRUE(signals.DueSteps(now + 3min).empty());
  // Sent again as it was (an alert repeated): the same call, its steps fired stay fired.
  Lease again = call;
  again.serial = 2;
  again.started = now + 5min;
  const Added renewed = signals.AddLease(again);
  EXPECT_TRUE(renewed.renewed);
  EXPECT_TRUE(renewed.replaced.empty());
  ASSERT_EQ(signals.Leases().size(), 1u);
  EXPECT_EQ(signals.Leases()[0].call, 1u);
  EXPECT_EQ(signals.Leases()[0].started, now);
  EXPECT_TRUE(signals.Leases()[0].escalate[0].fired);
  // Answered: the sound off, the lamps kept, no step left; once only.
  ASSERT_EQ(signals.Acknowledge({"anna", WallClock::now()}).size(), 1u);
  EXPECT_EQ(signals.Wanted(), (protocol::LampCodes{1, D, D, D, D, 0}));
  EXPECT_TRUE(signals.Acknowledge({"ben", WallClock::now()}).empty());
  EXPECT_EQ(signals.NextExpiry(), now + 10min);
  // Kept as the state document and the state file have it.
  const ClockPair clocks{now, WallClock::now()};
  Lease read;
  ASSERT_TRUE(LeaseOf(LeaseJson(signals.Leases()[0], clocks), clocks, read));
  EXPECT_EQ(read.acknowledged->by, "anna");
  EXPECT_EQ(read.call, 1u);
  ASSERT_EQ(read.escalate.size(), 2u);
  EXPECT_TRUE(read.escalate[0].fired);
  EXPECT_EQ(read.escalate[1].after, 10min);
  // A new call of another source sounds again.
  signals.AddLease({"qa", 5, now + 1h, {D, D, D, D, D, 2}, 3});
  EXPECT_EQ(signals.Wanted()[protocol::kSoundLamp], 2);
}

TEST(LampdRules, TheJournalIsReadBackNewestFirstAndTheReportCountsCalls) {
  const std::string path = testing::TempDir() + std::to_string(::getpid()) + "-rules.jsonl";
  struct Removed {
    std::vector<std::string> files;
    ~Removed() {
      for (const auto& file : files) std::remove(file.c_str());
    }
  } removed{JournalFiles({path, 1024, 2})};
  for (const auto& file : removed.files) std::remove(file.c_str());
  const auto at = WallClock::now() - 1h;
  {
    Journal journal({path, 1024, 2});
    std::string note, error;
    ASSERT_TRUE(journal.Open(note, error)) << error;
    for (int i = 0; i < 30; ++i) {
      const std::string unit = i % 2 ? "press-3" : "press-4";
      const auto when = at + std::chrono::seconds(i * 10);
      journal.Add({.at = when,
                   .unit = unit,
                   .kind = "lease-taken",
                   .origin = "mqtt",
                   .leases = {static_cast<std::uint64_t>(i)}});
      journal.Add({.at = when + std::chrono::seconds(i),
                   .unit = unit,
                   .kind = "ack",
                   .leases = {static_cast<std::uint64_t>(i)}});
      journal.Add({.at = when + std::chrono::seconds(2 * i),
                   .unit = unit,
                   .kind = "lease-cleared",
                   .leases = {static_cast<std::uint64_t>(i)}});
      std::string why;
      ASSERT_TRUE(journal.Flush(why)) << why;
    }
  }
  // Rotated: 1 KiB files, two kept; the oldest are gone, the rest read across the files.
  EventQuery query;
  query.unit = "press-3";
  query.kind = "ack";
  query.limit = 3;
  query.Prepare();
  EventPage page = ReadEvents({path, 1024, 2}, query);
  ASSERT_EQ(page.events.size(), 3u);
  EXPECT_EQ(page.events[0]["seq"], 89);  // the 30th call's ack
  EXPECT_GT(page.events[0]["seq"], page.events[2]["seq"]);
  ASSERT_TRUE(page.before);
  query.before = page.before;
  query.limit = 1000;
  page = ReadEvents({path, 1024, 2}, query);
  EXPECT_FALSE(page.before);
  EXPECT_GT(page.events.size(), 0u);
  EXPECT_LT(page.events.size(), 12u);
  std::string why;
  EXPECT_FALSE(ReadEventQuery({{"limit", "0"}}, WallClock::now(), query, why));
  EXPECT_FALSE(ReadEventQuery({{"since", "yesterday"}}, WallClock::now(), query, why));
  EXPECT_FALSE(ReadEventQuery({{"colour", "red"}}, WallClock::now(), query, why));

  // A report's figures: each call answered after i s and cleared after 2i s.
  AndonReport report(TimeText(at), "");
  for (int i = 20; i < 23; ++i) {
    const auto when = at + std::chrono::seconds(i * 10);
    const auto record = [&](const char* kind, int after) {
      return RecordJson({.at = when + std::chrono::seconds(after),
                         .unit = "press-3",
                         .kind = kind,
                         .leases = {static_cast<std::uint64_t>(i)}},
                        1);
    };
    report.Take(record("lease-taken", 0));
    report.Take(record("ack", i));
    report.Take(record("ack", i + 5));  // a second answer counts once
    report.Take(record("lease-ended", 2 * i));
  }
  // Lines edited by hand: fields of the wrong type count for nothing.
  for (const char* line : {R"({"seq":9,"at":"2026-12-08T06:01:00Z","unit":"press-3","kind":[7]})",
                           R"({"seq":9,"at":7,"unit":{},"kind":"ack","leases":[20]})",
                           R"({"seq":9,"at":"x","unit":"press-3","kind":"ack","origin":1})"}) {
    report.Take(Json::parse(line));
  }
  const Json figures = report.Result()["units"][0];
  EXPECT_EQ(figures["calls"], 3);
  EXPECT_EQ(figures["acknowledged"], 3);
  EXPECT_DOUBLE_EQ(figures["ack_median_s"].get<double>(), 21);
  EXPECT_DOUBLE_EQ(figures["ack_worst_s"].get<double>(), 22);
  EXPECT_DOUBLE_EQ(figures["clear_worst_s"].get<double>(), 44);
}

TEST(LampdRules, TopicsReadAndWriteFromOneTable) {
  const Topics topics("plant/lampd", "homeassistant");
  const auto read = [&](const std::string& topic) { return topics.Parse(topic); };
  EXPECT_EQ(read("plant/lampd/press-3")->kind, TopicKind::kUnitState);
  EXPECT_EQ(read("plant/lampd/press-3/set/red")->field, "red");
  EXPECT_EQ(read("plant/lampd/group/line1/set")->kind, TopicKind::kGroupSet);
  EXPECT_EQ(read("plant/lampd/group/line1/set")->name, "line1");
  EXPECT_EQ(read("plant/lampd/bridge/east/state")->kind, TopicKind::kBridgeState);
  EXPECT_EQ(read("plant/lampd/bridge/request/find")->kind, TopicKind::kFindRequest);
  EXPECT_EQ(read("homeassistant/status")->kind, TopicKind::kHomeAssistant);
  for (const char* foreign : {"plant/lampd", "plant/lampdx/a", "plant/lampd//set", "other/a/set",
                              "plant/lampd/a/b/c/d"}) {
    EXPECT_FALSE(read(foreign)) << foreign;
  }
  // What it writes, it reads back as the same.
  for (const auto kind : {TopicKind::kUnitState, TopicKind::kUnitAvailability,
                          TopicKind::kUnitError, TopicKind::kGroupError, TopicKind::kBridgeState}) {
    const auto again = read(topics.Name(kind, "x1"));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->kind, kind);
    EXPECT_EQ(again->name, "x1");
  }
  const auto subscribed = topics.Subscriptions();
  EXPECT_NE(std::find(subscribed.begin(), subscribed.end(), "plant/lampd/+/set/+"),
            subscribed.end());
  EXPECT_LE(Topics::Limit(TopicKind::kUnitState), 32768u);
}

TEST(LampdRules, WithEtcdAFreeUnitGoesToItsFirstInstanceAndFramesStopBeforeTheLeaseEnds) {
  // Frames go for the lease, less the larger of 1 s and a fifth, less a frame's way.
  EXPECT_EQ(Fence(5000ms, 300ms), 3700ms);
  EXPECT_EQ(Fence(2000ms, 300ms), 700ms);
  EXPECT_EQ(Fence(60000ms, 300ms), 47700ms);
  // 3,000 units spread evenly over three instances; when one goes, only its units move.
  const std::set<std::string> three = {"alpha", "beta", "gamma"}, two = {"alpha", "gamma"};
  std::map<std::string, int> count;
  for (int unit = 0; unit < 3000; ++unit) {
    const std::string id = "press-" + std::to_string(unit);
    const std::string first = FirstFor(three, id);
    ++count[first];
    if (first != "beta") {
      EXPECT_EQ(FirstFor(two, id), first) << id;
    }
  }
  for (const auto& [instance, units] : count) EXPECT_NEAR(units, 1000, 100) << instance;
  EXPECT_EQ(FirstFor({}, "press-1"), "");
}

TEST(LampdRules, AlertsAreReadAllOrNothing) {
  AlertRule rule;
  rule.match = {{"severity", "critical"}};
  rule.target = "group:line1";
  rule.set = {2, D, D, D, D, 1};
  const auto now = WallClock::now();
  AlertBatch batch;
  std::string why;
  const std::string good =
      R"({"status": "firing", "labels": {"severity": "critical"}, "fingerprint": "abc"})";
  ASSERT_TRUE(ReadAlerts(R"({"alerts": [)" + good + "]}", {rule}, now, batch, why)) << why;
  ASSERT_EQ(batch.commands.size(), 1u);
  EXPECT_EQ(batch.commands[0].command.source, "alertmanager:abc");
  EXPECT_EQ(batch.commands[0].command.lease, rule.lasts);

  for (const std::string bad :
       {R"({"status": 1, "labels": {}})", R"({"status": "firing", "labels": {"a": 1}})",
        R"({"status": "firing", "labels": {}, "fingerprint": 7})",
        R"({"status": "firing", "labels": {}, "endsAt": 5})",
        R"({"status": "firing", "labels": {}, "endsAt": "tomorrow"})",
        R"({"status": "burning", "labels": {}})", R"({"labels": "x"})", R"(7)"}) {
    AlertBatch untouched;
    EXPECT_FALSE(
        ReadAlerts(R"({"alerts": [)" + good + ", " + bad + "]}", {rule}, now, untouched, why))
        << bad;
    EXPECT_TRUE(untouched.commands.empty()) << bad;
    EXPECT_FALSE(why.empty());
  }
  // A fingerprint is cut on a character's boundary; one that is absent is
  // made from the labels, the same for the same labels.
  const std::string wide = std::string(49, 'a') + "\xc3\xa9";  // 51 bytes, é at 50
  ASSERT_TRUE(ReadAlerts(R"({"alerts": [{"status": "firing", "labels": {"severity": "critical"},
      "fingerprint": ")" + wide +
                             R"("}]})",
                         {rule}, now, batch, why));
  EXPECT_EQ(batch.commands[0].command.source, "alertmanager:" + std::string(49, 'a'));
  EXPECT_EQ(CutUtf8("\xe2\x82\xac\xe2\x82\xac", 4), "\xe2\x82\xac");
  ASSERT_TRUE(
      ReadAlerts(R"({"alerts": [{"status": "resolved", "labels": {"severity": "critical"}}]})",
                 {rule}, now, batch, why));
  EXPECT_TRUE(batch.commands[0].command.clear->starts_with("alertmanager:"));
  EXPECT_EQ(batch.commands[0].command.clear->size(), 13u + 16u);
}

TEST(LampdRules, AStateFileOfTheWrongShapeIsRefusedWhole) {
  const ClockPair clocks = ClockPair::Now();
  SavedSignals saved;
  saved.serial = 7;
  saved.units["press-3"].AddLease({"ci", 5, clocks.steady + 1h, {1, D, D, D, D, 0}, 7});
  const std::string text = SignalsText(saved, clocks);
  SavedSignals read;
  ASSERT_TRUE(ParseSignals(text, clocks, read));
  EXPECT_EQ(read.units.at("press-3").Leases()[0].codes[protocol::kSoundLamp], 0);
  EXPECT_NE(text.find("\"sound\": \"off\""), std::string::npos);
  for (
      const char* bad :
      {R"([])", R"({"version": "2", "serial": 1, "units": {}})",
       R"({"version": 2, "serial": -1, "units": {}})",
       R"({"version": 2, "serial": 1, "units": []})",
       R"({"version": 2, "serial": 1, "units": {"a": {"baseline": 3, "leases": []}}})",
       R"({"version": 2, "serial": 1, "units": {"a": {"baseline": {}, "leases": [{"source": 5}]}}})",
       R"({"version": 4, "serial": 1, "units": {}})"}) {
    EXPECT_FALSE(ParseSignals(bad, clocks, read)) << bad;
  }
  // The file of the version before, with the sound "off" written as 0.
  EXPECT_TRUE(ParseSignals(R"({"version": 1, "serial": 1, "units": {"a": {"baseline": {"lamps": {},
      "sound": 0}, "leases": []}}})",
                           clocks, read));
}

TEST(LampdRules, TheCommandSchemaRefusesWhatLampdRefuses) {
  const std::vector<std::string> documents = {
      R"({"red": "on"})",
      R"({"red": "dim"})",
      R"({"purple": "on"})",
      R"({"sound": 5})",
      R"({"sound": 6})",
      R"({"sound": "off"})",
      R"({"sound": "3"})",
      R"({"sound": 0})",
      R"({"lamps": {"red": "blink"}, "sound": "off"})",
      R"({"lamps": {}})",
      R"({"lamps": {"pink": "on"}})",
      R"({"reset": true})",
      R"({"reset": false})",
      R"({"reset": true, "for": "1m"})",
      R"({"red": "on", "for": "30d"})",
      R"({"red": "on", "for": "31d"})",
      R"({"red": "on", "for": "2592000001ms"})",
      R"({"red": "on", "for": "0s"})",
      R"({"red": "on", "for": "-5s"})",
      R"({"red": "on", "for": "1500ms", "priority": 9, "source": "ci"})",
      R"({"red": "on", "priority": 10})",
      R"({"red": "on", "source": ""})",
      R"({"red": "on", "source": "has space"})",
      R"({"clear": "ci"})",
      R"({"clear": "ci", "red": "on"})",
      R"({"for": "1m"})",
      R"({})",
      R"([])",
      R"("red")",
      R"({"red": "on", "relayed_by": "east"})"};
  const auto verdicts = lamptest::SchemaVerdicts(SCHEMA_DIR "/command.schema.json", documents);
  ASSERT_EQ(verdicts.size(), documents.size());
  for (std::size_t i = 0; i < documents.size(); ++i) {
    Command command;
    std::string why;
    const bool taken = ParseCommand(documents[i], "test", command, why);
    EXPECT_EQ(taken, verdicts[i].starts_with("ok"))
        << documents[i] << ": " << why << " / " << verdicts[i];
  }
}

TEST(LampdRules, ModbusRequestsComeWholeAndAWriteIsOneCommandOrNothing) {
  // Two requests in one stream, fed a byte at a time.
  const std::vector<std::uint8_t> stream = {0, 7, 0, 0, 0, 6,    1,    3, 0,  16, 0,
                                            9, 0, 8, 0, 0, 0,    15,   9, 16, 0,  16,
                                            0, 4, 8, 0, 1, 0xFF, 0xFF, 0, 0,  0,  2};
  ModbusReader reader;
  std::vector<ModbusRequest> requests;
  for (std::uint8_t byte : stream) {
    std::size_t used = 0;
    if (reader.Feed({&byte, 1}, used) == ModbusReader::State::kDone) {
      requests.push_back(std::get<ModbusRequest>(ParseModbusRequest(reader.Adu())));
      reader.Next();
    }
  }
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].transaction, 7);
  EXPECT_EQ(requests[1].unit, 9);
  EXPECT_EQ(requests[1].count, 4);

  ModbusMap map({1}, false);
  const auto none = [](int) { return modbus::Block{}; };
  EXPECT_EQ(map.Handle(requests[0], none).registers,
            (std::vector<std::uint16_t>{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 5, 0, 0}));
  // Red on, yellow left as it is, green off, blue blink: one command of those.
  const ModbusAnswer answer = map.Handle(requests[1], none);
  ASSERT_FALSE(answer.exception);
  ASSERT_EQ(answer.commands.size(), 1u);
  EXPECT_EQ(answer.commands[0].codes, (protocol::LampCodes{1, D, 0, 2, D, D}));
  EXPECT_FALSE(answer.commands[0].lease);
  EXPECT_EQ(answer.commands[0].source, "modbus:1");

  // Priority 7 and a hold of 30 s in the same request as the lamps: a lease with them.
  ModbusRequest write = requests[1];
  write.address = 20;
  write.values = {2, 0, 7, 30, 2};
  write.count = 5;
  const ModbusAnswer leased = map.Handle(write, none);
  ASSERT_EQ(leased.commands.size(), 2u);
  EXPECT_EQ(leased.commands[0].codes, (protocol::LampCodes{D, D, D, D, 2, 0}));
  EXPECT_EQ(leased.commands[0].priority, 7);
  EXPECT_EQ(leased.commands[0].lease, std::chrono::milliseconds(30000));
  EXPECT_EQ(leased.commands[1].clear, "modbus:1");
  // Action 3 acknowledges the unit's calls, by the slot.
  write.values = {2, 0, 7, 30, 3};
  const ModbusAnswer answered = map.Handle(write, none);
  ASSERT_EQ(answered.commands.size(), 2u);
  EXPECT_EQ(answered.commands[1].ack->first, "modbus:1");
  // One bad value refuses the whole request: nothing of it is kept.
  write.values = {1, 0, 9, 0, 4};
  EXPECT_EQ(map.Handle(write, none).exception, modbus::kIllegalValue);
  EXPECT_EQ(map.Handle(requests[0], none).registers,
            (std::vector<std::uint16_t>{1, 0xFFFF, 0, 2, 2, 0, 7, 30, 0}));
}

TEST(LampdRules, AFloodTakesOnlyItsShareAndItsRefusalsAreSummarised) {
  Shares shares;
  const auto start = Shares::Clock::time_point{} + 1h;
  // A client's burst, then its rate: 100 a second, whatever it asks.
  int taken = 0;
  for (int i = 0; i < 1000; ++i) taken += shares.Take("modbus", "10.0.0.9", start).empty();
  EXPECT_EQ(taken, 200);
  EXPECT_NE(shares.Take("modbus", "10.0.0.9", start).find("client 10.0.0.9 is over its share"),
            std::string::npos);
  taken = 0;
  for (int ms = 1; ms <= 1000; ++ms) {
    taken += shares.Take("modbus", "10.0.0.9", start + std::chrono::milliseconds(ms)).empty();
  }
  EXPECT_NEAR(taken, 100, 2);
  // Meanwhile another client of the same front and another front are served.
  EXPECT_EQ(shares.Take("modbus", "10.0.0.10", start + 1s), "");
  EXPECT_EQ(shares.Take("http", "10.0.0.9", start + 1s), "");
  // A front's clients together hold its share; those that name none draw on it alone.
  int front = 0;
  for (int client = 0; client < 30; ++client) {
    for (int i = 0; i < 200; ++i) {
      front += shares.Take("mqtt", "c" + std::to_string(client), start + 2s).empty();
    }
  }
  EXPECT_EQ(front, 2000);
  EXPECT_NE(shares.Take("mqtt", "", start + 2s).find("mqtt is over its share"), std::string::npos);
  // A group's command costs its members: a PLC writing a 250-unit slot gets
  // one through (a burst's worth), then one every two seconds.
  EXPECT_EQ(shares.Take("modbus", "10.0.0.20", start + 3s, 250), "");
  EXPECT_NE(shares.Take("modbus", "10.0.0.20", start + 3s, 250), "");
  EXPECT_NE(shares.Take("modbus", "10.0.0.20", start + 4s, 250), "");
  EXPECT_EQ(shares.Take("modbus", "10.0.0.20", start + 5s, 250), "");
  // Idle clients are forgotten once there are too many to keep.
  for (std::size_t i = 0; i < Shares::kMostClients + 10; ++i) {
    shares.Take("web", std::to_string(i), start + 10s + std::chrono::milliseconds(i));
  }
  EXPECT_LE(shares.Clients(), Shares::kMostClients);

  // The first refusal of a client in a second is told; the rest are summed up once.
  RefusalTally tally;
  EXPECT_TRUE(tally.Count("modbus 10.0.0.9", "busy", start));
  for (int i = 0; i < 500; ++i) EXPECT_FALSE(tally.Count("modbus 10.0.0.9", "over", start + 10ms));
  EXPECT_TRUE(tally.Count("http 10.0.0.1", "bad", start + 10ms));
  EXPECT_TRUE(tally.Due(start + 500ms).empty());
  const auto due = tally.Due(start + 1s);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].client, "modbus 10.0.0.9");
  EXPECT_EQ(due[0].count, 500u);
  EXPECT_EQ(due[0].why, "over");
  EXPECT_TRUE(tally.Count("modbus 10.0.0.9", "busy", start + 1s));
  EXPECT_TRUE(tally.Due(start + 5s).empty());
  EXPECT_FALSE(tally.Waiting());
}

TEST(LampdRules, AModbusExceptionKeepsItsFunctionsHighBit) {
  const std::vector<std::uint8_t> unknown = {0, 9, 0, 0, 0, 2, 7, 131};
  EXPECT_EQ(std::get<modbus::Exception>(ParseModbusRequest(unknown)), modbus::kIllegalFunction);
  const auto answer = ExceptionAdu(unknown, modbus::kIllegalFunction);
  EXPECT_EQ(std::vector<std::uint8_t>(answer.begin(), answer.end()),
            (std::vector<std::uint8_t>{0, 9, 0, 0, 0, 3, 7, 131, 1}));
  const std::vector<std::uint8_t> write = {1, 2, 0, 0, 0, 6, 1, 6, 0, 16, 0, 1};
  EXPECT_EQ(ExceptionAdu(write, modbus::kBusy)[7], 0x86);
}

// A plant of the test's own: what the Modbus front asks of it, and what it answers.
class FakePlant : public Plant {
 public:
  void Submit(Request request, Reply reply) override {
    submitted.push_back(request);
    reply(refusal);
  }
  Reach Reaches(const std::string& id) const override {
    return units.contains(id) ? Reach::kHere : Reach::kNowhere;
  }
  std::optional<UnitLook> Look(const std::string& id) const override {
    const auto found = units.find(id);
    return found == units.end() ? std::nullopt : std::optional(found->second);
  }
  std::optional<std::string> IdOfMac(const protocol::MacBytes&) const override {
    return std::nullopt;
  }
  std::optional<Json> State(const std::string& id) const override {
    return units.contains(id) ? std::optional(Json{{"id", id}}) : std::nullopt;
  }
  Json States() const override { return Json::array(); }
  std::vector<std::string> Ids() const override { return {}; }
  std::optional<Json> View(const std::string& id) const override { return State(id); }
  std::vector<UnitFigures> Figures() const override { return {}; }
  void WriteMetrics(MetricsText&) const override {}
  void Refuse(Origin, const std::string&, bool, const std::string& why,
              const std::string&) override {
    refused.push_back(why);
  }
  std::optional<std::pair<std::size_t, std::size_t>> LookAtGroup(
      const std::string& name) const override {
    return name == "line1" ? std::optional(std::pair<std::size_t, std::size_t>{250, 249})
                           : std::nullopt;
  }
  bool Member(const std::string&, const std::string&) const override { return false; }
  Summary LookAtPlant() const override { return {2000, 1999, true}; }
  void Listen(PlantListener&) override {}
  std::vector<Request> submitted;
  std::vector<std::string> refused;
  Outcome refusal;
  std::map<std::string, UnitLook> units;
};

TEST(LampdFronts, TheModbusFrontReachesThePlantThroughItsInterfaceAlone) {
  platform::EventLoop loop;
  LogLimiter log;
  FakePlant plant;
  ModbusConfig config;
  const protocol::MacBytes mac{0x00, 0x50, 0xc2, 0x01, 0x02, 0x01};
  config.slots = {{1, ModbusSlot::Kind::kUnit, "press-3", {}, "press-3"},
                  {2, ModbusSlot::Kind::kMac, "", mac, "0050c2010201"},
                  {3, ModbusSlot::Kind::kGroup, "line1", {}, "group:line1"}};
  ModbusFront front(loop, config, log, plant);
  const protocol::IpBytes plc{10, 20, 0, 7};
  const auto write = [&](int slot, std::uint16_t value) {
    ModbusRequest request;
    request.function = modbus::kWriteOne;
    request.address = static_cast<std::uint16_t>(16 * slot);
    request.count = 1;
    request.values[0] = value;
    return front.Answer(request, plc);
  };
  const auto inputs = [&](int slot) {
    ModbusRequest request;
    request.function = modbus::kReadInput;
    request.address = static_cast<std::uint16_t>(16 * slot);
    request.count = 9;
    return front.Answer(request, plc).registers;
  };
  // A write is a request on the command path, from the PLC, to the slot's unit.
  EXPECT_FALSE(write(1, 1).exception);
  ASSERT_EQ(plant.submitted.size(), 1u);
  EXPECT_EQ(plant.submitted[0].name, "press-3");
  EXPECT_EQ(plant.submitted[0].origin, Origin::kModbus);
  EXPECT_EQ(plant.submitted[0].client, "10.20.0.7");
  // Refusals become exceptions: over its share 06, no instance 0A.
  plant.refusal = Outcome::Refused(Outcome::Refusal::kOverShare, "over");
  EXPECT_EQ(write(1, 0).exception, modbus::kBusy);
  plant.refusal = Outcome::Refused(Outcome::Refusal::kUnknown, "nobody");
  EXPECT_EQ(write(3, 0).exception, static_cast<modbus::Exception>(0x0A));
  EXPECT_EQ(plant.submitted.back().target, Request::Target::kGroup);
  // What the plant says of a unit, a group and itself is in the input registers.
  plant.units["press-3"] = {true, std::nullopt, protocol::LampCodes{2, 0, 0, 0, 0, 3}, 4, true, 1,
                            ""};
  EXPECT_EQ(inputs(1), (std::vector<std::uint16_t>{2, 0, 0, 0, 0, 3, 1, 4, 1}));
  EXPECT_EQ(inputs(3)[6], 249);
  EXPECT_EQ(inputs(3)[7], 250);
  EXPECT_EQ(inputs(0)[0], 2000);

  // A MAC slot follows the unit whose own state names its address...
  plant.units["far-1"] = {false, std::nullopt, protocol::LampCodes{1, 1, 1, 1, 1, 0}, 2, true,
                          0,     "east"};
  const Json named = {{"id", "far-1"}, {"instance", "east"}, {"mac", "00:50:c2:01:02:01"}};
  front.OnPeerState("far-1", named);
  EXPECT_EQ(inputs(2)[0], 1);
  plant.refusal = Outcome{};
  write(2, 2);
  EXPECT_EQ(plant.submitted.back().name, "far-1");
  // ...not a state naming another unit on its topic, nor one on the topic of
  // a unit this instance serves; and lets go when the state is put right.
  plant.units["press-3"].mac = protocol::MacBytes{0x00, 0x50, 0xc2, 0x09, 0x09, 0x09};
  front.OnPeerState("press-3",
                    {{"id", "press-3"}, {"instance", "ghost"}, {"mac", "00:50:c2:01:02:01"}});
  front.OnPeerState("decoy",
                    {{"id", "far-1"}, {"instance", "ghost"}, {"mac", "00:50:c2:01:02:01"}});
  write(2, 2);
  EXPECT_EQ(plant.submitted.back().name, "far-1");
  front.OnPeerState("far-1", {{"id", "far-1"}, {"instance", "east"}, {"mac", "00:50:c2:07:07:07"}});
  write(2, 2);
  EXPECT_EQ(plant.submitted.back().name, "0050c2010201") << "the slot still follows far-1";
}

TEST(LampdFronts, TheHttpFrontAnswersEachOutcomeOfThePlantWithItsCode) {
  platform::EventLoop loop;
  LogLimiter log;
  FakePlant plant;
  HttpConfig config;
  const std::vector<AlertRule> alerts;
  HttpFront front(loop, config, alerts, log, plant);
  const auto command = [&](Outcome outcome, const std::string& id = "press-3") {
    plant.refusal = std::move(outcome);
    Request request;
    request.name = id;
    request.origin = Origin::kHttp;
    HttpAnswer answered{0};
    front.Command(request, std::nullopt, [&](HttpAnswer answer) { answered = std::move(answer); });
    return answered;
  };
  // Over its share: 429, and when to try again.
  const HttpAnswer busy = command(Outcome::Refused(Outcome::Refusal::kOverShare, "over"));
  EXPECT_EQ(busy.status, 429);
  EXPECT_EQ(busy.headers, (std::vector<std::pair<std::string, std::string>>{{"Retry-After", "1"}}));
  EXPECT_EQ(command(Outcome::Refused(Outcome::Refusal::kFull, "busy")).status, 409);
  EXPECT_EQ(command(Outcome::Refused(Outcome::Refusal::kUnknown, "nobody")).status, 404);
  Outcome passed;
  passed.passedTo = {"east"};
  EXPECT_EQ(command(passed).status, 202);
  // A unit that did not answer: 502, and its leases kept when the plant says it holds some.
  Outcome failed;
  failed.failed = {{"press-3", "the unit did not answer"}};
  plant.units["press-3"] = {true, std::nullopt, std::nullopt, 4, false, 2, ""};
  const HttpAnswer silent = command(failed);
  EXPECT_EQ(silent.status, 502);
  EXPECT_NE(silent.body.find("its leases are kept"), std::string::npos) << silent.body;
  Outcome answered;
  answered.answered = {Json{{"id", "press-3"}}};
  EXPECT_EQ(command(answered).status, 200);
}

}  // namespace

// The units a core of a test's own reaches, and what the claims told it.
class FakeUnits : public ClaimedUnits {
 public:
  Standing StandingOf(const std::string& id) const override {
    const auto found = standing.find(id);
    return found == standing.end() ? Standing::kUnknown : found->second;
  }
  std::vector<std::string> Reached() const override {
    std::vector<std::string> ids;
    for (const auto& [id, how] : standing) ids.push_back(id);
    return ids;
  }
  void Serve(const std::string& id, const std::string& from, const UnitSignals* theirs) override {
    standing[id] = Standing::kServing;
    served.push_back(id + " from " + from + " with " +
                     std::to_string(theirs ? theirs->Leases().size() : 0) + " lease(s)");
    if (onServe) onServe();
  }
  void Yield(const std::string& id, const std::string& to) override {
    standing[id] = Standing::kStandby;
    yielded.push_back(id + " to " + to);
  }
  bool Member(const std::string&, const std::string&) const override { return false; }
  void TellAgain(const std::string& id) override { toldAgain.push_back(id); }
  void TellAll() override {}
  void Changed(const std::string&) override {}
  void PeerState(const std::string&, const Json&) override {}
  std::map<std::string, Standing> standing;
  std::vector<std::string> served, yielded, toldAgain;
  std::function<void()> onServe;
};

TEST(LampdFronts, WithoutAClusterAnInstanceServesItsOwnAndTellsOfAUnitDrivenTwice) {
  LogLimiter log;
  Config config;
  config.name = "west";
  FakeUnits units;
  SoleClaims claims(config, log, units);
  const auto stateOf = [](const std::string& id, const std::string& instance, int leases) {
    UnitSignals signals;
    for (int lease = 1; lease <= leases; ++lease) {
      signals.AddLease({"ci" + std::to_string(lease),
                        5,
                        SteadyClock::now() + 1h,
                        {1, D, D, D, D, D},
                        static_cast<std::uint64_t>(lease)});
    }
    return Dump(
        StateDocument({id, "10.0.0.1:20000", instance, std::nullopt,
                       protocol::LampFrame{'R', 3, 1, 0, 0, 0, 0, 0}, &signals, std::nullopt, ""},
                      ClockPair::Now()));
  };
  // A unit reached is served at once, whatever the broker holds.
  units.standing["a"] = ClaimedUnits::Standing::kUndecided;
  claims.Reach("a");
  EXPECT_EQ(units.served, std::vector<std::string>{"a from  with 0 lease(s)"});

  // Our own echo changes nothing; a state naming nobody online is put right.
  claims.OnStateSeen("a", stateOf("a", "west", 0), true);
  claims.OnStateSeen("a", stateOf("a", "ghost", 0), false);
  EXPECT_EQ(units.toldAgain, std::vector<std::string>{"a"});

  // Another online instance drives it too: told once, counted, shown in
  // its state; nothing moves.
  claims.OnBridgeState("east", "online");
  claims.OnStateSeen("a", stateOf("a", "east", 2), false);
  claims.OnStateSeen("a", stateOf("a", "east", 3), false);
  EXPECT_EQ(units.toldAgain, (std::vector<std::string>{"a", "a"}));
  EXPECT_TRUE(units.yielded.empty());
  EXPECT_TRUE(claims.MayDrive("a"));
  EXPECT_EQ(claims.AlsoDrivenBy("a"), "east");
  EXPECT_EQ(claims.ServedElsewhereBy("a"), "");
  MetricsText metrics;
  claims.WriteMetrics(metrics);
  EXPECT_NE(metrics.Text().find("lampd_units_driven_elsewhere_too 1\n"), std::string::npos);

  // Its own units are passed on to it; a state on one unit's topic naming
  // another unit speaks for neither.
  claims.OnStateSeen("b", stateOf("b", "east", 0), false);
  claims.OnStateSeen("c", stateOf("d", "east", 0), false);
  EXPECT_EQ(claims.ServedElsewhereBy("b"), "east");
  EXPECT_EQ(claims.OthersOnline(), std::vector<std::string>{"east"});
  ASSERT_TRUE(claims.TheirView("b"));
  EXPECT_EQ((*claims.TheirView("b"))["online"], true);
  EXPECT_FALSE(claims.TheirView("c"));

  // When east goes, it drives nothing more, and nothing is passed to it.
  claims.OnBridgeState("east", "offline");
  EXPECT_EQ(claims.AlsoDrivenBy("a"), "");
  EXPECT_EQ(claims.ServedElsewhereBy("b"), "");
  EXPECT_EQ((*claims.TheirView("b"))["online"], false);
  EXPECT_EQ(units.served.size(), 1u);
}
