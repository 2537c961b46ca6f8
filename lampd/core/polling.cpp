// The units served here: polls spread over the poll period (a unit every
// period / N), one exchange at a time per unit with its commands queued
// behind it, and what each answer means: online or offline, a new state,
// a console press to undo.
#include <algorithm>
#include <cmath>

#include "service.h"

namespace lampd {
namespace {

using namespace std::chrono_literals;

constexpr auto kShortestTick = 10ms;
constexpr int kLongestBackoff = 8;  // an offline unit is tried every 8 periods at the most
// Why a frame was held back by the owners: not why the unit failed.
constexpr const char* kNotSure =
    "this instance is not sure it still drives the unit: its claim is not confirmed";

// How an exchange failed, in a few words for the metrics' label.
std::string FailureKind(const platform::TcpExchangeResult& result) {
  using Step = platform::TcpExchangeResult::Step;
  switch (result.failedAt) {
    case Step::kSocket:
      return "socket";
    case Step::kConnect:
      return "connect";
    case Step::kSend:
      return "send";
    case Step::kReply:
      return result.reply.empty() ? "no_reply" : "short_reply";
    case Step::kNone:
      break;
  }
  return "other";
}

}  // namespace

int Service::ModelOf(const Unit& unit) const {
  if (unit.model) return *unit.model;
  return unit.state ? (*unit.state)[protocol::kModelByte] : 0;
}

void Service::PollTick() {
  const auto now = SteadyClock::now();
  const auto period = std::chrono::duration_cast<SteadyClock::duration>(config_.fleet.pollEvery);
  if (pollOrderStale_) {
    // Units in a map stay where they are until erased: pointers serve until the next change.
    pollOrder_.clear();
    for (auto& [id, unit] : units_) pollOrder_.push_back(&unit);
    pollOrderStale_ = false;
    pollCursor_ = std::min(pollCursor_, pollOrder_.size());
  }
  if (now - roundStart_ >= period) {
    // The units the last round had not reached yet go now, before a new
    // round begins: the last of a round is polled as surely as the first.
    for (; pollCursor_ < pollOrder_.size(); ++pollCursor_) PollDue(*pollOrder_[pollCursor_], now);
    // A loop that fell behind starts the next round now rather than bunch polls up.
    roundStart_ += period * ((now - roundStart_) / period);
    pollCursor_ = 0;
    log_.Flush();
    longestTurn_.See(std::chrono::duration<double>(loop_.TakeLongestTurn()).count(), now);
  }
  const std::size_t count = pollOrder_.size();
  const double share = std::chrono::duration<double>(now - roundStart_) / period;
  const std::size_t due = std::min(count, static_cast<std::size_t>(std::ceil(share * count)));
  for (; pollCursor_ < due; ++pollCursor_) PollDue(*pollOrder_[pollCursor_], now);
  // A few units a tick: the round is spread, and the loop is not woken more
  // often than a slice of the period needs.
  const SteadyClock::duration slice =
      count == 0 ? period : period / static_cast<SteadyClock::rep>(count);
  const auto tick = std::clamp<SteadyClock::duration>(slice, kShortestTick, period);
  pollTimer_ = loop_.After(tick, [this] { PollTick(); });
}

void Service::PollDue(Unit& unit, SteadyClock::time_point now) {
  if (!unit.Serving() || (unit.online == false && now < unit.nextTry)) return;
  // One under way tells what the unit shows as well as a poll would.
  if (unit.busy) return;
  Poll(unit);
}

void Service::Poll(Unit& unit) {
  // A unit takes one connection at a time: a poll is left out while anything
  // is under way, and none goes from here before the unit is served here.
  if (unit.busy || !unit.Serving()) return;
  Start(unit, protocol::StatusRequest(ModelOf(unit)), unit.online == true ? pollLane_ : probeLane_,
        false, {});
}

void Service::Send(Unit& unit, const protocol::LampFrame& request, Done done) {
  // Commands wait their turn (the command path bounds the queue).
  if (unit.busy || !unit.Serving()) {
    unit.waiting.push_back({request, std::move(done)});
    return;
  }
  Start(unit, request, commandLane_, true, std::move(done));
}

void Service::Start(Unit& unit, const protocol::LampFrame& request,
                    platform::TcpExchangeClient& lane, bool command, Done done) {
  // Asked before every frame, and again as it goes: past a pause this
  // instance may no longer be the one that drives the unit.
  if (!owners_->MayDrive(unit.id)) {
    if (done) done(kNotSure);
    return;
  }
  unit.busy = true;
  // How long a unit that answers went without an exchange: the measure of
  // a round that reaches its last units late.
  const auto now = SteadyClock::now();
  if (unit.online == true && unit.lastExchange != SteadyClock::time_point{}) {
    pollGap_.See(std::chrono::duration<double>(now - unit.lastExchange).count(), now);
  }
  unit.lastExchange = now;
  platform::TcpExchange exchange{
      platform::SocketAddress::FromBytes(unit.address.address, unit.address.port),
      {request.begin(), request.end()}};
  exchange.mayWrite = [this, id = unit.id] { return owners_->MayDrive(id); };
  lane.Start(std::move(exchange), [this, id = unit.id, command, done = std::move(done)](
                                      const platform::TcpExchangeResult& result) {
    OnResult(id, result, command, done);
  });
}

void Service::SendNext(Unit& unit) {
  if (unit.busy || unit.waiting.empty() || !unit.Serving()) return;
  Waiting next = std::move(unit.waiting.front());
  unit.waiting.pop_front();
  Send(unit, next.frame, std::move(next.done));
}

void Service::OnResult(const std::string& id, const platform::TcpExchangeResult& result,
                       bool command, const Done& done) {
  const auto found = units_.find(id);
  if (found == units_.end()) {
    if (done) done("the unit is gone");
    return;
  }
  Unit& unit = found->second;
  unit.busy = false;
  if (result.failedAt == platform::TcpExchangeResult::Step::kSend &&
      result.reason == std::errc::operation_canceled) {
    // Held back, not failed: the unit is none the worse.
    if (done) done(kNotSure);
    return;
  }
  ++unit.exchanges;
  exchangeSeconds_.Observe(result.elapsed.count());
  if (!result.ok) ++unit.failures[FailureKind(result)];
  TakeResult(unit, result, command);
  if (done) done(result.ok ? "" : "the unit did not answer: " + result.Reason());
  SendNext(unit);  // the next command waiting for this unit goes as this one ends
  // A found unit that never answered is no unit to serve: forgotten.
  if (!unit.configured && !unit.everAnswered && !unit.busy && unit.waiting.empty() &&
      unit.missed >= config_.fleet.offlineAfter) {
    Forget(unit, "it never answered on " + unit.address.Text() + ": " + result.Reason());
  }
}

void Service::TakeResult(Unit& unit, const platform::TcpExchangeResult& result, bool command) {
  if (!unit.Serving()) return;  // left to another instance while the exchange ran
  const std::string& id = unit.id;
  if (!result.ok) {
    ++unit.missed;
    const int over = std::clamp(unit.missed - config_.fleet.offlineAfter, 0, 3);
    unit.nextTry =
        SteadyClock::now() + config_.fleet.pollEvery * std::min(kLongestBackoff, 1 << over);
    if (unit.missed >= config_.fleet.offlineAfter && unit.online.value_or(true) &&
        (unit.everAnswered || unit.configured)) {
      // A switch that fails takes a whole line of units at once: the limiter
      // summarises them; each one is in the journal and on its availability topic.
      log_.Say("offline", "unit " + id + " at " + unit.address.Text() + " offline after " +
                              std::to_string(unit.missed) + " missed polls: " + result.Reason());
      TellAvailability(unit, false);
    }
    if (unit.changed || command) TellState(unit);
    return;
  }
  protocol::LampFrame reply{};
  std::copy(result.reply.begin(), result.reply.end(), reply.begin());
  // What the unit shows; the operation letter is the request's, not its state.
  reply[protocol::kOperationByte] = protocol::kWireRead;
  unit.missed = 0;
  unit.everAnswered = true;
  const std::optional<bool> wasOnline = unit.online;
  if (unit.online != true) {
    log_.Say("online", "unit " + id + " at " + unit.address.Text() + " online");
    TellAvailability(unit, true);
  }
  const bool changed = !unit.state || *unit.state != reply;
  unit.state = reply;
  if (changed || command || unit.changed) TellState(unit);
  if (!unit.waiting.empty()) return;  // what the unit shows is about to change
  TakeShown(unit, reply, wasOnline);
}

void Service::TakeShown(Unit& unit, const protocol::LampFrame& reply,
                        std::optional<bool> wasOnline) {
  if (wasOnline == false) {
    // Back after a power cut or a pulled cable: what it should show, again.
    if (unit.signals.Wanted() != protocol::kLeaveAllUnchanged) {
      Log("unit " + unit.id + " is back: sending what it should show again");
      SendWanted(unit, protocol::kLeaveAllUnchanged, false, {});
    }
    return;
  }
  if (unit.signals.Empty()) {  // most polls: nothing held, what it shows is how it is meant
    unit.strayed = false;
    unit.signals.AdoptShown(reply);
    return;
  }
  const auto held = unit.signals.Held();
  const auto wanted = unit.signals.Wanted();
  const auto shown = ShownCodes(reply);
  std::string strays;
  for (std::size_t field = 0; field < held.size(); ++field) {
    if (held[field] && shown[field] != wanted[field]) {
      const std::string name = field == protocol::kSoundLamp
                                   ? std::string("sound")
                                   : std::string(protocol::kLampNames[field]);
      strays += (strays.empty() ? "" : ", ") + name;
    }
  }
  // At start, leases kept from before are sent whatever; later only when enforced.
  if (!strays.empty() && (!wasOnline || config_.fleet.enforce)) {
    if (!unit.strayed) {
      Log("unit " + unit.id + " shows other than its leases (" + strays + "): sending them again");
      // A press at the unit's own console, undone.
      if (wasOnline) {
        Record({.unit = unit.id,
                .kind = "stray",
                .reason = "showed other " + strays + " than its leases: undone",
                .what = shown});
      }
    }
    unit.strayed = wasOnline.has_value();
    SendWanted(unit, protocol::kLeaveAllUnchanged, true, {});
    return;
  }
  unit.strayed = false;
  unit.signals.AdoptShown(reply);
}

}  // namespace lampd
