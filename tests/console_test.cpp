// lampd's operator console in a real browser (Debian's Chromium through
// Playwright) against a real Mosquitto, lampd and simulated units on the
// private network: what it draws, what a click does at the unit, what
// every open page sees, and how it rides out a restart; its token gate.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <tuple>

#include "browser.h"
#include "child_process.h"
#include "lamp_unit_process.h"
#include "mqtt_test.h"

namespace {

using lamptest::Browser;
using lamptest::Http;
using lamptest::InstanceConfig;
using lamptest::LampdProcess;
using lamptest::LampIs;
using lamptest::LampUnitProcess;
using lamptest::StateOf;
using lamptest::Unit;
using lamptest::WaitUntil;
using lamptest::Writes;
using nlohmann::json;
using namespace std::chrono_literals;

const std::string kUrl = "https://127.0.0.1:9730/";

// `http`: more of [http].
std::string Plant(const std::string& http = "") {
  return InstanceConfig("hall", 1883,
                        Unit("press-3", "192.168.10.200") + Unit("press-4", "192.168.10.201") +
                            Unit("press-5", "192.168.10.202"),
                        "", "listen = \"127.0.0.1:9730\"\n" + http) +
         "[groups]\nline1 = [\"press-3\", \"press-4\"]\n";
}

// The function body that is true once unit arg[0]'s tower says online arg[1].
const std::string kOnlineIs =
    "const tower = document.querySelector(`[data-unit=\"${arg[0]}\"]`);"
    " return tower !== null && tower.dataset.online === arg[1];";
const std::string kLive =
    "return document.getElementById('connection').dataset.connection === 'live';";

class Console : public lamptest::PlantTest {
 protected:
  void SetUp() override {
    PlantTest::SetUp();
    ASSERT_TRUE(fourth.Ready() && fifth.Ready());
    ASSERT_TRUE(lamptest::MakeCertificate(certificate, key, "lampd-console"));
  }
  // lampd serves the console over HTTPS, as a plant would.
  std::string Tls() const {
    return "tls_certificate = \"" + certificate + "\"\ntls_key = \"" + key + "\"\n";
  }
  lamptest::HttpReply Call(const std::string& method, const std::string& path,
                           const std::string& body = "", const std::string& token = "",
                           const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    return lamptest::Https(certificate, method, path, body, token, headers);
  }
  std::string certificate = lamptest::OwnFile("lampd.crt"), key = lamptest::OwnFile("lampd.key");
  LampUnitProcess fourth{{"--address", "192.168.10.201"}};
  LampUnitProcess fifth{{"--address", "192.168.10.202"}};
};

TEST_F(Console, ThePlantIsDrawnLiveAndAClickLightsTheLampOnEveryPage) {
  LampdProcess lampd(Plant(Tls()));
  LampUnitProcess far({"--address", "192.168.10.209"});
  LampdProcess east(InstanceConfig("east", 1883, Unit("press-9", "192.168.10.209")), "east");
  ASSERT_TRUE(StateOf(probe, "press-9")) << east.Log();
  Browser browser;
  const int one = browser.Open(kUrl), two = browser.Open(kUrl);
  ASSERT_GE(two, 0) << browser.Error();
  // Every unit of the plant, the other instance's marked with its name.
  ASSERT_TRUE(browser.Until(one, "return document.querySelectorAll('[data-unit]').length === 4;"))
      << browser.Error() << lampd.Log();
  EXPECT_EQ(browser.Evaluate(one,
                             "return document.querySelector('[data-unit=\"press-9\"]')"
                             ".dataset.instance;"),
            "east");
  EXPECT_EQ(browser.Evaluate(one, "return document.querySelector('[data-count]').dataset.count;"),
            "4");

  // A click on the tower, then on "red on": the frame at the unit, and both pages show it.
  ASSERT_TRUE(browser.Do(
      {{"do", "click"}, {"page", one}, {"target", {{"css", "[data-unit=\"press-3\"]"}}}}))
      << browser.Error();
  ASSERT_TRUE(
      browser.Until(one, "return document.querySelector('[data-panel=\"press-3\"]') !== null;"));
  ASSERT_TRUE(browser.Click(one, "button", "red on")) << browser.Error();
  ASSERT_TRUE(WaitUntil([&] { return !Writes(unit).empty(); }));
  EXPECT_EQ(Writes(unit).back()[2], 1);
  for (const int page : {one, two}) {
    EXPECT_TRUE(browser.Until(page, LampIs(), {"press-3", "red", "on"})) << browser.Error();
  }
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string text = Call("GET", "/metrics").body;
        return text.find("lampd_commands_total{source=\"web\"} 1\n") != std::string::npos;
      },
      20s));
  // A call answered from the panel: the horn stops at the unit, every page tells of it.
  probe.Publish("lampd/press-3/set",
                R"({"red": "blink", "sound": 2, "for": "10m", "source": "line3"})");
  ASSERT_TRUE(StateOf(probe, "press-3", [](const json& s) { return s["sound"] == 2; }));
  ASSERT_TRUE(browser.Click(one, "button", "Acknowledge")) << browser.Error();
  EXPECT_TRUE(StateOf(probe, "press-3", [](const json& s) {
    return s["sound"] == "off" && s["lamps"]["red"] == "blink" &&
           s["leases"][0]["acknowledged"]["by"] == "127.0.0.1";
  }));
  EXPECT_EQ(Writes(unit).back()[7], 0);
  EXPECT_TRUE(browser.Until(two,
                            "return [...document.querySelectorAll('#event-list "
                            "li[data-kind=\"ack\"]')].some((item) => "
                            "item.dataset.eventOf === 'press-3');"))
      << browser.Error();
  EXPECT_TRUE(browser.Until(
      one,
      "return document.querySelector('#panel tr[data-acknowledged=\"127.0.0.1\"]') !== null;"));
  // The other instance's unit: passed on to it, drawn from its new state.
  ASSERT_TRUE(browser.Do(
      {{"do", "click"}, {"page", two}, {"target", {{"css", "[data-unit=\"press-9\"]"}}}}));
  ASSERT_TRUE(browser.Click(two, "button", "green blink"));
  EXPECT_TRUE(browser.Until(one, LampIs(), {"press-9", "green", "blink"})) << browser.Error();
  ASSERT_TRUE(WaitUntil([&] { return !Writes(far).empty(); }));  // its log is read as it comes
  EXPECT_EQ(Writes(far).size(), 1u);

  // A lease by MQTT shows with its source, counts down, and its end shows.
  ASSERT_TRUE(browser.Do(
      {{"do", "click"}, {"page", one}, {"target", {{"css", "[data-unit=\"press-4\"]"}}}}));
  probe.Publish("lampd/press-4/set", R"({"yellow": "blink", "for": "4s", "source": "ci"})");
  ASSERT_TRUE(browser.Until(
      one,
      "const row = document.querySelector('[data-panel=\"press-4\"] tr[data-source=\"ci\"]');"
      " return row !== null && row.querySelector('.time-left').textContent === '2 s';"))
      << browser.Error();
  EXPECT_TRUE(browser.Until(two, LampIs(), {"press-4", "yellow", "blink"}));
  EXPECT_TRUE(
      browser.Until(one, "return document.querySelector('tr[data-source=\"ci\"]') === null;"));
  EXPECT_TRUE(browser.Until(two, LampIs(), {"press-4", "yellow", "off"}));

  // A unit killed: offline on the page, its lamps not shown as if live.
  kill(fifth.Pid(), SIGKILL);
  EXPECT_TRUE(browser.Until(two, kOnlineIs, {"press-5", "false"})) << browser.Error();
}

