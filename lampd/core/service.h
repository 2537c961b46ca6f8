// The service: the plant core, which owns the units. Every front hands its
// commands to one command path (with a share for each front and client)
// and hears one outcome back; the fleet polls the units it serves, spread
// over the poll period, with commands in a lane of their own; the lease
// keeper decides what each unit should show and keeps it in the state
// file. The fronts and sinks (HTTP, metrics, events, console, MQTT with
// Home Assistant, Modbus, the journal, andon's figures) are objects of
// their own that reach it only as a Plant; the claims between instances
// are one component (UnitOwners) that tells it which units are its to serve,
// through ClaimedUnits. Its parts live in one file each: service.cpp
// (start, stop, what the claims ask), command_path, polling, lease_keeper,
// andon, finder, events, plant_look, plant_metrics.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "background.h"
#include "command.h"
#include "lampd/andon/andon_figures.h"
#include "lampd/andon/journal_sink.h"
#include "lampd/cluster/unit_owners.h"
#include "lampd/config/config.h"
#include "lampd/fronts/console/console_front.h"
#include "lampd/fronts/http/events_front.h"
#include "lampd/fronts/http/http_front.h"
#include "lampd/fronts/http/metrics_front.h"
#include "lampd/fronts/modbus/modbus_front.h"
#include "lampd/fronts/mqtt/mqtt_front.h"
#include "leases.h"
#include "log.h"
#include "metrics.h"
#include "net/broadcast.h"
#include "net/event_loop.h"
#include "net/tcp_exchanges.h"
#include "plant.h"
#include "protocol/lamp_frame.h"
#include "protocol/settings_frame.h"
#include "refusal_tally.h"
#include "shares.h"
#include "state_document.h"

namespace lampd {

class Service : public Plant, private ClaimedUnits {
 public:
  // `statePath`: where leases are kept; empty: not kept. The journal goes
  // beside it unless the configuration says otherwise.
  Service(platform::EventLoop& loop, Config config, std::string statePath = "");
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  bool Start(std::string& error);

  // What the fronts see of the plant.
  void Submit(Request request, Reply reply) override;
  std::optional<UnitLook> Look(const std::string& id) const override;
  std::optional<std::string> IdOfMac(const protocol::MacBytes& mac) const override;
  std::optional<Json> State(const std::string& id) const override;
  Json States() const override;
  Reach Reaches(const std::string& id) const override;
  void Refuse(Origin origin, const std::string& name, bool group, const std::string& why,
              const std::string& who) override;
  std::optional<std::pair<std::size_t, std::size_t>> LookAtGroup(
      const std::string& name) const override;
  Summary LookAtPlant() const override;
  void Listen(PlantListener& listener) override { listeners_.push_back(&listener); }
  std::vector<std::string> Ids() const override;
  std::optional<Json> View(const std::string& id) const override;
  std::vector<UnitFigures> Figures() const override;
  void WriteMetrics(MetricsText& out) const override;
  // Writes the state file, says "offline" for the bridge and leaves the broker cleanly.
  void Stop();
  // SIGHUP: what may be read again without a restart (the users file).
  void Reload();

 private:
  using Done = std::function<void(const std::string& why)>;  // empty: the unit answered
  using Reply = std::function<void(Outcome)>;
  struct Waiting {
    protocol::LampFrame frame;
    Done done;
  };
  // Whether this instance serves a unit: not before its owners say so
  // (commands wait meanwhile); a stand-by sends it nothing.
  enum class Role { kUndecided, kServing, kStandby };

  struct Unit {
    std::string id;
    protocol::UnitAddress address;
    std::optional<protocol::MacBytes> mac;
    std::optional<int> model;  // configured; else what the unit reports
    bool configured = false;   // named in the file; a found one may be dropped
    std::optional<protocol::LampFrame> state;
    int missed = 0;
    bool everAnswered = false;
    std::optional<bool> online;         // as last published
    SteadyClock::time_point nextTry{};  // an offline unit is tried less often
    bool busy = false;                  // an exchange is under way
    std::deque<Waiting> waiting;        // commands behind it
    // Those who wait for the read queued or under way: a read joins it.
    std::shared_ptr<std::vector<Done>> reading;
    UnitSignals signals;          // its baseline and leases
    bool strayed = false;         // told of showing other than its leases
    bool changed = false;         // a state to publish once the unit has answered
    std::uint64_t exchanges = 0;  // for the metrics
    SteadyClock::time_point lastExchange{};
    std::map<std::string, std::uint64_t> failures;
    Role role = Role::kUndecided;
    // Commands taken while it is not known whether this instance drives it:
    // applied once it does (""), refused once another does (its name).
    std::deque<std::function<void(const std::string& to)>> undecided;
    bool telling = false;  // its state waits to be kept before it is told

