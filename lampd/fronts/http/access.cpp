#include "access.h"

#include <algorithm>

#include "lampd/core/state_document.h"

namespace lampd {
namespace {

using Clock = std::chrono::steady_clock;

HttpAnswer Refused(int status, const std::string& why) { return {status, Dump({{"error", why}})}; }

std::string_view HeaderOf(const HttpRequest& request, const std::string& name) {
  const auto found = request.headers.find(name);
  return found == request.headers.end() ? std::string_view() : std::string_view(found->second);
}

Json PersonJson(const Person& person) {
  return {{"name", person.name},
          {"role", std::string(RoleName(person.role))},
          {"groups", person.groups}};
}

// A password's hash of nobody's, checked when a name has none: a wrong
// name costs the time a wrong password does.
const std::string& NobodysHash() {
  static const std::string hash = PasswordHash("nobody's password");
  return hash;
}

}  // namespace

Access::Access(platform::EventLoop& loop, const HttpConfig& config, LogLimiter& log)
    : loop_(loop), config_(config), log_(log), checks_(loop, 8) {}

bool Access::Load(std::string& error) {
  std::vector<Person> people;
  if (!config_.usersFile.empty() && !ReadPeople(config_.usersFile, people, error)) return false;
  // The token file of old is one admin's line.
  if (!config_.token.empty()) {
    people.push_back({"token", Role::kAdmin, {}, TokenSecret(config_.token)});
  }
  people_ = std::move(people);
  return true;
}

void Access::Reload() {
  std::string error;
  if (!Load(error)) {
    Log("users file not read again, the people stay as they were: " + error);
    return;
  }
  std::size_t ended = 0;
  for (auto session = sessions_.begin(); session != sessions_.end();) {
    if (Named(session->second.name)) {
      ++session;
      continue;
    }
    session = sessions_.erase(session);
    ++ended;
  }
  Log("users file read again: " + std::to_string(people_.size()) + " line(s)" +
      (ended ? ", " + std::to_string(ended) + " session(s) of people no longer in it ended" : ""));
}

const Person* Access::Named(const std::string& name) const {
  const auto found = std::find_if(people_.begin(), people_.end(),
                                  [&](const Person& person) { return person.name == name; });
  return found == people_.end() ? nullptr : &*found;
}

std::string Access::SessionOf(const HttpRequest& request) const {
  // Cookie: a=b; lampd_session=VALUE; ...
  const std::string_view cookies = HeaderOf(request, "cookie");
  const std::string key = std::string(kCookie) + "=";
  std::size_t at = 0;
  while (at < cookies.size()) {
    while (at < cookies.size() && (cookies[at] == ' ' || cookies[at] == ';')) ++at;
    const std::size_t end = std::min(cookies.find(';', at), cookies.size());
    const std::string_view cookie = cookies.substr(at, end - at);
    if (cookie.starts_with(key)) return std::string(cookie.substr(key.size()));
    at = end;
  }
  return "";
}

Access::Identity Access::Identify(const HttpRequest& request) const {
  if (Open()) return {};
  const Clock::time_point now = Clock::now();
  if (!config_.proxyHeader.empty()) {
    const std::string_view named = HeaderOf(request, config_.proxyHeader);
    if (!named.empty()) {
      protocol::IpBytes peer{};
      const bool fromProxy =
          protocol::ParseIpv4(request.peer, peer) &&
          std::any_of(config_.proxyFrom.begin(), config_.proxyFrom.end(),
                      [&](const Network& network) { return network.Contains(peer); });
      if (!fromProxy) {
        return {std::nullopt, 403,
                "the " + config_.proxyHeader + " header is taken only from the configured proxies"};
      }
      if (const Person* person = Named(std::string(named))) return {*person, 0, ""};
      return {std::nullopt, 403,
              config_.proxyHeader + " names nobody in the users file: " + std::string(named)};
    }
  }
  if (const std::string_view given = HeaderOf(request, "authorization"); !given.empty()) {
    const std::string secret =
        given.starts_with("Bearer ") ? TokenSecret(std::string(given.substr(7))) : "";
    for (const Person& person : people_) {
      if (!secret.empty() && SameSecret(person.secret, secret)) return {person, 0, ""};
    }
    return {std::nullopt, 401, "that token is nobody's in the users file"};
  }
  if (const std::string value = SessionOf(request); !value.empty()) {
    const auto session = sessions_.find(value);
    if (session != sessions_.end() && session->second.ends > now) {
      if (const Person* person = Named(session->second.name)) return {*person, 0, ""};
    }
    return {std::nullopt, 401, "the session has ended: sign in again"};
  }
  return {std::nullopt, 401, "sign in, or send a token (Authorization: Bearer)"};
}

Failures& Access::Tally(std::map<std::string, Failures>& tallies, const std::string& key) {
  if (!tallies.contains(key) && tallies.size() >= kMostTallies) {
    // Room is made by the tally whose wait ends first (an ended one, mostly).
    tallies.erase(std::min_element(
        tallies.begin(), tallies.end(),
        [](const auto& a, const auto& b) { return a.second.until < b.second.until; }));
  }
  return tallies[key];
}

void Access::SignIn(const HttpRequest& request, std::function<void(HttpAnswer)> answer) {
  if (Open()) return answer(Refused(404, "lampd asks nobody to sign in: it has no users file"));
  const Json body = Json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.contains("name") || !body["name"].is_string() ||
      !body.contains("password") || !body["password"].is_string()) {
    return answer(Refused(400, "a sign-in is {\"name\": ..., \"password\": ...}"));
  }
  const std::string name = body["name"].get<std::string>();
  const std::string password = body["password"].get<std::string>();
  const Clock::time_point now = Clock::now();
  const Clock::duration wait =
      std::max(Tally(byAddress_, request.peer).Wait(now),
               PersonNameGood(name) ? Tally(byName_, name).Wait(now) : Clock::duration::zero());
  if (wait > Clock::duration::zero()) {
    ++held_;
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
    HttpAnswer later = Refused(429, "too many wrong passwords from " + request.peer + " or for " +
                                        name + ": try again in " + std::to_string(seconds) + " s");
    later.headers.emplace_back("Retry-After", std::to_string(seconds));
    return answer(std::move(later));
  }
  const Person* person = PersonNameGood(name) ? Named(name) : nullptr;
  const bool someone = person && person->secret.starts_with("$argon2");
  const std::string hash = someone ? person->secret : "";
  const bool queued = checks_.Run(
      [this, name, peer = request.peer, hash, password, someone, answer]() -> Background::Answer {
        // Nobody's hash is made here, off the loop, the first time it is needed.
        const bool good = PasswordMatches(someone ? hash : NobodysHash(), password) && someone;
        return [this, name, peer, good, answer] { Signed(name, peer, good, answer); };
      });
  if (!queued) answer(Refused(503, "too many sign-ins at once: try again"));
}

