#include "etcd_claims.h"

#include <algorithm>
#include <random>

#include "lampd/core/state_file.h"
#include "ownership.h"

namespace lampd {

using namespace std::chrono_literals;

namespace {

constexpr auto kCallTime = 2s;  // a transaction or a range, at the most
constexpr auto kRetry = 1s;     // after etcd did not answer
// Units taken in one transaction, at the most: its puts and reads stay
// within etcd's 128 operations a transaction.
constexpr std::size_t kTakenAtOnce = 64;

// etcd's 64-bit numbers come as text in its JSON.
std::int64_t Int64Of(const Json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) return 0;
  if (found->is_number_integer()) return found->get<std::int64_t>();
  if (!found->is_string()) return 0;
  try {
    return std::stoll(found->get<std::string>());
  } catch (...) {
    return 0;
  }
}

std::string Decoded(const Json& kv, const char* key) {
  std::string bytes;
  if (!kv.contains(key) || !kv[key].is_string() || !FromBase64(kv[key].get<std::string>(), bytes)) {
    return "";
  }
  return bytes;
}

std::set<std::string> WithThis(std::set<std::string> instances, const std::string& name) {
  instances.insert(name);
  return instances;
}

std::string SecondsText(SteadyClock::duration duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(duration).count());
  return text;
}

}  // namespace

EtcdClaims::EtcdClaims(platform::EventLoop& loop, const Config& config, LogLimiter& log,
                       ClaimedUnits& units)
    : loop_(loop),
      config_(config),
      log_(log),
      units_(units),
      etcd_(loop,
            EtcdOptions{config.cluster.etcd, config.cluster.caFile, config.cluster.certFile,
                        config.cluster.keyFile, config.cluster.username, config.cluster.password}),
      fence_(lampd::Fence(config.cluster.lease, config.fleet.timeout)),
      session_(std::to_string(std::random_device{}()) + std::to_string(std::random_device{}())),
      theirStates_(log, [&units](const std::string& id) { units.Changed(id); }) {}

EtcdClaims::~EtcdClaims() {
  for (const auto timer : {keepTimer_, fenceTimer_, retryTimer_}) loop_.Cancel(timer);
  for (const auto& [id, timer] : later_) loop_.Cancel(timer);
}

std::string EtcdClaims::Key(const std::string& kind, const std::string& name) const {
  return config_.cluster.prefix + kind + "/" + name;
}

bool EtcdClaims::Start(MqttFront& bus, std::string& error) {
  bus_ = &bus;
  if (!etcd_.Start(error)) return false;
  Log("etcd: ownership of the units held at " + config_.cluster.etcd.front() + " (" +
      std::to_string(config_.cluster.etcd.size()) + " member(s)) under a lease of " +
      SecondsText(config_.cluster.lease) + "; frames go while a keep-alive is at most " +
      SecondsText(fence_) + " old");
  Grant();
  return true;
}

void EtcdClaims::Stop() {
  loop_.Cancel(keepTimer_);
  keepTimer_ = 0;
  if (lease_.empty()) return;
  // Whoever reaches the units takes them at once, not after a lease.
  std::string why;
  if (!etcd_.CallNow("/v3/lease/revoke", {{"ID", lease_}}, 1s, why)) {
    Log("etcd: the lease could not be given back (" + why + "); its units go to others after " +
        SecondsText(config_.cluster.lease));
  }
  lease_.clear();
  held_.clear();
}

void EtcdClaims::Failing(const std::string& why) {
  if (failing_ != why) log_.Say("etcd", why);
  failing_ = why;
}

bool EtcdClaims::Sure(SteadyClock::time_point now) const {
  return !lease_.empty() && sure_ && now - confirmedSent_ < fence_;
}

bool EtcdClaims::MayDrive(const std::string& id) const {
  const auto held = held_.find(id);
  return held != held_.end() && !held->second.leaving && Sure(SteadyClock::now());
}