TEST_F(Console, ARestartOfLampdIsToldAndTheStatesComeBackWithoutAReload) {
  auto lampd = std::make_unique<LampdProcess>(Plant(Tls()));
  Browser browser;
  const int page = browser.Open(kUrl);
  ASSERT_TRUE(browser.Until(page, kLive)) << browser.Error();
  ASSERT_TRUE(browser.Until(page, LampIs(), {"press-3", "blue", "off"}));
  EXPECT_EQ(lampd->Stop(), 0);
  EXPECT_TRUE(browser.Until(
      page, "return document.getElementById('connection').dataset.connection !== 'live';", nullptr,
      5000));
  // Meanwhile the unit is set by someone else; the page has no stale tower after.
  // (again if a machine busy with browsers was slower than lampctl's reply time)
  lamptest::ProgramRun set;
  ASSERT_TRUE(lamptest::WaitUntil([&] {
    set = lamptest::RunProgram({LAMPCTL_PATH, "set", "192.168.10.200", "blue=on"}, {});
    return set.status == 0;
  })) << set.err;
  lampd = std::make_unique<LampdProcess>(Plant(Tls()));
  EXPECT_TRUE(browser.Until(page, kLive, nullptr, 20000)) << browser.Error();
  EXPECT_TRUE(browser.Until(page, LampIs(), {"press-3", "blue", "on"})) << browser.Error();
}

