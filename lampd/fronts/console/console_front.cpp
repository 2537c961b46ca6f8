// The operator console's side of lampd: its page (built into the program),
// the whole plant as one document, a stream of each unit's changes to every
// open page, and its commands, which go through the one command path with
// origin "web". Units other instances serve are shown from their retained
// states, marked with the instance; a unit whose instance is offline is
// shown offline, never as if it were live.
#include "console_front.h"

#include <chrono>

#include "console_files.h"
#include "lampd/core/time_text.h"
#include "protocol/sound_catalogue.h"
#include "protocol/text_format.h"

namespace lampd {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kMostIdsAtOnce = 500;
constexpr std::size_t kEventsKept = 8;            // a unit's last events, for its panel
constexpr std::size_t kMostConsoleEvents = 1000;  // waiting for the pages' next write
constexpr auto kTickEvery = 10s;   // the page counts silence longer than this as a lost stream
constexpr auto kGatherFor = 20ms;  // changes in this time go out as one write to each page

// Only lampd's own origin: no inline script or style, no other site.
const std::vector<std::pair<std::string, std::string>> kPageHeaders = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src "
     "'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-cache"},
};

std::int64_t WallMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(WallClock::now().time_since_epoch())
      .count();
}

std::string Event(std::string_view name, const std::string& data) {
  return "event: " + std::string(name) + "\ndata: " + data + "\n\n";
}

}  // namespace

ConsoleFront::ConsoleFront(platform::EventLoop& loop, const Config& config, Plant& plant,
                           HttpFront& http)
    : loop_(loop), config_(config), plant_(plant), http_(http) {}

ConsoleFront::~ConsoleFront() {
  loop_.Cancel(gatherTimer_);
  loop_.Cancel(tickTimer_);
}

void ConsoleFront::Start() {
  http_.Handle([this](const HttpRequest& request, const HttpFront::Answer& answer) {
    if (Serve(request, answer)) return true;
    if (!request.path.starts_with("/api/console/")) return false;
    OnCommand(request, answer);
    return true;
  });
  Tick();
}

bool ConsoleFront::Serve(const HttpRequest& request, const HttpFront::Answer& answer) {
  const std::string& path = request.path;
  std::string_view name;
  if (path == "/") {
    name = "index.html";
  } else if (path.starts_with("/console/")) {
    name = std::string_view(path).substr(9);
  } else if (path == "/api/plant" || path == "/api/stream") {
    if (request.method != "GET") {
      answer(JsonAnswer(405, {{"error", request.method + " is not served on " + path}}));
      return true;
    }
    if (path == "/api/stream" && !http_.Server().MayStream(request.peer)) {
      // Told before the whole plant is made for a stream that would not be taken.
      answer(JsonAnswer(503, {{"error",
                               "lampd serves as many streams as it takes, or as many "
                               "as this address may hold; try again later"}}));
      return true;
    }
    if (path == "/api/plant") {
      HttpAnswer whole{200, ""};
      whole.shared = SharedPlant();
      answer(std::move(whole));
    } else {
      HttpAnswer stream{200, "", "text/event-stream"};
      stream.shared = SharedPlantEvent();
      stream.stream = true;
      stream.headers = {{"Cache-Control", "no-store"}};
      answer(std::move(stream));
    }
    return true;
  } else {
    return false;
  }
  // Only the files the console is made of: no path reaches anything else.
  for (const ConsoleFile& file : ConsoleFiles()) {
    if (file.name != name || name.empty()) continue;
    if (request.method != "GET") {
      answer(JsonAnswer(405, {{"error", request.method + " is not served on " + path}}));
    } else {
      answer({200, std::string(file.body), std::string(file.contentType), kPageHeaders});
    }
    return true;
  }
  answer(JsonAnswer(404, {{"error", "no such resource: " + path}}));
  return true;
}

std::optional<Json> ConsoleFront::Unit(const std::string& id) const {
  std::optional<Json> state = plant_.View(id);
  if (!state) return std::nullopt;
  std::optional<protocol::MacBytes> mac;
  protocol::MacBytes bytes{};
  if (protocol::ParseMac(TextOf(*state, "mac"), bytes)) mac = bytes;
  auto groups = GroupsOf(config_.groups, id, mac, TextOf(*state, "address"));
  const auto look = plant_.Look(id);
  if (look && look->servedHere) {
    Json changes = Json::array();
    if (const auto kept = changes_.find(id); kept != changes_.end()) {
      for (const Json& change : kept->second) changes.push_back(change);
    }
    (*state)["changes"] = std::move(changes);
    (*state)["groups"] = std::move(groups);
  } else if (!groups.empty()) {
    (*state)["groups"] = std::move(groups);
  }
  return state;
}