void Access::Signed(const std::string& name, const std::string& peer, bool good,
                    const std::function<void(HttpAnswer)>& answer) {
  const Clock::time_point now = Clock::now();
  const Person* person = good ? Named(name) : nullptr;  // (the file may have changed meanwhile)
  if (!person) {
    ++wrong_;
    Tally(byAddress_, peer).Failed(now);
    if (PersonNameGood(name)) Tally(byName_, name).Failed(now);
    log_.Say("sign-in", "a wrong name or password from " + peer +
                            (PersonNameGood(name) ? " for " + name : ""));
    return answer(Refused(401, "wrong name or password"));
  }
  ++signedIn_;
  byAddress_.erase(peer);
  byName_.erase(name);
  if (sessions_.size() >= kMostSessions) {
    // The session that would end first makes room.
    sessions_.erase(std::min_element(
        sessions_.begin(), sessions_.end(),
        [](const auto& a, const auto& b) { return a.second.ends < b.second.ends; }));
  }
  const std::string value = NewToken();
  sessions_[value] = {name, now + config_.session};
  log_.Say("sign-in", name + " signed in from " + peer);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(config_.session).count();
  HttpAnswer signedIn(200, Dump(PersonJson(*person)));
  signedIn.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + value +
                                                  "; Path=/; Max-Age=" + std::to_string(seconds) +
                                                  "; HttpOnly; SameSite=Strict" + Secure());
  answer(std::move(signedIn));
}

std::string Access::Secure() const {
  // Under HTTPS the browser never sends the session over plain HTTP.
  return config_.tlsCertificate.empty() ? "" : "; Secure";
}

HttpAnswer Access::SignOut(const HttpRequest& request) {
  if (const std::string value = SessionOf(request); !value.empty()) sessions_.erase(value);
  HttpAnswer out(200, Dump({{"signed_out", true}}));
  out.headers.emplace_back(
      "Set-Cookie",
      std::string(kCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" + Secure());
  return out;
}

void Access::WriteMetrics(MetricsText& out) const {
  out.Family("lampd_http_sign_ins_total", "counter",
             "Sign-ins to the console and the API, by outcome (held: too many wrong before).");
  out.Sample("lampd_http_sign_ins_total", {{"outcome", "good"}}, static_cast<double>(signedIn_));
  out.Sample("lampd_http_sign_ins_total", {{"outcome", "wrong"}}, static_cast<double>(wrong_));
  out.Sample("lampd_http_sign_ins_total", {{"outcome", "held"}}, static_cast<double>(held_));
  out.Family("lampd_http_sessions", "gauge", "Sessions signed in.");
  out.Sample("lampd_http_sessions", {}, static_cast<double>(sessions_.size()));
}

}  // namespace lampd
