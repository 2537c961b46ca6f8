// Small test networks inside the private network (scripts/private-net
// --bare): the test process is the host, and each Segment is a network
// namespace of its own joined to the host by veth pairs, with simulated
// units in it. Nothing here reaches past the namespaces the test made.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace lamptest {

// Runs a command (`ip ...`) to its end; true when it succeeded, otherwise
// says why on standard error.
bool RunCommand(const std::vector<std::string>& command);

class Segment {
 public:
  Segment();
  ~Segment();
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  bool Ready() const { return holder_ > 0; }

  // A veth pair: `hostName` on the host with `hostCidr`, `segmentName` here
  // with `segmentCidr` ("192.168.1.10/24"), both up.
  bool Link(const std::string& hostName, const std::string& hostCidr,
            const std::string& segmentName, const std::string& segmentCidr);
  // Every address of `cidr` becomes this segment's own, for units to take.
  bool LocalRange(const std::string& cidr);
  // A command run inside the segment to its end.
  bool Run(std::vector<std::string> command) const;
  // What runs a program inside the segment: put it before the program.
  std::vector<std::string> Enter() const;

 private:
  pid_t holder_ = -1;  // keeps the namespace alive
};

}  // namespace lamptest
