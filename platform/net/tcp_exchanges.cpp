#include "tcp_exchanges.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <list>
#include <optional>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
using Step = TcpExchangeResult::Step;

std::string Duration(std::chrono::milliseconds limit) {
  if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + " s";
  return std::to_string(limit.count()) + " ms";
}

// One exchange under way.
struct Running {
  std::size_t index;
  Socket socket;
  Step step = Step::kConnect;
  Clock::time_point start;
  Clock::time_point deadline;
  std::size_t sent = 0;
};

}  // namespace

std::string TcpExchangeResult::Reason(std::chrono::milliseconds connectLimit,
                                      std::chrono::milliseconds replyTimeout,
                                      std::size_t replySize) const {
  switch (failedAt) {
    case Step::kNone:
      return "";
    case Step::kSocket:
      return "no socket: " + ReasonText(reason);
    case Step::kConnect:
      return "no connection within " + Duration(connectLimit) + ": " + ReasonText(reason);
    case Step::kSend:
      return "request not sent: " + ReasonText(reason);
    case Step::kReply:
      break;
  }
  if (reply.empty()) {
    if (reason) return "no reply: " + ReasonText(reason);
    if (peerClosed) return "no reply: the unit closed the connection";
    return "no reply within " + Duration(replyTimeout);
  }
  std::string text = "short reply: " + std::to_string(reply.size()) + " of " +
                     std::to_string(replySize) + " bytes";
  if (reason) return text + ", then " + ReasonText(reason);
  if (peerClosed) return text + ", then the unit closed the connection";
  return text + " within " + Duration(replyTimeout);
}

std::vector<TcpExchangeResult> RunTcpExchanges(const std::vector<TcpExchange>& exchanges,
                                               const TcpExchangeLimits& limits) {
  std::vector<TcpExchangeResult> results(exchanges.size());
  std::list<Running> running;
  std::size_t next = 0;

  auto finish = [&](Running& exchange, Step failedAt, std::error_code reason = {}) {
    TcpExchangeResult& result = results[exchange.index];
    result.failedAt = failedAt;
    result.reason = reason;
    result.ok = failedAt == Step::kNone;
    result.elapsed = Clock::now() - exchange.start;
    exchange.socket.Close();
  };

  // Starts the next exchange; false when it ended at once.
  auto start = [&]() {
    const auto now = Clock::now();
    Running exchange{next++, Socket::OpenStream(), Step::kConnect, now, now + limits.connect, 0};
    if (!exchange.socket || !exchange.socket.SetNonBlocking(true)) {
      finish(exchange, Step::kSocket, exchange.socket.LastError());
      return;
    }
    exchange.socket.StartConnect(exchanges[exchange.index].to);
    if (exchange.socket.ConnectFailed()) {
      finish(exchange, Step::kConnect, exchange.socket.LastError());
      return;
    }
    running.push_back(std::move(exchange));
  };

  // Sends what is left of the request; on to the reply once it is all out.
  auto send = [&](Running& exchange) {
    const auto& request = exchanges[exchange.index].request;
    const long sent = exchange.socket.Send(std::span(request).subspan(exchange.sent));
    if (sent < 0) {
      if (exchange.socket.LastErrorIs(EAGAIN)) return;
      finish(exchange, Step::kSend, exchange.socket.LastError());
      return;
    }
    exchange.sent += static_cast<std::size_t>(sent);
    if (exchange.sent == request.size()) {
      exchange.step = Step::kReply;
      exchange.deadline = Clock::now() + limits.reply;
    }
  };

  auto receive = [&](Running& exchange) {
    TcpExchangeResult& result = results[exchange.index];
    std::uint8_t chunk[256];
    const long got = exchange.socket.Receive(chunk);
    if (got < 0) {
      if (exchange.socket.LastErrorIs(EAGAIN)) return;
      finish(exchange, Step::kReply, exchange.socket.LastError());
      return;
    }
    if (got == 0) {
      result.peerClosed = true;
      finish(exchange, Step::kReply);
      return;
    }
    result.reply.insert(result.reply.end(), chunk, chunk + got);
    if (result.reply.size() >= limits.replySize) {
      result.reply.resize(limits.replySize);  // anything more is not ours to read
      finish(exchange, Step::kNone);
    }
  };

  std::vector<pollfd> watched;
  while (next < exchanges.size() || !running.empty()) {
    while (next < exchanges.size() && static_cast<int>(running.size()) < limits.parallel) start();
    if (running.empty()) continue;

    watched.clear();
    Clock::time_point nearest = Clock::time_point::max();
    for (const Running& exchange : running) {
      const short events = exchange.step == Step::kReply ? POLLIN : POLLOUT;
      watched.push_back({exchange.socket.Handle(), events, 0});
      nearest = std::min(nearest, exchange.deadline);
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nearest - Clock::now());
    const int ready =
        ::poll(watched.data(), watched.size(), static_cast<int>(std::max<long>(wait.count(), 0)));
    if (ready < 0 && errno != EINTR) {
      const std::error_code reason(errno, std::generic_category());
      for (Running& exchange : running) finish(exchange, exchange.step, reason);
      running.clear();
      continue;
    }

    std::size_t i = 0;
    const auto now = Clock::now();
    for (auto exchange = running.begin(); exchange != running.end(); ++i) {
      const short revents = ready > 0 ? watched[i].revents : 0;
      if (revents != 0) {
        if (exchange->step == Step::kConnect) {
          if (exchange->socket.FinishConnect()) {
            exchange->step = Step::kSend;
            send(*exchange);
          } else {
            finish(*exchange, Step::kConnect, exchange->socket.LastError());
          }
        } else if (exchange->step == Step::kSend) {
          send(*exchange);
        } else {
          receive(*exchange);
        }
      }
      if (exchange->socket && now >= exchange->deadline) {
        // A reply that runs out of time says how much came; the rest say why.
        const std::error_code reason = exchange->step == Step::kReply
                                           ? std::error_code{}
                                           : std::make_error_code(std::errc::timed_out);
        finish(*exchange, exchange->step, reason);
      }
      exchange = exchange->socket ? std::next(exchange) : running.erase(exchange);
    }
  }
  return results;
}

}  // namespace platform
