// lampd's operator console with 10,000 units polled every second: the first
// full draw after the page loads; the time from a change to the page
// showing it, measured in the browser (200 changes by MQTT, from the moment
// lampd publishes the new state; and changes made at a unit, found by the
// poll); and lampd's processor time with 20 pages open beside its polling,
// as a ratio to lampd with none. Run through scripts/bench, inside a private
// network.
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
using nlohmann::json;

constexpr int kUnits = 10000;

double WallMilliseconds() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// In the page: the wall-clock time at which unit arg[0]'s red lamp next shows arg[1].
const std::string kWatch =
    "const lamp = document.querySelector(`[data-unit=\"${arg[0]}\"] [data-lamp=\"red\"]`);"
    " window.seen = null;"
    " new MutationObserver((changes, observer) => {"
    "   if (lamp.dataset.state !== arg[1]) return;"
    "   window.seen = performance.timeOrigin + performance.now(); observer.disconnect();"
    " }).observe(lamp, {attributes: true});"
    " return true;";

// Lamps changed on ten units a second, by MQTT, for `seconds`.
void Churn(lamptest::MqttProbe& probe, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    probe.Publish("lampd/u" + std::to_string(100 + i % 500) + "/set/green",
                  i % 20 < 10 ? "on" : "off");
    std::this_thread::sleep_for(100ms);
  }
}

}  // namespace

