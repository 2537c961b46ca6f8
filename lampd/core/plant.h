// What a front or a sink sees of the plant core: the one command path, a
// look at a unit, a group or the plant, and the plant's events. A front
// holds its own state and reaches the units only through this, so it can be
// tried in process against a core of a test's own.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command.h"
#include "metrics.h"
#include "protocol/lamp_frame.h"
#include "protocol/settings_frame.h"
#include "state_document.h"

namespace lampd {

// Where a command came from, for the log, the metrics and the journal.
enum class Origin { kMqtt, kHttp, kAlertmanager, kModbus, kWeb, kEscalation };
std::string_view OriginName(Origin origin);

// One command on its way: to a unit, a group or every unit served here.
struct Request {
  enum class Target { kUnit, kGroup, kAll };
  Target target = Target::kUnit;
  std::string name;  // the unit's id or the group's name
  Command command;
  bool read = false;  // read the unit now (get) rather than set
  Origin origin = Origin::kMqtt;
  bool relayed = false;  // passed on by another instance: not passed on again
  std::string client;    // its sender's address, where the front knows it
  std::string person;    // who sent it, signed in (HTTP): what the journal names
};

// Who a request is recorded as sent by: the person signed in, else its address.
inline const std::string& Who(const Request& request) {
  return request.person.empty() ? request.client : request.person;
}

// What came of it. A refusal is told at once, within Submit; what is taken
// is told once the units it went to have answered.
struct Outcome {
  // kOverShare: its front or client is over its share of the command path.
  enum class Refusal { kNone, kBad, kUnknown, kFull, kOverShare };
  Refusal refusal = Refusal::kNone;
  std::string why;                                          // of the refusal
  std::vector<Json> answered;                               // states of units that answered
  std::vector<std::pair<std::string, std::string>> failed;  // unit id, why
  std::vector<std::string> passedTo;                        // instances it went on to
  std::vector<std::string> nothingToAcknowledge;            // units an acknowledgement found quiet
  // A refusal for being over a share, one of a flood: counted in its
  // client's summary, told to nobody on its own.
  bool summarised = false;

  static Outcome Refused(Refusal refusal, std::string why) {
    Outcome outcome;
    outcome.refusal = refusal;
    outcome.why = std::move(why);
    return outcome;
  }
};

// A unit as the plant knows it: served here, reached here while another
// instance serves it, or only seen in another instance's state.
struct UnitLook {
  bool servedHere = false;
  std::optional<protocol::MacBytes> mac;     // as this instance knows it
  std::optional<protocol::LampCodes> shown;  // lamps and sound of its last answer
  std::optional<int> model;
  bool online = false;
  std::size_t leases = 0;
  std::string owner;  // the instance that serves it, when not this one
};

// What the metrics say of one unit, copied on the loop.
struct UnitFigures {
  std::string id, address;
  bool up = false;
  std::optional<protocol::LampFrame> state;
  std::size_t leases = 0;
  std::uint64_t exchanges = 0;
  std::map<std::string, std::uint64_t> failures;
};

// The plant's events a front or sink may hear of.
class PlantListener {
 public:
  virtual ~PlantListener() = default;
  // Another instance's state of unit `id` stood on that unit's topic
  // (an empty document: taken away).
  virtual void OnPeerState(const std::string& /*id*/, const Json& /*state*/) {}
  // Unit `id` changed as a front shows it: its state, online, who serves it.
  virtual void OnUnitChanged(const std::string& /*id*/) {}
  // A unit served here has a state to tell: it changed, or a command was
  // answered (told even when unchanged), or it is told again (the broker
  // was away, or something else stood on its topic). Without "online".
  virtual void OnUnitState(const std::string& /*id*/, const Json& /*state*/) {}
  // A unit served here is online or not (told again as OnUnitState is).
  virtual void OnUnitAvailability(const std::string& /*id*/, bool /*online*/) {}
  // An event was recorded: its journal line, numbered, and that line as written.
  virtual void OnEvent(const Json& /*line*/, const std::string& /*text*/) {}
  // A call (a lease, not an escalation's) was acknowledged, or ended
  // unanswered: after `seconds`, on a unit of these groups.
  virtual void OnCallAnswered(const std::vector<std::string>& /*groups*/, double /*seconds*/,
                              bool /*acknowledged*/) {}
};

class Plant {
 public:
  using Reply = std::function<void(Outcome)>;
  virtual ~Plant() = default;
  // Every front's commands: `reply` hears the outcome once, at once for a refusal.
  virtual void Submit(Request request, Reply reply) = 0;
  // Whether unit `id`'s commands are taken here (served here, or waiting
  // while that is decided), are another online instance's to take, or reach
  // no instance.
  enum class Reach { kHere, kElsewhere, kNowhere };
  virtual Reach Reaches(const std::string& id) const = 0;
  // Unit `id`, or nothing when the plant knows no such unit.
  virtual std::optional<UnitLook> Look(const std::string& id) const = 0;
  // The state document of a unit served here (with "online"); of every one.
  virtual std::optional<Json> State(const std::string& id) const = 0;
  virtual Json States() const = 0;
  // A front refused a command before the command path: counted and recorded
  // (a flood of them summarised).
  virtual void Refuse(Origin origin, const std::string& name, bool group, const std::string& why,
                      const std::string& who) = 0;
  // The id of the unit this instance knows with that MAC address.
  virtual std::optional<std::string> IdOfMac(const protocol::MacBytes& mac) const = 0;
  // A group's members served here, and of them online; nothing for no such group.
  virtual std::optional<std::pair<std::size_t, std::size_t>> LookAtGroup(
      const std::string& name) const = 0;
  // Whether unit `id`, reached here, is a member of [groups] group `group`.
  virtual bool Member(const std::string& id, const std::string& group) const = 0;
  // The units served here, of them online, and whether the broker is connected.
  struct Summary {
    std::size_t served = 0, online = 0;
    bool broker = false;
  };
  virtual Summary LookAtPlant() const = 0;
  virtual void Listen(PlantListener& listener) = 0;
  // Every unit the plant knows: served here, then those only other instances serve.
  virtual std::vector<std::string> Ids() const = 0;
  // A unit's state document as a page shows it ("online" with it), here or
  // as another instance's state tells it.
  virtual std::optional<Json> View(const std::string& id) const = 0;
  // The figures of each unit served here; the plant's own families of metrics.
  virtual std::vector<UnitFigures> Figures() const = 0;
  virtual void WriteMetrics(MetricsText& out) const = 0;
};

}  // namespace lampd