std::string ConsoleFront::PlantDocument() {
  std::string units;
  for (const std::string& id : plant_.Ids()) {
    auto cached = cache_.find(id);
    if (cached == cache_.end()) {
      const auto state = Unit(id);
      if (!state) continue;
      cached = cache_.emplace(id, Dump(*state)).first;
    }
    units += units.empty() ? "" : ",";
    units += cached->second;
  }
  Json sounds = Json::object();
  for (int model = 0; model < protocol::kModelCount; ++model) {
    Json names = Json::array();
    for (int sound = 1; sound <= protocol::kSoundsPerModel; ++sound) {
      names.push_back(std::string(protocol::SoundNameOf(model, sound)));
    }
    sounds[std::to_string(model)] = names;
  }
  Json groups = Json::object();
  for (const GroupConfig& group : config_.groups) groups[group.name] = group.ids;
  // Each unit's text is kept until it changes: a page that opens costs
  // lampd the joining of them, not the writing of every unit again.
  std::string document = Dump({{"instance", config_.name},
                               {"now", WallMilliseconds()},
                               {"sounds", sounds},
                               {"groups", groups},
                               {"units", Json::array()}});
  document.insert(document.size() - 2, units);
  return document;
}

std::shared_ptr<const std::string> ConsoleFront::SharedPlantEvent() {
  // A stream's start: one text for every page that opens before a change.
  const std::shared_ptr<const std::string> plant = SharedPlant();
  if (!plantEvent_ || plantEventOf_ != plant) {
    plantEvent_ =
        std::make_shared<const std::string>(Event("plant", plant->substr(0, plant->size() - 1)));
    plantEventOf_ = plant;
  }
  return plantEvent_;
}

std::shared_ptr<const std::string> ConsoleFront::SharedPlant() {
  // Made again after any change, or a second on (its "now"); pages that ask
  // meanwhile share one text.
  const auto now = std::chrono::steady_clock::now();
  if (!plantText_ || now - plantMade_ >= std::chrono::seconds(1)) {
    plantText_ = std::make_shared<const std::string>(PlantDocument() + "\n");
    plantMade_ = now;
  }
  return plantText_;
}

void ConsoleFront::OnEvent(const Json& line, const std::string& /*text*/) {
  const std::string id = TextOf(line, "unit");
  if (!id.empty()) {
    // Kept for units served here only: events may name any id a stranger sends.
    if (const auto look = plant_.Look(id); look && look->servedHere) {
      auto& kept = changes_[id];
      kept.push_back(line);
      if (kept.size() > kEventsKept) kept.pop_front();
    }
  }
  if (http_.Server().Streams() == 0) return;
  if (events_.size() < kMostConsoleEvents) events_.push_back(line);
  OnUnitChanged(id);
}

void ConsoleFront::OnUnitChanged(const std::string& id) {
  cache_.erase(id);
  plantText_.reset();
  if (http_.Server().Streams() == 0) return;
  if (!id.empty()) dirty_.insert(id);
  if (gatherTimer_ != 0) return;
  gatherTimer_ = loop_.After(kGatherFor, [this] {
    gatherTimer_ = 0;
    std::string events;
    for (const std::string& dirty : dirty_) {
      if (const auto state = Unit(dirty)) {
        const std::string& text = cache_[dirty] = Dump(*state);
        events += Event("unit", text);
      } else {
        events += Event("gone", Dump({{"id", dirty}}));
      }
    }
    dirty_.clear();
    for (const Json& line : events_) events += Event("event", Dump(line));
    events_.clear();
    http_.Server().Broadcast(events);
  });
}

void ConsoleFront::Tick() {
  tickTimer_ = loop_.After(kTickEvery, [this] {
    http_.Server().Broadcast(Event("tick", Dump({{"now", WallMilliseconds()}})));
    Tick();
  });
}