int main() {
  if (!lamptest::InsidePrivateNetwork()) return 3;
  lamptest::Broker broker;
  // A simulated unit process serves 4,000 at the most.
  lamptest::LampUnitProcess first(
      {"--address", lampbench::FleetAddress(0), "--count", "4000", "--no-udp"});
  lamptest::LampUnitProcess second(
      {"--address", lampbench::FleetAddress(4000), "--count", "4000", "--no-udp"});
  lamptest::LampUnitProcess third({"--address", lampbench::FleetAddress(8000), "--count",
                                   std::to_string(kUnits - 8000), "--no-udp"});
  if (!broker.Ready() || !first.Ready() || !second.Ready() || !third.Ready()) return 1;
  lamptest::MqttProbe probe;
  probe.Subscribe("lampd/u0");
  lamptest::LampdProcess lampd(
      "name = \"bench\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:1883\"\n[fleet]\npoll_every = \"1s\"\n"
      "parallel = 512\n[http]\nlisten = \"0.0.0.0:9730\"\n" +
          lampbench::FleetUnitTables(kUnits),
      "bench");
  const auto allUp = [](const std::string& text) { return lampbench::UnitsUp(text) == kUnits; };
  if (!lamptest::WaitUntil([&] { return lamptest::WaitForMetrics(allUp); }, 120s)) {
    std::fprintf(stderr, "the fleet did not come online\n%s", lampd.Log().c_str());
    return 1;
  }

  // The whole plant as one document, as each page's stream starts with it.
  lamptest::HttpReply plant;
  const double plantSeconds =
      lamptest::SecondsOf([&] { plant = lamptest::Http("GET", "/api/plant"); });

  // The first full draw: from opening the page to every unit known and drawn.
  lamptest::Browser browser;
  if (browser.Open("about:blank") < 0) return 1;  // the browser started before the clock does
  const auto opened = Clock::now();
  const int page = browser.Open("http://127.0.0.1:9730/");
  const bool drawn =
      page >= 0 &&
      browser.Until(page,
                    "return document.querySelector('[data-count]').dataset.count === '" +
                        std::to_string(kUnits) +
                        "' && document.querySelector('[data-unit=\"u0\"]') !== null;",
                    nullptr, 60000);
  const double firstDraw = std::chrono::duration<double>(Clock::now() - opened).count();
  // Where the time went, as the page marked it.
  const json marks = browser.Evaluate(
      page,
      "const at = (name) => performance.getEntriesByName(name)[0]?.startTime / 1000;"
      " const stream = performance.getEntriesByType('resource').find((e) => "
      "e.name.endsWith('/api/stream'));"
      " return [at('plant-received'), at('plant-drawn'),"
      " performance.getEntriesByType('navigation')[0].domContentLoadedEventEnd / 1000,"
      " stream ? stream.startTime / 1000 : -1, stream ? stream.responseStart / 1000 : -1];");
  if (!drawn) {
    std::fprintf(stderr, "not drawn: %s\n", browser.Error().c_str());
    return 1;
  }

  // 200 changes by MQTT: from lampd's publish (the probe hears it) to the page.
  std::vector<double> afterPublish;
  for (int i = 0; i < 200; ++i) {
    const std::string state = i % 2 ? "off" : "on";
    browser.Evaluate(page, kWatch, {"u0", state});
    const std::size_t from = probe.Messages().size();
    probe.Publish("lampd/u0/set/red", state);
    const auto published = probe.WaitFor(
        "lampd/u0",
        [&](const std::string& payload) {
          return json::parse(payload, nullptr, false)["lamps"]["red"] == state;
        },
        10s, from);
    const double heard = WallMilliseconds();
    if (!published || !browser.Until(page, "return window.seen !== null;", nullptr, 10000))
      continue;
    afterPublish.push_back(browser.Evaluate(page, "return window.seen;").get<double>() - heard);
  }
  // Changes made at the unit itself, found by the poll: 20 of them.
  std::vector<double> afterChange;
  for (int i = 0; i < 20; ++i) {
    const std::string state = i % 2 ? "off" : "on";
    browser.Evaluate(page, kWatch, {"u1", state});
    lamptest::RunProgram({LAMPCTL_PATH, "set", lampbench::FleetAddress(1), "red=" + state}, {});
    const double changed = WallMilliseconds();  // lampctl is back: the unit shows it
    if (!browser.Until(page, "return window.seen !== null;", nullptr, 10000)) continue;
    afterChange.push_back(browser.Evaluate(page, "return window.seen;").get<double>() - changed);
  }

  // lampd's processor time over 10 s of polling and churn: no page, then 20 pages.
  browser.Evaluate(page, "location.href = 'about:blank'; return 1;");
  std::this_thread::sleep_for(2s);
  const auto exchanges = [] {
    const auto text = lamptest::Http("GET", "/metrics").body;
    double sum = 0;
    for (std::size_t at = text.find("\nlampd_exchanges_total{"); at != std::string::npos;
         at = text.find("\nlampd_exchanges_total{", at + 1)) {
      sum += std::stod(text.substr(text.find("} ", at) + 2));
    }
    return sum;
  };
  double before = lamptest::CpuSeconds(lampd.Pid());
  const double exchangesBefore = exchanges();
  Churn(probe, 10);
  const double alone = lamptest::CpuSeconds(lampd.Pid()) - before;
  const double perSecond = (exchanges() - exchangesBefore) / 10;
  int pages = 0;
  // Four hosts of five pages each: lampd gives one address 16 streams at the most.
  for (int i = 0; i < 20; ++i) {
    const int another = browser.Open("http://192.168.77." + std::to_string(1 + i % 4) + ":9730/");
    if (another >= 0 && browser.Until(another,
                                      "return document.getElementById('connection')"
                                      ".dataset.connection === 'live';",
                                      nullptr, 60000)) {
      ++pages;
    }
  }
  before = lamptest::CpuSeconds(lampd.Pid());
  Churn(probe, 10);
  const double watched = lamptest::CpuSeconds(lampd.Pid()) - before;

  const auto median = [](const std::vector<double>& values) {
    return values.empty() ? 1e9 : lampbench::Percentile(values, 0.5);
  };
  const auto p99 = [](const std::vector<double>& values) {
    return values.empty() ? 1e9 : lampbench::Percentile(values, 0.99);
  };
  std::printf("lampd's console, %d units polled every second\n", kUnits);
  std::printf("  the plant document: %.1f MB in %.2f s\n", plant.body.size() / 1e6, plantSeconds);
  const auto mark = [&](std::size_t i) {
    return marks.is_array() && marks.at(i).is_number() ? marks.at(i).get<double>() : -1.0;
  };
  std::printf(
      "  first full draw after load: %.2f s (goal 2 s); in the page: loaded at %.2f s,"
      " stream asked for at %.2f s, answered at %.2f s, the plant read at %.2f s and"
      " drawn at %.2f s\n",
      firstDraw, mark(2), mark(3), mark(4), mark(0), mark(1));
  std::printf(
      "  a change by MQTT, lampd's publish to the page: median %.1f ms, p99 %.1f ms over %zu"
      " (goal p99 100 ms)\n",
      median(afterPublish), p99(afterPublish), afterPublish.size());
  std::printf(
      "  a change at the unit to the page: median %.0f ms, p99 %.0f ms over %zu"
      " (goal p99 1200 ms)\n",
      median(afterChange), p99(afterChange), afterChange.size());
  std::printf(
      "  lampd's processor time over 10 s: %.2f s with no page, %.2f s with %d pages"
      " (%.2fx, goal 1.2x); %.0f exchanges a second\n",
      alone, watched, pages, watched / alone, perSecond);
  const bool met = firstDraw <= 2 && afterPublish.size() == 200 && p99(afterPublish) <= 100 &&
                   afterChange.size() == 20 && p99(afterChange) <= 1200 && pages == 20 &&
                   watched / alone <= 1.2;
  std::printf("goals %s\n", met ? "met" : "NOT met");
  return met ? 0 : 1;
}
