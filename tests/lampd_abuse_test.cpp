// lampd's promises tried by a hostile client and by faults: the webhook all
// or nothing, HTTP and MQTT bounded before anything is kept, the state file
// through a failing disk and bad content, leases through steps of the wall
// clock, Mac Find through forged answers, the log through a flood. Real
// processes, a real broker, simulated units, on the test's private network.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "mqtt_test.h"
#include "net/socket_layer.h"
#include "protocol/settings_frame.h"

namespace {

using lamptest::Broker;
using lamptest::Http;
using lamptest::InstanceConfig;
using lamptest::LampdProcess;
using lamptest::LampUnitProcess;
using lamptest::MqttProbe;
using lamptest::OwnFile;
using lamptest::ResidentKilobytes;
using lamptest::StateOf;
using lamptest::Unit;
using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kAlertRule =
    "[[alert]]\nmatch = { severity = \"critical\" }\ntarget = \"press-3\"\n"
    "set = { red = \"blink\" }\n";

std::string Config(const std::string& fleet = "", const std::string& more = "") {
  return InstanceConfig("line1", 1883, Unit("press-3", "192.168.10.200"), fleet, "127.0.0.1:9730") +
         more;
}

std::string FileText(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// A connection to lampd's HTTP port from `from` (loopback has all of 127/8).
platform::Socket Connected(const std::string& from = "127.0.0.1", int port = 9730) {
  platform::Socket socket = platform::Socket::OpenStream();
  socket.Bind(platform::SocketAddress::FromDottedText(from, 0));
  socket.StartConnect(platform::SocketAddress::FromDottedText("127.0.0.1", port));
  socket.WaitConnected(5s);
  return socket;
}

bool SendText(platform::Socket& socket, const std::string& text) {
  return ::send(socket.Handle(), text.data(), text.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(text.size());
}

class LampdAbuse : public lamptest::PlantTest {};

TEST_F(LampdAbuse, TheWebhookIsAllOrNothingAndNoBodyStopsLampd) {
  const std::string state = OwnFile("leases.json");
  {
    LampdProcess lampd(Config("", kAlertRule), "webhook", {"--state", state});
    ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
    const std::string good =
        R"({"status": "firing", "labels": {"severity": "critical"}, "fingerprint": "f1"})";
    for (const std::string bad :
         {R"({"status": 1, "labels": {"severity": "critical"}})",
          R"({"status": "firing", "labels": {"severity": "critical"}, "fingerprint": 12})",
          R"({"status": "firing", "labels": {"severity": "critical"}, "endsAt": 3})",
          R"({"status": "firing", "labels": {"severity": 2}})", R"("nothing")"}) {
      const auto reply =
          Http("POST", "/api/alertmanager", R"({"alerts": [)" + good + ", " + bad + "]}");
      EXPECT_EQ(reply.status, 400) << bad << reply.body;
      EXPECT_FALSE(reply.Json().value("error", "").empty()) << bad;
    }
    EXPECT_TRUE(Http("GET", "/api/units/press-3").Json()["leases"].empty());
    EXPECT_TRUE(lamptest::Writes(unit).empty()) << "a refused body lit a lamp";

    // A fingerprint whose 50th byte is inside a character: taken, kept, saved.
    const std::string wide = std::string(49, 'f') + "\xc3\xa9" + "tail";
    const auto taken = Http("POST", "/api/alertmanager",
                            R"({"alerts": [{"status": "firing", "labels": {"severity": "critical"},
                               "fingerprint": ")" +
                                wide + "\"}]}");
    ASSERT_EQ(taken.status, 200) << taken.body;
    ASSERT_TRUE(StateOf(probe, "press-3", [](const json& s) { return !s["leases"].empty(); }));
    EXPECT_EQ(lampd.Stop(), 0) << lampd.Log();
  }
  const json kept = json::parse(FileText(state), nullptr, false);
  ASSERT_TRUE(kept.is_object()) << FileText(state);
  EXPECT_EQ(kept["units"]["press-3"]["leases"][0]["source"],
            "alertmanager:" + std::string(49, 'f'));
  std::remove(state.c_str());
}

TEST_F(LampdAbuse, TheStateFileOutlivesAFailingDiskAndBadContent) {
  const std::string state = OwnFile("leases.json");
  // A path that is a directory stops lampd: never written over, never a loop of restarts.
  std::filesystem::create_directory(state);
  {
    LampdProcess lampd(Config(), "directory", {"--state", state});
    EXPECT_EQ(lampd.WaitForExit(10s), 1) << lampd.Log();
  }
  std::filesystem::remove(state);
  // Valid JSON of the wrong shape is moved aside like text that does not parse.
  std::ofstream(state) << R"({"version": 2, "serial": "7", "units": {"press-3": 1}})";
  LampdProcess first(Config(), "shape", {"--state", state});
  ASSERT_TRUE(StateOf(probe, "press-3")) << first.Log();
  bool aside = false;
  for (const auto& entry : std::filesystem::directory_iterator(testing::TempDir())) {
    if (entry.path().string().starts_with(state + ".bad-")) {
      aside = FileText(entry.path()).find("\"serial\": \"7\"") != std::string::npos;
      std::filesystem::remove(entry.path());
    }
  }
  EXPECT_TRUE(aside);

  // The disk fails (the temporary file cannot be made): a lease and a clear
  // are answered, the failure is in the metrics, and tried again.
  ASSERT_EQ(
      Http("PUT", "/api/units/press-3", R"({"red": "on", "for": "1h", "source": "old"})").status,
      200);
  std::filesystem::create_directory(state + ".new");
  ASSERT_EQ(Http("PUT", "/api/units/press-3", R"({"clear": "old"})").status, 200);
  ASSERT_EQ(Http("PUT", "/api/units/press-3", R"({"green": "blink", "for": "1h", "source": "new"})")
                .status,
            200);
  EXPECT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_state_file_failing 1\n") != std::string::npos;
  }));
  // The disk is freed: written again by itself, and at the stop whatever.
  std::filesystem::remove(state + ".new");
  EXPECT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_state_file_failing 0\n") != std::string::npos;
  }));
  EXPECT_EQ(first.Stop(), 0);
  const std::string kept = FileText(state);
  EXPECT_NE(kept.find("\"source\": \"new\""), std::string::npos) << kept;
  EXPECT_EQ(kept.find("\"source\": \"old\""), std::string::npos) << kept;
  std::remove(state.c_str());
}