void EtcdClaims::Grant() {
  retryTimer_ = 0;
  const auto sent = SteadyClock::now();
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(config_.cluster.lease).count();
  etcd_.Call(
      "/v3/lease/grant", {{"TTL", seconds}}, kCallTime,
      [this, sent](const std::string& error, const Json& body) {
        const std::string lease = error.empty() ? body.value("ID", "") : "";
        if (lease.empty()) {
          Failing(error.empty() ? "etcd: granted no lease" : error);
          retryTimer_ = loop_.After(kRetry, [this] { Grant(); });
          return;
        }
        lease_ = lease;
        Confirmed(sent);
        // This instance's key says it is online while its lease lives.
        etcd_.Call("/v3/kv/put",
                   {{"key", Base64(Key("instances", config_.name))},
                    {"value", Base64(config_.name)},
                    {"lease", lease_}},
                   kCallTime, [this](const std::string& error, const Json&) {
                     if (!error.empty()) Failing(error);
                   });
        Resync();
        loop_.Cancel(keepTimer_);
        keepTimer_ = loop_.After(config_.cluster.lease / 3, [this] { KeepAlive(); });
      },
      true);
}

void EtcdClaims::KeepAlive() {
  keepTimer_ = loop_.After(config_.cluster.lease / 3, [this] { KeepAlive(); });
  if (lease_.empty()) return;
  const auto sent = SteadyClock::now();
  etcd_.Call(
      "/v3/lease/keepalive", {{"ID", lease_}}, config_.cluster.lease / 3,
      [this, sent, lease = lease_](const std::string& error, const Json& body) {
        if (lease != lease_) return;  // given up already
        if (!error.empty()) return Failing(error);
        const Json& result = body.contains("result") ? body["result"] : body;
        if (Int64Of(result, "TTL") <= 0) {
          return LeaseLost("etcd: this instance's lease has ended");
        }
        Confirmed(sent);
      },
      true);
}

void EtcdClaims::Confirmed(SteadyClock::time_point sent) {
  if (!failing_.empty()) {
    Log("etcd: reached again at " + etcd_.Endpoint());
    failing_.clear();
  }
  confirmedSent_ = std::max(confirmedSent_, sent);
  loop_.Cancel(fenceTimer_);
  fenceTimer_ = loop_.At(confirmedSent_ + fence_, [this] { Unsure(); });
  if (sure_) return;
  sure_ = true;
  // The keys held through a time unsure are this instance's still: nobody
  // could take them, so its units are served again, nothing lost.
  for (const auto& [id, held] : held_) {
    if (!held.leaving && units_.StandingOf(id) != ClaimedUnits::Standing::kServing) {
      units_.Serve(id, "", nullptr);
    }
  }
}

void EtcdClaims::Unsure() {
  fenceTimer_ = 0;
  sure_ = false;
  ++fenced_;
  Log("etcd: no keep-alive confirmed for " + SecondsText(SteadyClock::now() - confirmedSent_) +
      ": this instance stops driving its " + std::to_string(held_.size()) +
      " unit(s) until etcd confirms its lease" + (failing_.empty() ? "" : " (" + failing_ + ")"));
  for (const auto& [id, held] : held_) {
    if (units_.StandingOf(id) == ClaimedUnits::Standing::kServing) units_.Yield(id, "");
  }
}

void EtcdClaims::LeaseLost(const std::string& why) {
  ++lost_;
  Log(why + ": its " + std::to_string(held_.size()) +
      " unit(s) are left to whoever takes them; a new lease is asked for");
  std::map<std::string, Held> held = std::move(held_);
  held_.clear();
  lease_.clear();
  sure_ = false;
  loop_.Cancel(fenceTimer_);
  fenceTimer_ = 0;
  for (const auto& [id, unit] : held) {
    Release(id);
    if (holders_[id] == config_.name) holders_.erase(id);
    if (units_.StandingOf(id) == ClaimedUnits::Standing::kServing) units_.Yield(id, "");
  }
  Grant();
}