TEST_F(Console, AFilterAndTheKeyboardReachEveryControl) {
  LampdProcess lampd(Plant(Tls()));
  ASSERT_TRUE(StateOf(probe, "press-5"));
  probe.Publish("lampd/press-4/set", R"({"red": "on"})");
  kill(fifth.Pid(), SIGKILL);
  Browser browser;
  const int page = browser.Open(kUrl);
  ASSERT_TRUE(browser.Until(page, kOnlineIs, {"press-5", "false"})) << browser.Error();
  // The towers are drawn a moment after the count: waits for the ones
  // `units` names, and gives what is shown either way.
  const std::string drawn =
      "return [...document.querySelectorAll('[data-unit]')].map((t) => t.dataset.unit).sort()"
      ".join(' ')";
  const auto shown = [&](const std::string& filter, const std::string& units) {
    browser.Do(
        {{"do", "fill"}, {"page", page}, {"target", {{"label", "Filter"}}}, {"value", filter}});
    browser.Until(page, drawn + " === arg;", units);
    return browser.Evaluate(page, drawn + ";");
  };
  EXPECT_EQ(shown("offline", "press-5"), "press-5");
  EXPECT_EQ(shown("red", "press-4"), "press-4");
  EXPECT_EQ(shown("line1", "press-3 press-4"), "press-3 press-4");
  EXPECT_EQ(shown("192.168.10.200", "press-3"), "press-3");

  // From the filter box, by keyboard alone: Tab to the tower, Enter opens
  // it, Tab to "red on", Enter.
  const auto tabTo = [&](const std::string& name) {
    for (int i = 0; i < 40; ++i) {
      if (browser.Do({{"do", "focused"}, {"page", page}}) == json(name)) return true;
      browser.Do({{"do", "press"}, {"page", page}, {"key", "Tab"}});
    }
    return false;
  };
  ASSERT_TRUE(tabTo("press-3"));
  ASSERT_TRUE(browser.Do({{"do", "press"}, {"page", page}, {"key", "Enter"}}));
  ASSERT_TRUE(
      browser.Until(page, "return document.querySelector('[data-panel=\"press-3\"]') !== null;"));
  ASSERT_TRUE(tabTo("red on"));
  ASSERT_TRUE(browser.Do({{"do", "press"}, {"page", page}, {"key", "Enter"}}));
  ASSERT_TRUE(WaitUntil([&] { return !Writes(unit).empty(); }));
  EXPECT_EQ(Writes(unit).back()[2], 1);
  // A lease from the form, by keyboard too, of what the page shows: it shows as the console's.
  ASSERT_TRUE(browser.Until(page, LampIs(), {"press-3", "red", "on"})) << browser.Error();
  browser.Do({{"do", "fill"}, {"page", page}, {"target", {{"label", "For"}}}, {"value", "1h"}});
  browser.Do({{"do", "fill"}, {"page", page}, {"target", {{"label", "Priority"}}}, {"value", "7"}});
  ASSERT_TRUE(browser.Do({{"do", "press"}, {"page", page}, {"key", "Enter"}}));
  EXPECT_TRUE(StateOf(probe, "press-3", [](const json& s) {
    return s["leases"].size() == 1 && s["leases"][0]["source"] == "console" &&
           s["leases"][0]["priority"] == 7 && s["leases"][0]["lamps"]["red"] == "on";
  }));
  ASSERT_TRUE(browser.Click(page, "button", "Clear console"));
  EXPECT_TRUE(StateOf(
      probe, "press-3", [](const json& s) { return s["leases"].empty(); },
      probe.Messages().size() - 1));

  // The units a filter shows, at once: green on at both of line1's.
  EXPECT_EQ(shown("line1", "press-3 press-4"), "press-3 press-4");
  ASSERT_TRUE(browser.Do(
      {{"do", "select"}, {"page", page}, {"target", {{"label", "Apply to"}}}, {"value", "shown"}}))
      << browser.Error();
  ASSERT_TRUE(browser.Click(page, "button", "green on"));
  for (LampUnitProcess* member : {&unit, &fourth}) {
    EXPECT_TRUE(
        WaitUntil([&] { return !Writes(*member).empty() && Writes(*member).back()[4] == 1; }));
  }
  EXPECT_TRUE(Writes(fifth).empty());
}