TEST_F(LampdAbuse, HttpIsBoundedBeforeAnythingIsKeptAndAnswersUnderIdleAndTricklingClients) {
  platform::RaiseDescriptorLimit();
  LampdProcess lampd(Config("", kAlertRule));
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  const long before = ResidentKilobytes(lampd.Pid());

  // A header line that never ends, and a chunked body of 64 MB: refused
  // once past their limits, not kept.
  platform::Socket endless = Connected();
  SendText(endless, "GET /metrics HTTP/1.1\r\nX-Long: ");
  const std::string block(64 * 1024, 'a');
  for (int i = 0; i < 1024 && SendText(endless, block); ++i) {
  }
  platform::Socket chunked = Connected();
  SendText(chunked, "POST /api/alertmanager HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
  for (int i = 0; i < 1024 && SendText(chunked, "10000\r\n" + block + "\r\n"); ++i) {
  }
  // Under AddressSanitizer freed memory is held back on purpose.
  if (!lamptest::SanitizedTree()) {
    EXPECT_LT(ResidentKilobytes(lampd.Pid()) - before, 8 * 1024) << "kilobytes grown";
  }

  // Two thousand idle connections from one host and seventy clients of
  // another that trickle a byte every two seconds: the metrics and the
  // webhook are answered all along.
  std::vector<platform::Socket> idle, trickling;
  for (int i = 0; i < 2000; ++i) idle.push_back(Connected("127.0.0.2"));
  for (int i = 0; i < 70; ++i) {
    trickling.push_back(Connected("127.0.0.3"));
    SendText(trickling.back(), "G");
  }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    while (!done) {
      for (auto& socket : trickling) {
        // One that has been answered (and closed) is sent nothing more.
        if (pollfd told{socket.Handle(), POLLIN, 0}; ::poll(&told, 1, 0) == 0)
          SendText(socket, "E");
      }
      for (int i = 0; i < 20 && !done; ++i)
        std::this_thread::sleep_for(100ms);  // the trickle's pace
    }
  });
  const auto end = Clock::now() + 12s;  // past the request limit of the trickling clients
  int answered = 0, asked = 0;
  while (Clock::now() < end) {
    ++asked;
    answered += Http("GET", "/metrics").status == 200;
    answered += Http("POST", "/api/alertmanager", R"({"alerts": []})").status == 200;
    ++asked;
    std::this_thread::sleep_for(500ms);  // a scrape's pace
  }
  done = true;
  trickle.join();
  EXPECT_EQ(answered, asked) << lampd.Log();
  // The trickling ones were closed at the request limit: none is held.
  for (auto& socket : trickling) {
    char byte = 0;
    const long got = ::recv(socket.Handle(), &byte, 1, MSG_DONTWAIT);
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET)) << got << " " << errno;
  }
}

