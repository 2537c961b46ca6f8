// Fair shares of the command path. Every front, and each client within one
// (a Modbus client or HTTP peer by its address, an MQTT client by the name
// its payload gives), draws its commands from a bucket of its own that
// refills at a steady rate: a flood from one is refused, counted and
// summarised, while every other client's and front's commands go on to
// their units. Pure: the caller says what time it is.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace lampd {

struct ShareLimit {
  double perSecond = 0;
  double burst = 0;  // taken at once from a full bucket
};

class Shares {
 public:
  using Clock = std::chrono::steady_clock;
  // A client: a PLC renewing a hold every scan, a script, an operator's page.
  static constexpr ShareLimit kClient{100, 200};
  // A front as a whole: every client of it, named or not.
  static constexpr ShareLimit kFront{1000, 2000};
  // Clients tracked at once; past it, a client is held to its front's share
  // alone until an idle one's bucket is forgotten.
  static constexpr std::size_t kMostClients = 4096;

  // Takes a command of `front` from `client` ("" when it names none) that
  // costs `cost` (the frames it makes: a group's members; at most a burst):
  // "" when it may go, else why not.
  std::string Take(std::string_view front, std::string_view client, Clock::time_point now,
                   std::size_t cost = 1);
  std::size_t Clients() const { return clients_.size(); }

 private:
  struct Bucket {
    double tokens = 0;
    Clock::time_point at{};
  };
  static bool Draw(Bucket& bucket, const ShareLimit& limit, Clock::time_point now, double cost);
  static bool Full(const Bucket& bucket, const ShareLimit& limit, Clock::time_point now);
  // Forgets the buckets of clients that have been idle long enough to be full again.
  void ForgetIdle(Clock::time_point now);

  std::map<std::string, Bucket, std::less<>> fronts_, clients_;
  Clock::time_point lastForgot_{};
};

}  // namespace lampd