void EtcdClaims::Resync() {
  retryTimer_ = 0;
  const std::string owners = Key("owners", ""), instances = Key("instances", "");
  const Json ranges = {
      {"success",
       {{{"request_range", {{"key", Base64(owners)}, {"range_end", Base64(PrefixEnd(owners))}}}},
        {{"request_range",
          {{"key", Base64(instances)}, {"range_end", Base64(PrefixEnd(instances))}}}}}}};
  etcd_.Call(
      "/v3/kv/txn", ranges, kCallTime, [this, owners](const std::string& error, const Json& body) {
        if (!error.empty()) {
          Failing(error);
          if (retryTimer_ == 0) retryTimer_ = loop_.After(kRetry, [this] { Resync(); });
          return;
        }
        const auto responses = body.value("responses", Json::array());
        if (responses.size() != 2) return Failing("etcd: a range answered in a shape not known");
        std::map<std::string, std::string> holders;
        std::map<std::string, std::int64_t> ours;
        for (const Json& kv : responses[0]["response_range"].value("kvs", Json::array())) {
          const std::string id = Decoded(kv, "key").substr(owners.size());
          const std::string holder = Decoded(kv, "value");
          holders[id] = holder;
          if (holder == config_.name && kv.value("lease", "") == lease_) {
            ours[id] = Int64Of(kv, "create_revision");
          }
        }
        instances_.clear();
        for (const Json& kv : responses[1]["response_range"].value("kvs", Json::array())) {
          instances_.insert(Decoded(kv, "value"));
        }
        LetUnreachedGo();
        // Keys this instance held that are gone; keys it took whose answer was lost.
        for (auto it = held_.begin(); it != held_.end();) {
          if (ours.contains(it->first)) {
            ++it;
            continue;
          }
          const std::string id = it->first;
          it = held_.erase(it);
          Release(id);
          if (units_.StandingOf(id) == ClaimedUnits::Standing::kServing) {
            units_.Yield(id, holders.contains(id) ? holders[id] : "");
          }
        }
        for (const auto& [id, created] : ours) {
          if (held_.emplace(id, Held{created}).second && Sure(SteadyClock::now())) {
            units_.Serve(id, "", nullptr);
          }
        }
        holders_ = std::move(holders);
        const std::int64_t revision = Int64Of(body.value("header", Json::object()), "revision");
        Watch("owners", revision + 1);
        Watch("instances", revision + 1);
        for (const std::string& id : units_.Reached()) Consider(id);
      });
}

void EtcdClaims::Watch(const std::string& what, std::int64_t from) {
  if (const auto running = watches_.find(what); running != watches_.end()) {
    etcd_.Cancel(running->second);
    watches_.erase(running);
  }
  const std::string prefix = Key(what, "");
  const Json request = {{"create_request",
                         {{"key", Base64(prefix)},
                          {"range_end", Base64(PrefixEnd(prefix))},
                          {"start_revision", std::to_string(from)}}}};
  watches_[what] = etcd_.Stream(
      "/v3/watch", request,
      [this, what, prefix](const Json& message) {
        const Json result = message.value("result", Json::object());
        if (result.value("canceled", false)) {
          // Compacted past what it asked for: read whole again.
          if (retryTimer_ == 0) retryTimer_ = loop_.After(0ms, [this] { Resync(); });
          return;
        }
        for (const Json& event : result.value("events", Json::array())) {
          const Json kv = event.value("kv", Json::object());
          const std::string name = Decoded(kv, "key").substr(prefix.size());
          const bool deleted = event.value("type", "PUT") == "DELETE";
          if (what == "owners") {
            OnOwnerKey(name, Decoded(kv, "value"), deleted);
          } else if (deleted) {
            instances_.erase(name);
          } else {
            instances_.insert(Decoded(kv, "value"));
            LetUnreachedGo();
          }
        }
      },
      [this, what](const std::string& error, const Json&) {
        watches_.erase(what);
        Failing(error);
        if (retryTimer_ == 0) retryTimer_ = loop_.After(kRetry, [this] { Resync(); });
      });
}

void EtcdClaims::OnOwnerKey(const std::string& id, const std::string& holder, bool deleted) {
  if (deleted) {
    holders_.erase(id);
    if (held_.erase(id) > 0) {
      Release(id);
      log_.Say("etcd",
               "unit " + id + ": this instance's key for it is gone; left to whoever takes it");
      if (units_.StandingOf(id) == ClaimedUnits::Standing::kServing) units_.Yield(id, "");
    }
  } else {
    holders_[id] = holder;
    if (holder != config_.name && held_.erase(id) > 0) {
      Release(id);
      if (units_.StandingOf(id) == ClaimedUnits::Standing::kServing) units_.Yield(id, holder);
    }
  }
  units_.Changed(id);
  Consider(id);
}

bool EtcdClaims::Preferred(const std::string& id) const {
  for (const std::string& preferred : config_.cluster.prefer) {
    if (preferred == id) return true;
    if (preferred.starts_with("group:") && units_.Member(id, preferred.substr(6))) return true;
  }
  return false;
}

void EtcdClaims::Reach(const std::string& id) { Consider(id); }