TEST_F(LampdAbuse, AnOversizedMessageIsDroppedUnreadOnEveryTopic) {
  LampdProcess lampd(Config());
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  const long before = ResidentKilobytes(lampd.Pid());
  const std::string huge(20 * 1024 * 1024, '{');
  probe.Publish("lampd/press-9", huge);  // a state topic
  probe.Publish("lampd/bridge/east/state", huge);
  EXPECT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_mqtt_dropped_total 2\n") != std::string::npos;
  }));
  const std::size_t from = probe.Messages().size();
  probe.Publish("lampd/press-3/set", R"({"blue": "on"})");
  EXPECT_TRUE(StateOf(
      probe, "press-3", [](const json& s) { return s["lamps"]["blue"] == "on"; }, from));
  if (!lamptest::SanitizedTree()) {
    EXPECT_LT(ResidentKilobytes(lampd.Pid()) - before, 16 * 1024) << "kilobytes kept";
  }
}

TEST_F(LampdAbuse, LeasesKeepTheirLengthWhenTheWallClockSteps) {
  const std::string shift = OwnFile("shift");
  std::ofstream(shift) << "0\n";
  LampdProcess lampd(
      Config(), "clock", {},
      {std::string("LD_PRELOAD=") + WALL_CLOCK_SHIFT_PATH, "LAMPTEST_WALL_SHIFT=" + shift,
       "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"});
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  const std::size_t leased = probe.Messages().size();
  ASSERT_EQ(
      Http("PUT", "/api/units/press-3", R"({"red": "on", "for": "3s", "source": "short"})").status,
      200);
  const auto taken = Clock::now();
  std::ofstream(shift) << "-3600\n";  // set back an hour
  const auto ended = StateOf(
      probe, "press-3",
      [](const json& s) { return s["lamps"]["red"] == "off" && s["leases"].empty(); }, leased);
  ASSERT_TRUE(ended) << lampd.Log();
  const double took = std::chrono::duration<double>(Clock::now() - taken).count();
  EXPECT_GT(took, 2.0);
  EXPECT_LT(took, 8.0);

  // Forward a day: a lease of an hour does not end at once.
  ASSERT_EQ(
      Http("PUT", "/api/units/press-3", R"({"green": "on", "for": "1h", "source": "long"})").status,
      200);
  std::ofstream(shift) << "86400\n";
  const std::size_t from = probe.Messages().size();
  probe.Publish("lampd/press-3/get", "");
  const auto still = StateOf(
      probe, "press-3", [](const json&) { return true; }, from);
  ASSERT_TRUE(still);
  EXPECT_EQ(still->at("lamps")["green"], "on");
  ASSERT_EQ(still->at("leases").size(), 1u);
  // Its end as the stepped wall clock tells it: a day and an hour ahead of
  // the real one, so the year is still this one.
  EXPECT_EQ(still->at("leases")[0]["expires"].get<std::string>().substr(0, 2), "20");
  std::remove(shift.c_str());
}

