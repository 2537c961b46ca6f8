// Ownership between instances held in etcd. Each instance keeps one etcd
// lease alive; a unit is driven only by the instance whose key
// (PREFIX/owners/ID) holds it, taken in a transaction that succeeds only
// while no key does, so two can never hold it. What the plant was told of
// a unit (its leases, baseline, calls, acknowledgements, escalation steps)
// is written to PREFIX/signals/ID by its owner, in transactions that
// succeed only while that owner's key is the one it created, and read by
// whoever takes the unit over.
//
// Fencing: this instance drives a unit only while its lease is surely
// alive by its own monotonic clock: less than the lease, less a margin,
// since it sent the last keep-alive etcd confirmed. etcd ends a lease no
// sooner than the lease after it took that keep-alive (a new leader only
// lengthens leases), so no other instance can hold the unit before then.
//
// Which instance takes a free unit: one that reaches it; one whose
// [cluster] prefer names it (or a group of it) at once; else the instance
// that ranks first for it among those online (rendezvous hashing, so units
// spread evenly and stay put) at once, and any other that reaches it after
// a lease, should that one not take it. A held unit is never taken away:
// it moves only when its holder's key goes. A holder that no longer
// reaches its unit while other instances are online lets the key go, so
// one that reaches it takes it; it takes such a unit again only after a
// wait that doubles each time (a unit switched off goes round slowly).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "etcd_client.h"
#include "lampd/config/config.h"
#include "lampd/core/log.h"
#include "net/event_loop.h"
#include "peer_states.h"
#include "unit_owners.h"

namespace lampd {

class EtcdClaims : public UnitOwners {
 public:
  EtcdClaims(platform::EventLoop& loop, const Config& config, LogLimiter& log, ClaimedUnits& units);
  ~EtcdClaims();
  EtcdClaims(const EtcdClaims&) = delete;
  EtcdClaims& operator=(const EtcdClaims&) = delete;

  bool Start(MqttFront& bus, std::string& error) override;
  // Revokes the lease: the units go to other instances at once.
  void Stop() override;
  void Reach(const std::string& id) override;
  bool MayDrive(const std::string& id) const override;
  std::string ServedElsewhereBy(const std::string& id) const override;
  std::string NamedBy(const std::string& id) const override;
  bool Known(const std::string& id) const override { return holders_.contains(id); }
  std::vector<std::string> OthersOnline() const override;
  std::optional<Json> TheirView(const std::string& id) const override;
  std::vector<std::string> TheirIds() const override { return theirStates_.Ids(); }
  void Keep(const std::string& id, const UnitSignals& signals) override;
  void AfterKept(const std::string& id, std::function<void()> then) override;
  void OnFind(std::function<void()> find) override { find_ = std::move(find); }
  void Answers(const std::string& id, bool online) override;
  void WriteMetrics(MetricsText& out) const override;

  void OnBrokerConnected() override;
  void OnBridgeState(const std::string&, std::string_view) override {}
  // Retained states decide nothing here: one on a unit served here that is
  // not our echo is put right; another instance's is kept to be shown.
  void OnStateSeen(const std::string& id, std::string_view payload, bool ours) override;
  void OnAvailabilitySeen(const std::string& id, std::string_view payload) override;
  void OnFindAsked() override {
    if (find_) find_();
  }

 private:
  // A key this instance holds: the revision it was created at is its fence token.
  struct Held {
    std::int64_t created = 0;
    bool leaving = false;  // let go: driven no more, its key goes once what it was told is kept
  };
  // What is being kept of a unit: the latest text, and whether a write is under way.
  struct Keeping {
    std::string text, written;  // what the plant was told, and what etcd has
    bool writing = false;
    std::vector<std::function<void()>> waiting;  // for what is being written
  };
  // Those who wait for unit `id`'s writes hear now (kept, or no more ours).
  void Release(const std::string& id);

  bool Sure(SteadyClock::time_point now) const;
  void Grant();
  void KeepAlive();
  // A keep-alive sent at `sent` was confirmed: sure until the fence after it.
  void Confirmed(SteadyClock::time_point sent);
  void LeaseLost(const std::string& why);
  // The fence passed without a confirmation: the units are left, the keys kept.
  void Unsure();
  void Resync();
  void Watch(const std::string& what, std::int64_t from);
  void OnOwnerKey(const std::string& id, const std::string& holder, bool deleted);
  void Consider(const std::string& id);
  bool Preferred(const std::string& id) const;
  // Lets unit `id` go, held here and not reached, for another to take.
  void LetGo(const std::string& id);
  // Held units not reached here go, now that others are online.
  void LetUnreachedGo();
  void Take(const std::string& id);
  void TakeQueued();
  void TakeBatch(std::vector<std::string> ids);
  // Unit `id`'s key is this instance's since `revision`; `kept`: what its
  // signals key held then (etcd's kvs).
  void Took(const std::string& id, std::int64_t revision, const Json& kept);
  void Write(const std::string& id);
  void Failing(const std::string& why);
  std::string Key(const std::string& kind, const std::string& name) const;

  platform::EventLoop& loop_;
  const Config& config_;
  LogLimiter& log_;
  ClaimedUnits& units_;
  EtcdClient etcd_;
  MqttFront* bus_ = nullptr;
  std::function<void()> find_;
  const SteadyClock::duration fence_;
  std::string lease_;  // etcd's id of this instance's lease; empty: none
  SteadyClock::time_point confirmedSent_{};
  bool sure_ = false;  // the units held are served (the fence has not passed)
  std::map<std::string, std::string> holders_;  // unit id -> instance, as etcd has it
  std::map<std::string, Held> held_;            // the units this instance holds
  std::set<std::string> instances_;             // online, as their keys say
  std::set<std::string> taking_;                // transactions under way
  std::vector<std::string> toTake_;             // in the next transaction
  std::map<std::string, Keeping> keeping_;
  std::map<std::string, platform::EventLoop::TimerId> later_;  // takes after a lease
  std::set<std::string> unreached_;  // units served here that do not answer
  // Units let go for not answering here: not taken again before `until`.
  struct LetGoUnit {
    SteadyClock::time_point until;
    SteadyClock::duration wait;
  };
  std::map<std::string, LetGoUnit> letGo_;
  std::map<std::string, EtcdClient::StreamId> watches_;
  platform::EventLoop::TimerId keepTimer_ = 0, fenceTimer_ = 0, retryTimer_ = 0;
  std::uint64_t takes_ = 0, lost_ = 0, fenced_ = 0, letGoCount_ = 0;
  std::string failing_;  // why etcd is not reached, while it is not
  // This process's own mark on what it keeps: what it kept itself it knows
  // better already (with the commands that waited while it was unsure).
  const std::string session_;
  PeerStates theirStates_;
};

}  // namespace lampd