TEST_F(Console, TheTokenIsAskedForOnceAndOtherSitesCannotDriveLampd) {
  const std::string tokenFile = lamptest::OwnFile("http.token");
  const std::string token = "console-token-0123456789";
  std::ofstream(tokenFile) << token << "\n";
  LampdProcess lampd(
      InstanceConfig("line1", 1883, Unit("press-3", "192.168.10.200"), "",
                     "listen = \"127.0.0.1:9730\"\ntoken_file = \"" + tokenFile + "\"\n" + Tls()));
  ASSERT_TRUE(StateOf(probe, "press-3"));
  EXPECT_EQ(Call("GET", "/api/plant").status, 401);
  EXPECT_EQ(Call("GET", "/api/stream").status, 401);
  EXPECT_EQ(Call("PUT", "/api/console/units/press-3", R"({"red": "on"})", "wrong-token-0123456789")
                .status,
            401);
  EXPECT_EQ(Call("GET", "/console/../lampd.toml").status, 404);
  EXPECT_EQ(Call("GET", "/console/nothing.js").status, 404);

  Browser browser;
  const int page = browser.Open(kUrl);
  ASSERT_TRUE(browser.Until(page, "return document.getElementById('token-dialog').open;"))
      << browser.Error();
  EXPECT_EQ(browser.Evaluate(page, "return document.querySelectorAll('[data-unit]').length;"), 0);
  browser.Do({{"do", "fill"},
              {"page", page},
              {"target", {{"label", "Token"}}},
              {"value", "wrong-token-0123456789"}});
  browser.Do({{"do", "press"}, {"page", page}, {"key", "Enter"}});
  ASSERT_TRUE(browser.Until(page, "return document.getElementById('token-dialog').open;"));
  EXPECT_EQ(browser.Evaluate(page, "return document.querySelectorAll('[data-unit]').length;"), 0);
  browser.Do({{"do", "fill"}, {"page", page}, {"target", {{"label", "Token"}}}, {"value", token}});
  browser.Do({{"do", "press"}, {"page", page}, {"key", "Enter"}});
  ASSERT_TRUE(browser.Until(page, kLive)) << browser.Error();
  // Once for the session: a reload asks nothing.
  browser.Do({{"do", "reload"}, {"page", page}});
  ASSERT_TRUE(browser.Until(page, kLive)) << browser.Error();
  EXPECT_EQ(browser.Evaluate(page, "return document.getElementById('token-dialog').open;"), false);
  EXPECT_EQ(browser.Evaluate(page, "return location.href;"), kUrl);

  // Another site's page sends no command through this browser, and nobody
  // with the token does from another site's page.
  const std::string site = lamptest::OwnFile("site");
  std::filesystem::create_directories(site);
  std::ofstream(site + "/index.html") << "<p>elsewhere</p>";
  lamptest::ServerProcess elsewhere(
      {"/usr/bin/python3", "-m", "http.server", "8080", "--bind", "127.0.0.1", "--directory", site},
      8080, "/index.html");
  ASSERT_TRUE(elsewhere.Ready()) << elsewhere.Log();
  const int stranger = browser.Open("http://127.0.0.1:8080/index.html");
  EXPECT_EQ(browser.Evaluate(stranger,
                             "return fetch('https://127.0.0.1:9730/api/console/units', {method: "
                             "'POST', mode: 'no-cors', body: '{\"ids\": [\"press-3\"], \"red\": "
                             "\"on\"}'}).then(() => 'sent', () => 'failed');"),
            "sent");
  EXPECT_EQ(Call("POST", "/api/console/units", R"({"ids": ["press-3"], "red": "on"})", token,
                 {{"Origin", "http://127.0.0.1:8080"}})
                .status,
            403);
  EXPECT_EQ(
      Call("POST", "/api/console/units", R"({"ids": ["press-3"], "red": "on"})", token).status,
      200);
  // The unit's log is read as it comes: the frame of the request taken, and only that.
  ASSERT_TRUE(WaitUntil([&] { return !Writes(unit).empty(); }));
  EXPECT_EQ(Writes(unit).size(), 1u) << "only the request of this site's own client was taken";
  EXPECT_EQ(lampd.Log().find(token), std::string::npos);
}