void ConsoleFront::OnCommand(const HttpRequest& request, HttpFront::Answer answer) {
  const std::string& path = request.path;
  const auto refuse = [&](int status, const std::string& why) {
    plant_.Refuse(Origin::kWeb, "", false, why, request.peer);
    answer(JsonAnswer(status, {{"error", why}}));
  };
  if (path == "/api/console/units") {
    if (request.method != "POST") return refuse(405, request.method + " is not served on " + path);
    // {"ids": [...], and a command's keys}: one command to each.
    Json body = Json::parse(request.body, nullptr, false);
    const auto ids = body.is_object() ? body.find("ids") : body.end();
    if (ids == body.end() || !ids->is_array() || ids->size() > kMostIdsAtOnce) {
      return refuse(400, "a list of at most " + std::to_string(kMostIdsAtOnce) +
                             " unit ids is needed as \"ids\"");
    }
    std::vector<std::string> names;
    for (const Json& id : *ids) {
      if (!id.is_string()) return refuse(400, "\"ids\" holds unit ids, as strings");
      names.push_back(id.get<std::string>());
    }
    body.erase("ids");
    Command command;
    std::string why;
    if (!ParseCommand(Dump(body), "console", command, why)) return refuse(400, why);
    struct Gathering {
      Json answered = Json::array(), failed = Json::array();
      std::set<std::string> passed;
      std::size_t left = 0;
      std::function<void(HttpAnswer)> answer;
    };
    // Many units at once: all or none, as the person may.
    std::vector<Request> requests;
    for (const std::string& name : names) {
      Request one;
      one.name = name;
      one.command = command;
      one.origin = Origin::kWeb;
      one.client = request.peer;
      if (request.person) {
        one.person = request.person->name;
        if (one.command.ack) one.command.ack->first = request.person->name;
        // More than one is a supervisor's (as a group is), one an operator's.
        if (names.size() > 1) {
          one.target = Request::Target::kAll;
          const std::string why = http_.Refusal(one, request.person);
          one.target = Request::Target::kUnit;
          if (!why.empty()) return answer(JsonAnswer(403, {{"error", why}}));
        }
        if (const std::string why = http_.Refusal(one, request.person); !why.empty()) {
          return answer(JsonAnswer(403, {{"error", why}}));
        }
      }
      requests.push_back(std::move(one));
    }
    auto gathering = std::make_shared<Gathering>();
    gathering->left = names.size() + 1;
    gathering->answer = std::move(answer);
    const auto finish = [gathering] {
      if (--gathering->left > 0) return;
      gathering->answer(JsonAnswer(200, {{"units", gathering->answered},
                                         {"failed", gathering->failed},
                                         {"passed_to", gathering->passed}}));
    };
    for (Request& one : requests) {
      const std::string name = one.name;
      plant_.Submit(std::move(one), [gathering, finish, name](Outcome outcome) {
        if (outcome.refusal != Outcome::Refusal::kNone) {
          gathering->failed.push_back({{"id", name}, {"error", outcome.why}});
        }
        for (Json& state : outcome.answered) gathering->answered.push_back(std::move(state));
        for (const auto& [id, why] : outcome.failed) {
          gathering->failed.push_back({{"id", id}, {"error", why}});
        }
        gathering->passed.insert(outcome.passedTo.begin(), outcome.passedTo.end());
        finish();
      });
    }
    return finish();
  }
  Request command;
  const bool ack = path.starts_with("/api/console/units/") && path.ends_with("/ack");
  if (ack && path.size() > 23) {
    if (request.method != "POST") return refuse(405, request.method + " is not served on " + path);
    command.name = path.substr(19, path.size() - 23);
  } else if (path.starts_with("/api/console/units/") && path.size() > 19) {
    if (request.method != "PUT") return refuse(405, request.method + " is not served on " + path);
    command.name = path.substr(19);
  } else if (path.starts_with("/api/console/groups/") && path.size() > 20) {
    if (request.method != "POST") return refuse(405, request.method + " is not served on " + path);
    command.target = Request::Target::kGroup;
    command.name = path.substr(20);
  } else {
    return answer(JsonAnswer(404, {{"error", "no such resource: " + path}}));
  }
  if (command.name.find('/') != std::string::npos) {
    return answer(JsonAnswer(404, {{"error", "no such resource: " + path}}));
  }
  std::string why;
  if (ack ? !ParseAck(request.body, command.command, why)
          : !ParseCommand(request.body, "console", command.command, why)) {
    return refuse(400, why);
  }
  command.origin = Origin::kWeb;
  command.client = request.peer;
  http_.Command(std::move(command), request.person, std::move(answer));
}

}  // namespace lampd
