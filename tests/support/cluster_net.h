// Instances of lampd that hold their units in etcd, each in a network
// namespace of its own (so a unit's log says which instance sent each
// frame): a three-member etcd on this host, on an address of its own that
// each instance reaches by a link of its own, so that link can be cut
// alone. The broker listens on port 1884 for them as well.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "lamp_unit_process.h"
#include "mqtt_test.h"
#include "test_network.h"

namespace lamptest {

class EtcdCluster {
 public:
  static constexpr int kMembers = 3;
  // Gives this host etcd's address and starts the members; Ready once all answer.
  EtcdCluster();
  ~EtcdCluster();
  EtcdCluster(const EtcdCluster&) = delete;
  EtcdCluster& operator=(const EtcdCluster&) = delete;
  bool Ready() const { return ready_; }
  static int ClientPort(int member) { return 2379 + 10000 * member; }
  // The members as lampd's [cluster] lists them.
  static std::string Endpoints();
  void Start(int member);
  void Kill(int member);
  // The member that leads now; -1 while none does.
  int Leader();
  // Processor time the members have used, in seconds.
  double CpuSeconds() const;

 private:
  std::string directory_;
  pid_t pids_[kMembers] = {-1, -1, -1};
  bool ready_ = false;
};

// Instance `n` (1, 2, ...) in a segment of its own: 10.77.N.2 towards the
// units and the broker, a second link towards etcd.
struct ClusterHost {
  ClusterHost(int n, std::string name);
  // Its configuration: [[unit]] tables `units`, [fleet] lines `fleet`, the lease.
  std::string Config(const std::string& units, const std::string& fleet,
                     const std::string& lease) const;
  std::unique_ptr<LampdProcess> Start(const std::string& units,
                                      const std::string& fleet =
                                          "poll_every = \"200ms\"\n"
                                          "offline_after = 3\n",
                                      const std::string& lease = "3s");
  // Drops what it sends to `to` (ADDRESS/BITS) until Heal: a cut cable.
  bool Cut(const std::string& to) const;
  bool Heal(const std::string& to) const;
  Segment segment;
  std::string name, address, etcdLink, broker;
  int brokerPort = 1884;
  bool ready = false;
};

// The hosts of the frames `unit` received, in order ("10.77.1.2").
std::vector<std::string> Senders(LampUnitProcess& unit);

}  // namespace lamptest
