// The MQTT front: a command topic and its payload become a request on the
// command path; what is refused or not answered goes to the error topic
// (each one, while the broker keeps up; dropped and counted past that).
#include "lampd/core/service.h"

namespace lampd {
namespace {

constexpr std::size_t kErrorPayloadShown = 200;

// The client a payload names, where it is an object that names one: its
// refusals are tallied as that client's.
std::string ClientOf(std::string_view payload) {
  if (payload.empty() || payload.front() != '{') return "";
  const Json parsed = Json::parse(payload, nullptr, false);
  return TextOf(parsed, "client");
}

}  // namespace

void Service::OnMqttCommand(const ParsedTopic& topic, std::string_view payload) {
  Request request;
  request.origin = Origin::kMqtt;
  request.name = topic.name;
  const bool group = topic.kind == TopicKind::kGroupSet || topic.kind == TopicKind::kGroupSetField;
  request.target = group ? Request::Target::kGroup : Request::Target::kUnit;
  const TopicKind errorKind = group ? TopicKind::kGroupError : TopicKind::kUnitError;

  if (group) {
    if (!GroupNamed(topic.name)) {
      log_.Say("group", "group " + topic.name + ": not in this instance's [groups]; passed over");
      return;
    }
  } else {
    // Another instance's unit is none of ours to answer for; an id no
    // instance serves is told about.
    const auto unit = units_.find(topic.name);
    if (unit == units_.end() || unit->second.role == Role::kStandby) {
      const std::string why = "no instance serves a unit with id " + topic.name;
      if (ServedElsewhereBy(topic.name).empty()) {
        Refused(Origin::kMqtt, topic.name, false, why, ClientOf(payload));
        PublishError(errorKind, topic.name, why, payload);
      }
      return;
    }
  }

  std::string why;
  bool parsed = true;
  switch (topic.kind) {
    case TopicKind::kUnitGet:
      request.read = true;
      break;
    case TopicKind::kUnitAck:
      parsed = ParseAck(payload, request.command, why);
      break;
    case TopicKind::kUnitSet:
    case TopicKind::kGroupSet:
      parsed = ParseCommand(payload, "mqtt", request.command, why);
      break;
    case TopicKind::kUnitSetField:
    case TopicKind::kGroupSetField:
      parsed = ParseField(topic.field, payload, "mqtt", request.command, why);
      break;
    default:
      return;
  }
  if (!parsed) {
    Refused(Origin::kMqtt, topic.name, group, why, ClientOf(payload));
    return PublishError(errorKind, topic.name, why, payload);
  }
  request.client = request.command.client;
  if (request.command.relayedBy == config_.name) return;  // our own, passed on to the others
  request.relayed = !request.command.relayedBy.empty();
  Submit(std::move(request), [this, errorKind, name = topic.name](const Outcome& outcome) {
    if (outcome.summarised) return;  // a flood over its share is told once a second
    if (outcome.refusal != Outcome::Refusal::kNone) {
      return PublishError(errorKind, name, outcome.why, "");
    }
    for (const auto& [id, why] : outcome.failed) PublishError(TopicKind::kUnitError, id, why, "");
  });
}

void Service::PublishError(TopicKind kind, const std::string& name, const std::string& why,
                           std::string_view payload) {
  log_.Say("refused", (kind == TopicKind::kGroupError ? "group " : "unit ") + name + ": " + why);
  const std::string topic = topics_.Name(kind, name);
  if (!mqtt_->Connected()) return;
  const Json error = {{"error", why}, {"payload", CutUtf8(payload, kErrorPayloadShown)}};
  mqtt_->Publish(topic, Dump(error), 1, false, true);
}

}  // namespace lampd