    bool Serving() const { return role == Role::kServing; }
  };

  // service.cpp: what the claims between instances ask of the core and tell it.
  Standing StandingOf(const std::string& id) const override;
  std::vector<std::string> Reached() const override;
  bool Member(const std::string& id, const std::string& group) const override;
  void Serve(const std::string& id, const std::string& from, const UnitSignals* theirs) override;
  void Yield(const std::string& id, const std::string& to) override;
  void TellAgain(const std::string& id) override;
  void TellAll() override;
  void PeerState(const std::string& id, const Json& state) override;
  // Its lane opened: polled, or sent the commands that waited for the decision.
  void Serve(Unit& unit);
  // The claims over the broker, or ownership in etcd where [cluster] names it.
  std::unique_ptr<UnitOwners> MakeOwners(ClaimedUnits& units);

  // command_path.cpp: every front's commands.
  void SubmitToUnit(const Request& request, Reply reply);
  void SubmitToMembers(const Request& request, std::vector<Unit*> members, Reply reply);
  struct MembersRun;
  void SubmitSlice(const std::shared_ptr<MembersRun>& run);
  void SubmitToMember(const std::shared_ptr<MembersRun>& run, Unit& member, const Done& done);
  // The commands that waited for a decision: applied (`to` empty) or refused.
  void RunUndecided(Unit& unit, const std::string& to);
  // A read of what the unit shows; one queued or under way is joined.
  void Read(Unit& unit, Done done);
  // Passed on over the broker, on topic `kind` of the request's unit or group.
  void Relay(const Request& request, TopicKind kind);
  std::vector<Unit*> Members(const GroupConfig& group);
  static bool IsMember(const GroupConfig& group, const Unit& unit);
  const GroupConfig* GroupNamed(const std::string& name) const;
  // "a lease of ci, priority 5, for 10m" or "a clear of ci"; "" for the rest.
  static std::string LeaseText(const Command& command);
  // What a command asks, for the log: "red on, sound 3", "a reset", or LeaseText.
  static std::string CommandWords(const Command& command);

  // plant_look.cpp: what the listeners are told of a unit served here.
  Json StateOf(const Unit& unit, bool withOnline) const;
  // Its state, to be published (a change, a command's answer, or put right).
  void TellState(Unit& unit);
  // Online or not: recorded when it changed, and told.
  void TellAvailability(Unit& unit, bool online);

  // polling.cpp: the units.
  void PollTick();
  // A poll of what the unit shows, on the lane of units that answer or of
  // those that do not; a command's frame on its own lane, queued behind
  // whatever the unit is doing.
  void Poll(Unit& unit);
  // Its turn in the round: polled unless it is not served here, backs off
  // while offline, or has an exchange under way.
  void PollDue(Unit& unit, SteadyClock::time_point now);
  void Send(Unit& unit, const protocol::LampFrame& request, Done done);
  void SendNext(Unit& unit);
  void Start(Unit& unit, const protocol::LampFrame& request, platform::TcpExchangeClient& lane,
             bool command, Done done);
  // `command`: the answer to a command, whose state is published even when it is unchanged.
  void OnResult(const std::string& id, const platform::TcpExchangeResult& result, bool command,
                const Done& done);
  void TakeResult(Unit& unit, const platform::TcpExchangeResult& result, bool command);
  void TakeShown(Unit& unit, const protocol::LampFrame& reply, std::optional<bool> wasOnline);
  int ModelOf(const Unit& unit) const;

  // lease_keeper.cpp: leases and baselines. Apply refuses (with the reason)
  // or takes the command and sends what it changes; `done` hears how the
  // frame fared.
  std::optional<std::string> Apply(Unit& unit, const Request& request, Done done);
  void SendWanted(Unit& unit, const protocol::LampCodes& named, bool heldOnly, Done done);
  void LeasesChanged(Unit& unit);
  // Unit `id` changed as the fronts see it (its state, online, its owner).
  void Changed(const std::string& id) override;
  void ArmExpiry(SteadyClock::time_point when);
  void OnExpiry();
  void SaveSoon();
  void Save();

