// lampd over HTTPS beside plain HTTP, 2,000 units polled every second, the
// same people in both: the time from pressing "Sign in" to the first full
// draw of the plant; a request's latency on a kept connection (goal: HTTPS
// within 1.2x of HTTP at the median) and on a new one (a handshake each);
// and lampd's processor time with 20 consoles signed in and open. Run
// through scripts/bench, inside a private network.
#include <httplib.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <thread>

#include "browser.h"
#include "child_process.h"
#include "lamp_unit_process.h"
#include "lampd_fleet.h"
#include "mqtt_test.h"
#include "private_network.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kUnits = 2000;

struct Figures {
  double signInToDraw = 1e9;  // s
  // Medians in ms on one connection for all: a unit read, a command, the whole plant read;
  // a unit read on a connection each.
  double read = 1e9, command = 1e9, plant = 1e9, fresh = 1e9;
  double cpuNone = 0, cpuPages = 0;  // s of lampd's processor over 10 s
  int pages = 0;
};

// Lamps changed on ten units a second, by MQTT, for `seconds`.
void Churn(lamptest::MqttProbe& probe, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    probe.Publish("lampd/u" + std::to_string(100 + i % 500) + "/set/green",
                  i % 20 < 10 ? "on" : "off");
    std::this_thread::sleep_for(100ms);
  }
}

// Milliseconds of `count` requests (a PUT turns a lamp of u7 on and off),
// on one connection or a connection each.
std::vector<double> Latencies(bool tls, const std::string& certificate, const std::string& token,
                              const std::string& method, const std::string& path, bool kept,
                              int count) {
  std::vector<double> taken;
  const auto client = [&] {
    auto made =
        std::make_unique<httplib::Client>(tls ? "https://127.0.0.1:9730" : "http://127.0.0.1:9730");
    if (tls) made->set_ca_cert_path(certificate.c_str());
    made->set_keep_alive(kept);
    made->set_tcp_nodelay(true);
    made->set_bearer_token_auth(token.c_str());
    return made;
  };
  auto shared = client();
  for (int i = 0; i < count; ++i) {
    auto own = kept ? nullptr : client();
    httplib::Client& use = kept ? *shared : *own;
    const auto began = Clock::now();
    const auto reply = method == "GET"
                           ? use.Get(path)
                           : use.Put(path, i % 2 ? R"({"green": "on"})" : R"({"green": "off"})",
                                     "application/json");
    if (reply && reply->status == 200) {
      taken.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
    }
  }
  return taken;
}

Figures Measure(bool tls, const std::string& users, const std::string& token,
                const std::string& certificate, const std::string& key) {
  Figures figures;
  lamptest::MqttProbe probe;
  const std::string http =
      "[http]\nlisten = \"0.0.0.0:9730\"\nusers_file = \"" + users + "\"\n" +
      (tls ? "tls_certificate = \"" + certificate + "\"\ntls_key = \"" + key + "\"\n" : "");
  lamptest::LampdProcess lampd(
      "name = \"bench\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\n"
      "[fleet]\npoll_every = \"1s\"\nparallel = 512\n" +
          http + lampbench::FleetUnitTables(kUnits),
      tls ? "https" : "http");
  const auto call = [&](const std::string& path) {
    return tls ? lamptest::Https(certificate, "GET", path, "", token)
               : lamptest::Http("GET", path, "", token);
  };
  const bool up = lamptest::WaitUntil(
      [&] { return lampbench::UnitsUp(call("/metrics").body) == kUnits; }, 120s);
  if (!up) {
    std::fprintf(stderr, "the fleet did not come online\n%s", lampd.Log().c_str());
    return figures;
  }
  const std::string url = std::string(tls ? "https" : "http") + "://127.0.0.1:9730/";
  lamptest::Browser browser;
  if (browser.Open("about:blank") < 0) return figures;
  // Sign in as a person of the plant, on a page of its own.
  const auto signIn = [&](int page) {
    if (!browser.Until(page, "return document.getElementById('sign-in-dialog').open;", nullptr,
                       30000)) {
      return false;
    }
    browser.Do(
        {{"do", "fill"}, {"page", page}, {"target", {{"label", "Name"}}}, {"value", "lead"}});
    browser.Do({{"do", "fill"},
                {"page", page},
                {"target", {{"label", "Password"}}},
                {"value", "lead-password"}});
    return browser.Click(page, "button", "Sign in");
  };
  const int page = browser.Open(url);
  if (page < 0) return figures;
  const auto pressed = Clock::now();
  if (signIn(page) &&
      browser.Until(page,
                    "return document.querySelector('[data-count]').dataset.count === '" +
                        std::to_string(kUnits) +
                        "' && document.querySelector('[data-unit=\"u0\"]') !== null;",
                    nullptr, 60000)) {
    figures.signInToDraw = std::chrono::duration<double>(Clock::now() - pressed).count();
  }
  browser.Evaluate(page, "location.href = 'about:blank'; return 1;");

  const auto median = [&](const std::string& method, const std::string& path, bool kept,
                          int count) {
    auto taken = Latencies(tls, certificate, token, method, path, kept, count);
    return taken.empty() ? 1e9 : lampbench::Percentile(taken, 0.5);
  };
  figures.read = median("GET", "/api/units/u7", true, 1000);
  figures.command = median("PUT", "/api/units/u7", true, 400);
  figures.plant = median("GET", "/api/units", true, 50);
  figures.fresh = median("GET", "/api/units/u7", false, 200);

  std::this_thread::sleep_for(2s);
  double before = lamptest::CpuSeconds(lampd.Pid());
  Churn(probe, 10);
  figures.cpuNone = lamptest::CpuSeconds(lampd.Pid()) - before;
  // Four hosts of five consoles each, as a plant's are: lampd gives one
  // address 16 streams at the most.
  for (int i = 0; i < 20; ++i) {
    const int another = browser.Open(std::string(tls ? "https" : "http") + "://192.168.77." +
                                     std::to_string(1 + i % 4) + ":9730/");
    if (another >= 0 && signIn(another) &&
        browser.Until(another,
                      "return document.getElementById('connection').dataset.connection === "
                      "'live';",
                      nullptr, 60000)) {
      ++figures.pages;
    }
  }
  before = lamptest::CpuSeconds(lampd.Pid());
  Churn(probe, 10);
  figures.cpuPages = lamptest::CpuSeconds(lampd.Pid()) - before;
  return figures;
}

}  // namespace