void EtcdClaims::Consider(const std::string& id) {
  const ClaimedUnits::Standing standing = units_.StandingOf(id);
  if (standing == ClaimedUnits::Standing::kUnknown) return;
  const auto holder = holders_.find(id);
  if (holder != holders_.end()) {
    if (holder->second != config_.name && standing != ClaimedUnits::Standing::kStandby) {
      units_.Yield(id, holder->second);
    }
    return;  // held: it moves only when its holder's key goes
  }
  const auto now = SteadyClock::now();
  if (!Sure(now) || taking_.contains(id)) return;
  const auto letGo = letGo_.find(id);
  const bool waiting = letGo != letGo_.end() && letGo->second.until > now;
  if (!waiting &&
      (Preferred(id) || FirstFor(WithThis(instances_, config_.name), id) == config_.name)) {
    return Take(id);
  }
  // Another instance ranks first: it has a lease to take the unit (and
  // longer, when this one did not reach it).
  if (later_.contains(id)) return;
  const SteadyClock::duration wait =
      waiting ? std::max<SteadyClock::duration>(letGo->second.until - now, config_.cluster.lease)
              : config_.cluster.lease;
  later_[id] = loop_.After(wait, [this, id] {
    later_.erase(id);
    if (!holders_.contains(id) && Sure(SteadyClock::now()) && !taking_.contains(id)) Take(id);
  });
}

void EtcdClaims::Answers(const std::string& id, bool online) {
  if (online) {
    unreached_.erase(id);
    letGo_.erase(id);  // it answers here: no longer waited for
    return;
  }
  unreached_.insert(id);
  if (instances_.size() > 1) LetGo(id);
}

void EtcdClaims::LetUnreachedGo() {
  if (instances_.size() < 2) return;
  const std::set<std::string> unreached = unreached_;
  for (const std::string& id : unreached) LetGo(id);
}

void EtcdClaims::LetGo(const std::string& id) {
  const auto held = held_.find(id);
  if (held == held_.end() || held->second.leaving || !Sure(SteadyClock::now())) return;
  held->second.leaving = true;
  unreached_.erase(id);
  ++letGoCount_;
  // Not answering since it was last let go here: it waits twice as long.
  const auto again = letGo_.find(id);
  const SteadyClock::duration wait =
      again == letGo_.end() ? 2 * config_.cluster.lease
                            : std::min<SteadyClock::duration>(again->second.wait * 2, 60s);
  letGo_[id] = {SteadyClock::now() + wait, wait};
  if (units_.StandingOf(id) == ClaimedUnits::Standing::kServing) units_.Yield(id, "");
  log_.Say("etcd", "unit " + id + ": does not answer here; let go for an instance that reaches it" +
                       " (not taken here again for " + SecondsText(wait) + ")");
  // What it was told is kept first, then the key goes: whoever takes it finds all.
  AfterKept(id, [this, id] {
    const auto leaving = held_.find(id);
    if (leaving == held_.end() || !leaving->second.leaving) return;  // gone meanwhile
    const std::string key = Base64(Key("owners", id));
    const Json request = {{"compare",
                           {{{"key", key},
                             {"target", "CREATE"},
                             {"create_revision", std::to_string(leaving->second.created)}}}},
                          {"success", {{{"request_delete_range", {{"key", key}}}}}}};
    held_.erase(leaving);
    Release(id);
    etcd_.Call("/v3/kv/txn", request, kCallTime, [this](const std::string& error, const Json&) {
      if (error.empty()) return;
      // Gone with the lease in the end, or read again and let go then.
      Failing(error);
      if (retryTimer_ == 0) retryTimer_ = loop_.After(kRetry, [this] { Resync(); });
    });
  });
}

void EtcdClaims::Take(const std::string& id) {
  // Taken a batch a transaction: an instance gone leaves hundreds free at once.
  taking_.insert(id);
  toTake_.push_back(id);
  if (toTake_.size() == 1) loop_.After(0ms, [this] { TakeQueued(); });
}

void EtcdClaims::TakeQueued() {
  while (!toTake_.empty()) {
    const std::size_t count = std::min(toTake_.size(), kTakenAtOnce);
    std::vector<std::string> batch(toTake_.begin(), toTake_.begin() + count);
    toTake_.erase(toTake_.begin(), toTake_.begin() + count);
    TakeBatch(std::move(batch));
  }
}

