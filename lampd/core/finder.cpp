// Mac Find: units found by broadcast on the configured interfaces, every
// find_every and on request, never closer together than find_gap, and only
// where the configuration names interfaces. What answers is taken up to
// found_max units; one that never answers TCP is forgotten again.
#include "service.h"

namespace lampd {
namespace {

using namespace std::chrono_literals;

std::string SecondsText(SteadyClock::duration duration) {
  return std::to_string(std::chrono::ceil<std::chrono::seconds>(duration).count()) + " s";
}

}  // namespace

void Service::Find(bool requested) {
  const auto answer = [this](const Json& document) {
    mqtt_->Publish(TopicKind::kFindResponse, "", Dump(document), false);
  };
  if (!config_.fleet.interfaces) {
    log_.Say("find", "Mac Find asked for, but [fleet] names no interfaces: nothing broadcast");
    return answer({{"status", "error"}, {"error", "Mac Find is off: [fleet] names no interfaces"}});
  }
  const auto now = SteadyClock::now();
  if (!requested) {
    loop_.Cancel(findTimer_);
    findTimer_ = loop_.After(config_.fleet.findEvery, [this] { Find(false); });
  }
  if (finding_) {
    answerFind_ = answerFind_ || requested;  // the find under way answers both
    return;
  }
  if (lastFind_ != SteadyClock::time_point{} && now - lastFind_ < config_.fleet.findGap) {
    if (requested) {
      log_.Say("find", "Mac Find asked for " + SecondsText(now - lastFind_) +
                           " after the last: not before find_gap has passed");
      answer(
          {{"status", "error"},
           {"error", "a find ran " + SecondsText(now - lastFind_) + " ago; the next may run in " +
                         SecondsText(config_.fleet.findGap - (now - lastFind_))}});
    }
    return;
  }
  lastFind_ = now;
  answerFind_ = requested;
  platform::BroadcastOptions options;
  options.unitPort = protocol::kSettingsPort;
  options.replyPort = protocol::kSettingsReplyPort;
  options.interfaces = *config_.fleet.interfaces;
  finding_ = std::make_unique<platform::BroadcastChannel>(options);
  if (!finding_->Open() ||
      !finding_->Send(protocol::Encode(protocol::SettingsRequest(protocol::FindMac, {}, {})))) {
    Log("Mac Find: " + platform::ReasonText(finding_->Reason()));
    finding_.reset();
    if (requested) answer({{"status", "error"}, {"error", "the broadcast failed"}});
    return;
  }
  finding_->Collect(
      loop_,
      [this](const platform::SocketAddress&, std::span<const std::uint8_t> datagram) {
        if (const auto found = protocol::Decode(datagram); found && found->AnswersFind()) {
          OnFound(found->record);
        }
      },
      [this, answer] {
        loop_.After(0ms, [this] {  // the channel goes once its collection has ended
          finding_.reset();
        });
        if (answerFind_) {
          Json ids = Json::array();
          for (const auto& [id, unit] : units_) {
            if (unit.mac && unit.Serving()) ids.push_back(id);
          }
          answer({{"status", "ok"}, {"data", ids}});
        }
        answerFind_ = false;
      });
}

void Service::OnFound(const protocol::SettingsRecord& record) {
  const std::string id = IdOf(record.mac);
  protocol::UnitAddress address{record.ipAddress, record.port};
  // A unit named in the file keeps its id when a broadcast finds it too.
  for (auto& [configuredId, unit] : units_) {
    if (unit.configured && unit.address == address) {
      if (!unit.mac && !units_.contains(id)) unit.mac = record.mac;
      return;
    }
  }
  const auto known = units_.find(id);
  if (known != units_.end()) {
    Unit& unit = known->second;
    if (unit.mac && !(unit.address == address)) {
      Log("unit " + id + " moved from " + unit.address.Text() + " to " + address.Text());
      unit.address = address;
    }
    return;
  }
  if (found_ >= static_cast<std::size_t>(config_.fleet.foundMax)) {
    ++passedOver_;
    log_.Say("found", "unit " + id + " found at " + address.Text() + ": passed over, " +
                          std::to_string(config_.fleet.foundMax) +
                          " found units are served already");
    return;
  }
  Unit& unit = units_[id];
  ++found_;
  unit.id = id;
  unit.mac = record.mac;
  unit.address = address;
  if (const auto kept = unplaced_.find(id); kept != unplaced_.end()) {
    unit.signals = std::move(kept->second);
    unplaced_.erase(kept);
  }
  pollOrderStale_ = true;
  log_.Say("found", "unit " + id + " found at " + address.Text());
  owners_->Reach(id);
}

void Service::Forget(Unit& unit, const std::string& why) {
  const std::string id = unit.id;
  log_.Say("forgotten", "unit " + id + " forgotten: " + why);
  if (!unit.signals.Empty()) unplaced_[id] = std::move(unit.signals);
  if (!unit.configured) --found_;
  // Whoever waits on it is answered.
  std::deque<Waiting> waiting = std::move(unit.waiting);
  auto undecided = std::move(unit.undecided);
  units_.erase(id);
  for (Waiting& dropped : waiting) {
    if (dropped.done) dropped.done("the unit is gone");
  }
  for (const auto& command : undecided) command("");
  pollOrderStale_ = true;
  Changed(id);
}

}  // namespace lampd
