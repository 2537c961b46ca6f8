// TCP request/reply exchanges on the event loop, many at once: for each,
// connect within a limit, send the request whole, then gather the reply
// until it is complete or its time-out passes, and hand the result to a
// callback. At most `parallel` connections are open at a time, and never
// more than the process may hold; the rest wait their turn, so a thousand
// units cost a second, not a thousand.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "event_loop.h"
#include "socket_layer.h"

namespace platform {

struct TcpExchangeLimits {
  std::chrono::milliseconds connect{1000};
  std::chrono::milliseconds reply{300};  // counted from the end of the send
  std::size_t replySize = 8;
  int parallel = 256;
};

struct TcpExchange {
  SocketAddress to;
  std::vector<std::uint8_t> request;
  std::chrono::milliseconds reply{0};  // the reply's time-out; 0: the client's
  // Asked once connected, just before the request goes: false, and nothing
  // is sent (the exchange fails at the send with operation_canceled).
  std::function<bool()> mayWrite{};
};

struct TcpExchangeResult {
  enum class Step { kNone, kSocket, kConnect, kSend, kReply };
  bool ok = false;
  std::vector<std::uint8_t> reply;  // what came, complete when ok
  Step failedAt = Step::kNone;
  std::error_code reason;   // of a failed socket, connect or send
  bool peerClosed = false;  // the reply ended because the peer closed
  std::chrono::duration<double> elapsed{};
  // The limits the exchange ran under, for Reason.
  std::chrono::milliseconds connectLimit{}, replyTimeout{};
  std::size_t replySize = 0;

  // Why it failed, as a person reads it: "no connection within 1 s:
  // connection refused", "short reply: 3 of 8 bytes within 300 ms".
  std::string Reason() const;
};

// The exchanges of one loop. Callbacks run on the loop's thread, never
// inside Start; one may start further exchanges. The client must outlive
// the exchanges it runs (its destructor drops those under way unanswered).
class TcpExchangeClient {
 public:
  using Callback = std::function<void(const TcpExchangeResult&)>;

  TcpExchangeClient(EventLoop& loop, const TcpExchangeLimits& limits);
  ~TcpExchangeClient();
  TcpExchangeClient(const TcpExchangeClient&) = delete;
  TcpExchangeClient& operator=(const TcpExchangeClient&) = delete;

  // `first`: ahead of those waiting (a person's command before a poll round).
  void Start(TcpExchange exchange, Callback done, bool first = false);
  std::size_t Running() const { return running_.size(); }
  std::size_t Waiting() const { return waiting_.size(); }

 private:
  struct Pending {
    TcpExchange exchange;
    Callback done;
  };
  struct Underway {
    Pending pending;
    Socket socket;
    TcpExchangeResult::Step step = TcpExchangeResult::Step::kConnect;
    std::size_t sent = 0;
    EventLoop::Clock::time_point start;
    EventLoop::TimerId deadline = 0;
    TcpExchangeResult result;
  };

  void StartWaiting();
  void Begin(Pending pending);
  // A failure known as the exchange starts, told from the loop, not from Start.
  void FailSoon(std::uint64_t id, Underway& running, TcpExchangeResult::Step failedAt,
                std::error_code reason);
  void OnReady(std::uint64_t id);
  void Send(std::uint64_t id);
  void Receive(std::uint64_t id);
  void OnDeadline(std::uint64_t id);
  void Finish(std::uint64_t id, TcpExchangeResult::Step failedAt, std::error_code reason = {});

  EventLoop& loop_;
  TcpExchangeLimits limits_;
  std::deque<Pending> waiting_;
  std::map<std::uint64_t, Underway> running_;
  std::uint64_t nextId_ = 1;
  bool outOfDescriptors_ = false;  // starts wait until an exchange ends
};

// The blocking form: runs every exchange on a loop of its own; the results
// in the order of `exchanges`.
std::vector<TcpExchangeResult> RunTcpExchanges(const std::vector<TcpExchange>& exchanges,
                                               const TcpExchangeLimits& limits);

}  // namespace platform
