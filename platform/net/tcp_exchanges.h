// Many TCP request/reply exchanges at once on one thread: for each, connect
// within a limit, send the request whole, then gather the reply until it is
// complete or its time-out passes. Non-blocking sockets and poll; at most
// `parallel` connections are open at a time, so a thousand units cost a
// second, not a thousand.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "socket_layer.h"

namespace platform {

struct TcpExchange {
  SocketAddress to;
  std::vector<std::uint8_t> request;
};

struct TcpExchangeResult {
  enum class Step { kNone, kSocket, kConnect, kSend, kReply };
  bool ok = false;
  std::vector<std::uint8_t> reply;  // what came, complete when ok
  Step failedAt = Step::kNone;
  std::error_code reason;   // of a failed socket, connect or send
  bool peerClosed = false;  // the reply ended because the peer closed
  std::chrono::duration<double> elapsed{};

  // Why it failed, as a person reads it: "no connection within 1 s:
  // connection refused", "short reply: 3 of 8 bytes within 300 ms".
  std::string Reason(std::chrono::milliseconds connectLimit, std::chrono::milliseconds replyTimeout,
                     std::size_t replySize) const;
};

struct TcpExchangeLimits {
  std::chrono::milliseconds connect{1000};
  std::chrono::milliseconds reply{300};  // counted from the end of the send
  std::size_t replySize = 8;
  int parallel = 256;
};

// Runs every exchange; the results in the order of `exchanges`.
std::vector<TcpExchangeResult> RunTcpExchanges(const std::vector<TcpExchange>& exchanges,
                                               const TcpExchangeLimits& limits);

}  // namespace platform