  // finder.cpp: Mac Find.
  void Find(bool requested);
  void OnFound(const protocol::SettingsRecord& record);
  void Forget(Unit& unit, const std::string& why);

  // andon.cpp: acknowledgements, escalation, the figures.
  void Acknowledge(Unit& unit, const Request& request, Done done);
  void Escalate(Unit& unit, const DueStep& due, SteadyClock::time_point now);
  // Whether every unit served here that `request` reaches holds its lease already, to `ends`.
  bool AlreadyEscalated(const Request& request, SteadyClock::time_point ends);
  // Why a lease's escalation cannot reach a step's target; "" when every target is known.
  std::string UnknownStepTarget(const Command& command) const;
  // A call answered or ended: what its escalation lit is cleared.
  void EndEscalations(const std::string& unitId, const Lease& lease);
  // How long a call took to be acknowledged or to end, by the unit's groups.
  void ObserveCall(const Unit& unit, const Lease& lease, bool acknowledged);

  // events.cpp: every event, to the journal's sink, MQTT and the listeners.
  bool StartJournal(std::string& error);
  void Record(JournalRecord record);
  // A record of `kind` for `unit` about `lease`, from `request` where there is one.
  void RecordLease(const Unit& unit, const char* kind, const Lease& lease, const Request* request,
                   std::string reason = "");
  // A command a unit took that is no lease: what it named, and `reason`.
  void RecordCommand(const Unit& unit, const Request& request, std::string reason);
  // A refusal of a front, before the command path: counted, and recorded
  // unless it is one of a flood (then summarised once a second: false).
  bool Refused(Origin origin, const std::string& name, bool group, const std::string& why,
               const std::string& who = "", const std::string& source = "");
  void RecordRefusalSummaries();
  void SummariseSoon();

  platform::EventLoop& loop_;
  Config config_;
  LogLimiter log_;
  // Who drives each unit, between instances; the broker they speak over.
  std::unique_ptr<UnitOwners> owners_;
  std::unique_ptr<MqttFront> mqtt_;
  // Commands, polls of units that answer, and tries of those that do not
  // each have exchanges of their own, so none waits behind the others.
  platform::TcpExchangeClient commandLane_, pollLane_, probeLane_;
  std::map<std::string, Unit> units_;
  std::size_t found_ = 0;         // of them, found by Mac Find
  std::uint64_t passedOver_ = 0;  // found past found_max
  std::vector<Unit*> pollOrder_;  // in poll order, made again when units come or go
  bool pollOrderStale_ = true;
  std::size_t pollCursor_ = 0;
  SteadyClock::time_point roundStart_{};
  RecentMost pollGap_, longestTurn_;  // seconds
  std::unique_ptr<platform::BroadcastChannel> finding_;
  bool answerFind_ = false;
  SteadyClock::time_point lastFind_{};
  platform::EventLoop::TimerId pollTimer_ = 0, findTimer_ = 0, expiryTimer_ = 0, saveTimer_ = 0;
  std::optional<SteadyClock::time_point> expiryAt_;

  std::string statePath_;
  std::map<std::string, UnitSignals> unplaced_;  // kept leases of units not found yet
  std::uint64_t serial_ = 0;                     // the last lease's
  bool saveQueued_ = false, saveFailing_ = false;
  std::uint64_t saveFailures_ = 0;

  std::unique_ptr<HttpFront> http_;
  // The fronts that are objects of their own, and who hears the plant's events.
  std::unique_ptr<ModbusFront> modbus_;
  std::unique_ptr<ConsoleFront> console_;
  std::unique_ptr<MetricsFront> metrics_;
  std::unique_ptr<EventsFront> events_;
  std::vector<PlantListener*> listeners_;
  Histogram exchangeSeconds_;
  // The journal, written once a turn; the andon figures by group.
  std::unique_ptr<JournalSink> journal_;
  AndonFigures andonFigures_;                                // a listener from the start
  std::map<std::string, std::uint64_t> commands_, refused_;  // by origin
  std::map<std::string, std::uint64_t> overShare_;           // of refused_, by origin
  Shares shares_;
  RefusalTally refusals_;
  platform::EventLoop::TimerId tallyTimer_ = 0;
};

}  // namespace lampd