TEST_F(Console, APersonSignsInAndIsShownAndAllowedOnlyWhatTheRoleMay) {
  const std::string users = lamptest::OwnFile("users");
  for (const auto& [name, role, groups] : {std::tuple{"wally", "viewer", ""},
                                           {"ada", "operator", "line1"},
                                           {"sue", "supervisor", ""}}) {
    const std::string command = "printf 'secret-of-%s\\n' " + std::string(name) + " | " +
                                LAMPD_PATH + " passwd --users " + users + " " + name + " " + role +
                                (*groups ? std::string(" --groups ") + groups : "");
    ASSERT_EQ(lamptest::RunProgram({"/bin/sh", "-c", command}, {}).status, 0) << command;
  }
  const auto lead =
      lamptest::RunProgram({LAMPD_PATH, "token", "--users", users, "lead", "supervisor"}, {});
  const std::string token = lead.out.substr(0, lead.out.find('\n'));
  LampdProcess lampd(
      InstanceConfig("hall", 1883,
                     Unit("press-3", "192.168.10.200") + Unit("press-5", "192.168.10.202") +
                         "[groups]\nline1 = [\"press-3\"]\n",
                     "", "listen = \"127.0.0.1:9730\"\nusers_file = \"" + users + "\"\n" + Tls()));
  ASSERT_TRUE(StateOf(probe, "press-3"));
  Browser browser;
  const auto signIn = [&](int page, const std::string& name, const std::string& password) {
    browser.Do({{"do", "fill"}, {"page", page}, {"target", {{"label", "Name"}}}, {"value", name}});
    browser.Do(
        {{"do", "fill"}, {"page", page}, {"target", {{"label", "Password"}}}, {"value", password}});
    return browser.Click(page, "button", "Sign in");
  };
  const std::string visible =
      "const c = document.querySelector(`[aria-label=\"${arg}\"]`); return c !== null && "
      "c.checkVisibility();";
  const std::string forged =
      "return fetch(`/api/console/units/${arg}`, {method: 'PUT', body: '{\"red\": \"on\"}'})"
      ".then((reply) => reply.status);";

  // The wall display: a wrong password is told, then it sees the plant and no control.
  const int page = browser.Open(kUrl);
  ASSERT_TRUE(browser.Until(page, "return document.getElementById('sign-in-dialog').open;"))
      << browser.Error();
  const auto open = [&](const std::string& id) {
    return browser.Do({{"do", "click"},
                       {"page", page},
                       {"target", {{"css", "[data-unit=\"" + id + "\"]"}}}}) &&
           browser.Until(page, "return document.querySelector(`[data-panel=\"${arg}\"]`) !== null;",
                         id);
  };
  ASSERT_TRUE(signIn(page, "wally", "not-it"));
  ASSERT_TRUE(browser.Until(
      page, "return document.getElementById('sign-in-error').textContent.includes('wrong');"));
  ASSERT_TRUE(signIn(page, "wally", "secret-of-wally"));
  ASSERT_TRUE(browser.Until(page, kLive)) << browser.Error();
  ASSERT_TRUE(open("press-3"));
  EXPECT_EQ(browser.Evaluate(page, visible, "red on"), false);
  EXPECT_EQ(browser.Evaluate(page, visible, "Acknowledge"), false);
  EXPECT_EQ(browser.Evaluate(page, forged, "press-3"), 403);
  // Signed out, the page asks again.
  ASSERT_TRUE(browser.Click(page, "button", "Sign out"));
  ASSERT_TRUE(browser.Until(page, "return document.getElementById('sign-in-dialog').open;"));

  // ada, of line 1: she acknowledges a call there, and holds nothing elsewhere.
  ASSERT_EQ(Call("PUT", "/api/units/press-3",
                 R"({"red": "blink", "sound": 1, "for": "1h", "source": "andon"})", token)
                .status,
            200);
  ASSERT_TRUE(signIn(page, "ada", "secret-of-ada"));
  ASSERT_TRUE(browser.Until(page, kLive)) << browser.Error();
  ASSERT_TRUE(open("press-3"));
  ASSERT_TRUE(browser.Until(page, visible, "Acknowledge"));
  EXPECT_EQ(browser.Evaluate(page, visible, "Reset"), false);
  ASSERT_TRUE(browser.Click(page, "button", "Acknowledge"));
  EXPECT_TRUE(WaitUntil([&] {
    const json state = Call("GET", "/api/units/press-3", "", token).Json();
    return state["leases"].size() == 1 && state["leases"][0].contains("acknowledged") &&
           state["leases"][0]["acknowledged"]["by"] == "ada";
  }));
  // press-5 is not line 1's: she sees it and no control of it, and is refused.
  ASSERT_TRUE(open("press-5"));
  EXPECT_EQ(browser.Evaluate(page, visible, "red on"), false);
  EXPECT_EQ(browser.Evaluate(page, forged, "press-5"), 403);
  EXPECT_TRUE(Writes(fifth).empty());
  // The session's cookie: HTTPS only, out of the page's reach, never sent by another site.
  const auto cookies = browser.Do({{"do", "cookies"}, {"page", page}});
  ASSERT_TRUE(cookies && cookies->size() == 1) << browser.Error();
  EXPECT_EQ((*cookies)[0]["name"], "lampd_session");
  EXPECT_EQ((*cookies)[0]["secure"], true);
  EXPECT_EQ((*cookies)[0]["httpOnly"], true);
  EXPECT_EQ((*cookies)[0]["sameSite"], "Strict");

  // sue, a supervisor, clears the call ada answered.
  ASSERT_TRUE(browser.Click(page, "button", "Sign out"));
  ASSERT_TRUE(signIn(page, "sue", "secret-of-sue"));
  ASSERT_TRUE(browser.Until(page, kLive)) << browser.Error();
  ASSERT_TRUE(open("press-3"));
  ASSERT_TRUE(browser.Until(page, visible, "Clear andon"));
  ASSERT_TRUE(browser.Click(page, "button", "Clear andon"));
  EXPECT_TRUE(WaitUntil(
      [&] { return Call("GET", "/api/units/press-3", "", token).Json()["leases"].empty(); }));

  // Wrong passwords, many: slowed, told, and counted.
  ASSERT_TRUE(browser.Click(page, "button", "Sign out"));
  for (int i = 0; i < 6; ++i) {
    browser.Evaluate(page, "document.getElementById('sign-in-error').textContent = '';");
    ASSERT_TRUE(signIn(page, "sue", "guess-" + std::to_string(i)));
    ASSERT_TRUE(browser.Until(page,
                              "return document.getElementById('sign-in-error').textContent !== '';",
                              nullptr, 30000));
  }
  EXPECT_TRUE(browser.Until(
      page, "return document.getElementById('sign-in-error').textContent.includes('too many');"));
  const std::string metrics = Call("GET", "/metrics").body;
  EXPECT_NE(metrics.find("lampd_http_sign_ins_total{outcome=\"held\"} "), std::string::npos);
  EXPECT_EQ(metrics.find("lampd_http_sign_ins_total{outcome=\"held\"} 0"), std::string::npos)
      << metrics;
}