int main() {
  if (!lamptest::InsidePrivateNetwork()) return 3;
  lamptest::Broker broker;
  lamptest::LampUnitProcess units(
      {"--address", lampbench::FleetAddress(0), "--count", std::to_string(kUnits), "--no-udp"});
  if (!broker.Ready() || !units.Ready()) return 1;
  const std::string users = lamptest::OwnFile("bench-users");
  const std::string certificate = lamptest::OwnFile("bench.crt"),
                    key = lamptest::OwnFile("bench.key");
  const auto made = lamptest::RunProgram(
      {"/bin/sh", "-c",
       "echo lead-password | " + std::string(LAMPD_PATH) + " passwd --users " + users +
           " lead supervisor && " + LAMPD_PATH + " token --users " + users + " bench admin"},
      {});
  const std::string token = made.out.substr(0, made.out.find('\n'));
  if (made.status != 0 || !lamptest::MakeCertificate(certificate, key, "bench")) return 1;

  const Figures plain = Measure(false, users, token, certificate, key);
  const Figures secure = Measure(true, users, token, certificate, key);
  std::printf("lampd over HTTPS beside HTTP, %d units polled every second\n", kUnits);
  std::printf("  \"Sign in\" to the first full draw: HTTPS %.2f s (goal 3 s), HTTP %.2f s\n",
              secure.signInToDraw, plain.signInToDraw);
  const auto line = [](const char* what, double https, double http) {
    std::printf("  %s: HTTPS %.3f ms, HTTP %.3f ms at the median: %.2fx\n", what, https, http,
                https / http);
  };
  line("a unit read on a kept connection", secure.read, plain.read);
  line("a command (PUT, the unit answers) on a kept connection", secure.command, plain.command);
  line("the whole plant read (GET /api/units)", secure.plant, plain.plant);
  line("a unit read on a new connection (a handshake)", secure.fresh, plain.fresh);
  const double ratio = secure.command / plain.command;
  // The goal is set on what the plant's people and scripts do: commands.
  std::printf("  a command's median over HTTPS: %.2fx HTTP's (goal 1.2x)\n", ratio);
  std::printf(
      "  lampd's processor time over 10 s: HTTPS %.2f s with no page, %.2f s with %d consoles;"
      " HTTP %.2f s and %.2f s with %d (%.2fx with the consoles)\n",
      secure.cpuNone, secure.cpuPages, secure.pages, plain.cpuNone, plain.cpuPages, plain.pages,
      secure.cpuPages / plain.cpuPages);
  const bool met =
      secure.signInToDraw <= 3 && ratio <= 1.2 && secure.pages == 20 && plain.pages == 20;
  std::printf("goals %s\n", met ? "met" : "NOT met");
  return met ? 0 : 1;
}