TEST_F(LampdAbuse, MacFindIsAskedForOnlyWhereAllowedAndForgedAnswersAreBounded) {
  {
    // No interfaces in the configuration: a request broadcasts nothing.
    LampdProcess lampd(Config(), "nofind");
    ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
    const std::size_t heard = unit.Received("udp").size();
    probe.Publish("lampd/bridge/request/find", "");
    const auto answer = probe.WaitFor("lampd/bridge/response/find");
    ASSERT_TRUE(answer);
    EXPECT_EQ(json::parse(answer->payload)["status"], "error");
    EXPECT_EQ(unit.Received("udp").size(), heard);
  }
  LampdProcess lampd(Config("interfaces = [\"lo\"]\nfind_gap = \"20s\"\nfound_max = 50\n"), "find");
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  // A host forges answers from 5,000 units that do not exist while lampd
  // finds: at most found_max are taken, and those that never answer go again.
  platform::Socket forger = platform::Socket::OpenDatagram();
  const auto to =
      platform::SocketAddress::FromDottedText("127.0.0.1", protocol::kSettingsReplyPort);
  std::mt19937_64 random(3);
  protocol::SettingsMessage forged;
  forged.command = {'M', 'R'};
  forged.record.ipAddress = {192, 168, 77, 1};
  forged.record.port = 20000;
  bool flooded = false;
  for (const auto end = Clock::now() + 60s; !flooded && Clock::now() < end;) {
    // Asked until a find answers: the one at start, held open by the forgery,
    // or one after find_gap.
    const std::size_t from = probe.Messages().size();
    probe.Publish("lampd/bridge/request/find", "");
    for (int i = 0; i < 5000; ++i) {
      const std::uint64_t mac = random();
      for (int b = 0; b < protocol::kMacSize; ++b) forged.record.mac[b] = mac >> (8 * b);
      forger.SendTo(protocol::Encode(forged), to);
      if (i % 20 == 0) std::this_thread::sleep_for(5ms);  // a forger's pace: the find stays open
    }
    const auto answer = probe.WaitFor(
        "lampd/bridge/response/find", [](const std::string&) { return true; }, 10s, from);
    flooded = answer && json::parse(answer->payload)["status"] == "ok";
  }
  ASSERT_TRUE(flooded);
  // Asked again at once, well within find_gap: refused, nothing broadcast.
  const std::size_t from = probe.Messages().size();
  probe.Publish("lampd/bridge/request/find", "");
  const auto refused = probe.WaitFor(
      "lampd/bridge/response/find", [](const std::string&) { return true; }, 10s, from);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->payload.find("the next may run in"), std::string::npos) << refused->payload;
  EXPECT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_units_passed_over_total 0\n") == std::string::npos;
  })) << Http("GET", "/metrics").body;
  EXPECT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_units_found 0\n") != std::string::npos;
  })) << Http("GET", "/metrics").body;
  EXPECT_LT(Http("GET", "/metrics").body.size(), 20000u) << "a series per forged unit";
  // The healthy unit is served as ever.
  const std::size_t next = probe.Messages().size();
  probe.Publish("lampd/press-3/set/white", "blink");
  EXPECT_TRUE(StateOf(
      probe, "press-3", [](const json& s) { return s["lamps"]["white"] == "blink"; }, next));
}

TEST_F(LampdAbuse, AFloodOfBadCommandsIsSummarisedInTheLog) {
  LampdProcess lampd(Config());
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  // As many as a broker queues for one subscriber (Mosquitto: 1,000).
  for (int i = 0; i < 800; ++i) probe.Publish("lampd/press-3/set", "not json " + std::to_string(i));
  // Each was answered on the error topic...
  EXPECT_TRUE(probe.WaitFor(
      "lampd/press-3/error",
      [](const std::string& payload) { return payload.find("not json 799") != std::string::npos; },
      30s));
  EXPECT_TRUE(lampd.WaitForLog("more such event(s)"));
  // ...and the log holds a few lines a second of them, not eight hundred.
  std::istringstream log(lampd.Log());
  int lines = 0;
  for (std::string line; std::getline(log, line);)
    lines += line.find("not a JSON") != std::string::npos;
  EXPECT_LT(lines, 200);
  EXPECT_GT(lines, 0);
}

TEST_F(LampdAbuse, WithoutATokenLampdAnswersOnlyToItsOwnNames) {
  LampdProcess lampd(Config());
  ASSERT_TRUE(StateOf(probe, "press-3")) << lampd.Log();
  // A page on a rebinding name sends its GETs with that name and no Origin.
  const auto get = [](const std::string& host, const std::string& path) {
    httplib::Client client("127.0.0.1", 9730);
    client.set_read_timeout(3, 0);
    const auto reply = client.Get(path, {{"Host", host}});
    return reply ? reply->status : 0;
  };
  for (const std::string path : {"/api/plant", "/api/units", "/api/units/press-3", "/api/stream"}) {
    EXPECT_EQ(get("rebind.example:9730", path), 403) << path;
  }
  EXPECT_EQ(get("127.0.0.1:9730", "/api/units"), 200);
  EXPECT_EQ(get("localhost:9730", "/api/units/press-3"), 200);
  // The page itself and the metrics hold nothing to steal: open to any name.
  EXPECT_EQ(get("rebind.example:9730", "/metrics"), 200);
}

}  // namespace