// The first line of the answer to a stream asked for on a connection of its own, kept open.
std::string AskForStream(int& socket, const char* from = "127.0.0.1") {
  socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, from, &address.sin_addr);
  ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(9730);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval limit{10, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "";
  const std::string request = "GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1:9730\r\n\r\n";
  ::send(socket, request.data(), request.size(), MSG_NOSIGNAL);
  char line[64] = {};
  const long got = ::recv(socket, line, sizeof line - 1, 0);
  return got > 12 ? std::string(line, 12) : "";
}

TEST_F(Console, StreamsAreBoundedAndTheRestOfHttpIsServedMeanwhile) {
  LampdProcess lampd(Plant());
  ASSERT_TRUE(StateOf(probe, "press-5"));
  // Sixteen streams an address, its share; 64 in all.
  const std::vector<std::string> from = {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"};
  std::vector<int> sockets(66, -1);
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(AskForStream(sockets[i], from[i / 16].c_str()), "HTTP/1.1 200") << i;
    if (i == 15) {
      EXPECT_EQ(AskForStream(sockets[65], from[0].c_str()), "HTTP/1.1 503");
    }
  }
  EXPECT_EQ(AskForStream(sockets[64], "127.0.0.5"), "HTTP/1.1 503");
  // The rest of lampd's HTTP is served meanwhile.
  EXPECT_EQ(Http("GET", "/api/units/press-3").status, 200);
  // Readers that leave give their share back at once, not at the next events
  // (the tick, every 10 s): a console reloaded again and again.
  std::string seen;
  char part[4096];
  long got = 0;
  while (seen.find("event: tick") == std::string::npos &&
         (got = ::recv(sockets[16], part, sizeof part, 0)) > 0) {
    seen.append(part, got);
  }
  ASSERT_NE(seen.find("event: tick"), std::string::npos);
  for (int i = 0; i < 16; ++i) ::close(sockets[i]);
  std::vector<int> again;
  EXPECT_TRUE(WaitUntil(
      [&] {
        while (again.size() < 16) {
          int socket = -1;
          const bool served = AskForStream(socket) == "HTTP/1.1 200";
          if (!served) ::close(socket);
          if (!served) return false;
          again.push_back(socket);
        }
        return true;
      },
      5s))
      << again.size() << " of 16 served again before the next tick";
  for (int i = 16; i < 66; ++i) ::close(sockets[i]);
  for (int socket : again) ::close(socket);
}

}  // namespace