void EtcdClaims::TakeBatch(std::vector<std::string> ids) {
  Json compare = Json::array(), success = Json::array();
  for (const std::string& id : ids) {
    const std::string key = Base64(Key("owners", id));
    compare.push_back({{"key", key}, {"target", "CREATE"}, {"create_revision", "0"}});
    success.push_back(
        {{"request_put", {{"key", key}, {"value", Base64(config_.name)}, {"lease", lease_}}}});
  }
  for (const std::string& id : ids) {
    success.push_back({{"request_range", {{"key", Base64(Key("signals", id))}}}});
  }
  // Failed, it says who holds each: the free ones are taken again together.
  Json failure = Json::array();
  for (const std::string& id : ids) {
    failure.push_back({{"request_range", {{"key", Base64(Key("owners", id))}}}});
  }
  const Json request = {{"compare", compare}, {"success", success}, {"failure", failure}};
  etcd_.Call("/v3/kv/txn", request, kCallTime,
             [this, ids, lease = lease_](const std::string& error, const Json& body) {
               for (const std::string& id : ids) taking_.erase(id);
               if (!error.empty()) {
                 // They may have been taken all the same: the keys are read again.
                 Failing(error);
                 if (retryTimer_ == 0) retryTimer_ = loop_.After(kRetry, [this] { Resync(); });
                 return;
               }
               if (lease != lease_) return;
               const auto responses = body.value("responses", Json::array());
               if (!body.value("succeeded", false)) {
                 // Some are held already (instances started at once): the
                 // rest are considered again, and taken in one batch.
                 for (std::size_t i = 0; i < ids.size() && i < responses.size(); ++i) {
                   const Json kvs = responses[i]["response_range"].value("kvs", Json::array());
                   if (!kvs.empty()) holders_[ids[i]] = Decoded(kvs[0], "value");
                 }
                 for (const std::string& id : ids) Consider(id);
                 return;
               }
               const std::int64_t revision =
                   Int64Of(body.value("header", Json::object()), "revision");
               for (std::size_t i = 0; i < ids.size(); ++i) {
                 const std::size_t range = ids.size() + i;
                 Took(ids[i], revision,
                      range < responses.size()
                          ? responses[range]["response_range"].value("kvs", Json::array())
                          : Json::array());
               }
             });
}

void EtcdClaims::Took(const std::string& id, std::int64_t revision, const Json& kept) {
  held_[id] = Held{revision};
  holders_[id] = config_.name;
  unreached_.erase(id);
  ++takes_;
  // What the plant was told of it, as its last owner kept it.
  std::string from;
  SavedSignals saved;
  if (!kept.empty()) {
    const Json document = Json::parse(Decoded(kept[0], "value"), nullptr, false);
    from = TextOf(document, "by");
    const std::string signals = TextOf(document, "signals");
    // What etcd holds now: nothing to write again until it changes.
    Keeping& keeping = keeping_[id];
    if (!keeping.writing) keeping.text = keeping.written = signals;
    if (TextOf(document, "session") == session_ ||
        !ParseSignals(signals, ClockPair::Now(), saved)) {
      from.clear();
    }
  }
  const auto signals = saved.units.find(id);
  log_.Say("etcd", "unit " + id + ": taken" +
                       (from.empty() ? "" : ", with what instance " + from + " kept"));
  if (Sure(SteadyClock::now())) {
    units_.Serve(id, from, signals == saved.units.end() ? nullptr : &signals->second);
  }
  units_.Changed(id);
}

void EtcdClaims::Keep(const std::string& id, const UnitSignals& signals) {
  if (!held_.contains(id)) return;
  SavedSignals saved;
  saved.units.emplace(id, signals);
  Keeping& keeping = keeping_[id];
  keeping.text = SignalsText(saved, ClockPair::Now());
  if (keeping.text == keeping.written || keeping.writing) return;
  Write(id);
}

void EtcdClaims::AfterKept(const std::string& id, std::function<void()> then) {
  const auto keeping = keeping_.find(id);
  if (keeping == keeping_.end() || keeping->second.text == keeping->second.written) return then();
  keeping->second.waiting.push_back(std::move(then));
}

void EtcdClaims::Release(const std::string& id) {
  const auto keeping = keeping_.find(id);
  if (keeping == keeping_.end()) return;
  std::vector<std::function<void()>> waiting = std::move(keeping->second.waiting);
  keeping->second.waiting.clear();
  if (!held_.contains(id)) keeping_.erase(keeping);
  for (const auto& then : waiting) then();
}

void EtcdClaims::Write(const std::string& id) {
  const auto held = held_.find(id);
  Keeping& keeping = keeping_[id];
  if (held == held_.end()) return Release(id);
  keeping.writing = true;
  const std::string text = keeping.text;
  // Written only while the key this instance created holds the unit.
  const Json request = {
      {"compare",
       {{{"key", Base64(Key("owners", id))},
         {"target", "CREATE"},
         {"create_revision", std::to_string(held->second.created)}}}},
      {"success",
       {{{"request_put",
          {{"key", Base64(Key("signals", id))},
           {"value",
            Base64(Dump({{"by", config_.name}, {"session", session_}, {"signals", text}}))}}}}}}};
  etcd_.Call("/v3/kv/txn", request, kCallTime,
             [this, id, text](const std::string& error, const Json& body) {
               const auto found = keeping_.find(id);
               if (found == keeping_.end()) return;
               found->second.writing = false;
               if (!error.empty()) {
                 Failing(error);
                 loop_.After(kRetry, [this, id] {
                   if (const auto again = keeping_.find(id);
                       again != keeping_.end() && !again->second.writing) {
                     Write(id);
                   }
                 });
                 return;
               }
               if (!body.value("succeeded", false)) {
                 log_.Say(
                     "etcd",
                     "unit " + id + ": what it was told not kept: this instance holds it no more");
                 held_.erase(id);
                 if (units_.StandingOf(id) == ClaimedUnits::Standing::kServing) {
                   units_.Yield(id, "");
                 }
                 Release(id);
                 if (retryTimer_ == 0) retryTimer_ = loop_.After(0ms, [this] { Resync(); });
                 return;
               }
               found->second.written = text;
               if (found->second.text != text) return Write(id);
               Release(id);
             });
}

std::string EtcdClaims::ServedElsewhereBy(const std::string& id) const {
  const auto holder = holders_.find(id);
  return holder == holders_.end() || holder->second == config_.name ? "" : holder->second;
}

std::string EtcdClaims::NamedBy(const std::string& id) const {
  const auto holder = holders_.find(id);
  return holder == holders_.end() ? "" : holder->second;
}

std::vector<std::string> EtcdClaims::OthersOnline() const {
  std::vector<std::string> others;
  for (const std::string& instance : instances_) {
    if (instance != config_.name) others.push_back(instance);
  }
  return others;
}

std::optional<Json> EtcdClaims::TheirView(const std::string& id) const {
  return theirStates_.View(
      id, [this](const std::string& instance) { return instances_.contains(instance); });
}

void EtcdClaims::OnBrokerConnected() {
  bus_->Publish(TopicKind::kBridgeState, config_.name, "online", true);
  units_.TellAll();
}

void EtcdClaims::OnStateSeen(const std::string& id, std::string_view payload, bool ours) {
  const Json state = theirStates_.Seen(id, payload, config_.name);
  units_.PeerState(id, TextOf(state, "instance") == config_.name ? Json() : state);
  if (!ours && units_.StandingOf(id) == ClaimedUnits::Standing::kServing) {
    log_.Say("forged", "unit " + id + ": a state not published here stood on its topic: put right");
    units_.TellAgain(id);
  }
}

void EtcdClaims::OnAvailabilitySeen(const std::string& id, std::string_view payload) {
  theirStates_.SeeAvailability(id, payload);
}

void EtcdClaims::WriteMetrics(MetricsText& out) const {
  out.Family("lampd_cluster_sure", "gauge",
             "Whether etcd has confirmed this instance's lease recently enough to drive units.");
  out.Sample("lampd_cluster_sure", {}, Sure(SteadyClock::now()) ? 1 : 0);
  out.Family("lampd_cluster_units_held", "gauge", "Units whose key in etcd this instance holds.");
  out.Sample("lampd_cluster_units_held", {}, static_cast<double>(held_.size()));
  out.Family("lampd_cluster_takes_total", "counter", "Units this instance took in etcd.");
  out.Sample("lampd_cluster_takes_total", {}, static_cast<double>(takes_));
  out.Family("lampd_cluster_leases_lost_total", "counter",
             "Times etcd ended this instance's lease (its units left to others).");
  out.Sample("lampd_cluster_leases_lost_total", {}, static_cast<double>(lost_));
  out.Family("lampd_cluster_fenced_total", "counter",
             "Times this instance stopped driving its units for want of a confirmed keep-alive.");
  out.Sample("lampd_cluster_fenced_total", {}, static_cast<double>(fenced_));
  out.Family("lampd_cluster_let_go_total", "counter",
             "Units this instance let go because they did not answer here.");
  out.Sample("lampd_cluster_let_go_total", {}, static_cast<double>(letGoCount_));
}

}  // namespace lampd
