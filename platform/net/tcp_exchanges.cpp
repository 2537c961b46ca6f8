#include "tcp_exchanges.h"

#ifndef _WIN32
#include <poll.h>
#endif

#include <cerrno>

namespace platform {
namespace {

using Step = TcpExchangeResult::Step;

std::string Duration(std::chrono::milliseconds limit) {
  if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + " s";
  return std::to_string(limit.count()) + " ms";
}

}  // namespace

std::string TcpExchangeResult::Reason() const {
  switch (failedAt) {
    case Step::kNone:
      return "";
    case Step::kSocket:
      return "no socket: " + ReasonText(reason);
    case Step::kConnect:
      return "no connection within " + Duration(connectLimit) + ": " + ReasonText(reason);
    case Step::kSend:
      if (reason == std::errc::connection_reset) {
        return "request not sent: the unit reset the connection as soon as it was made";
      }
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

TcpExchangeClient::TcpExchangeClient(EventLoop& loop, const TcpExchangeLimits& limits)
    : loop_(loop), limits_(limits) {
  // Where the loop watches only so many sockets, at most half of them at once.
  if (static_cast<std::size_t>(limits_.parallel) > EventLoop::kMostWatched / 2) {
    limits_.parallel = static_cast<int>(EventLoop::kMostWatched / 2);
  }
}

TcpExchangeClient::~TcpExchangeClient() {
  for (auto& [id, running] : running_) {
    loop_.Cancel(running.deadline);
    if (running.socket) loop_.Unwatch(running.socket.Handle());
  }
}

void TcpExchangeClient::Start(TcpExchange exchange, Callback done, bool first) {
  if (first) {
    waiting_.push_front({std::move(exchange), std::move(done)});
  } else {
    waiting_.push_back({std::move(exchange), std::move(done)});
  }
  StartWaiting();
}

void TcpExchangeClient::StartWaiting() {
  while (!waiting_.empty() && static_cast<int>(running_.size()) < limits_.parallel &&
         !outOfDescriptors_) {
    Pending next = std::move(waiting_.front());
    waiting_.pop_front();
    Begin(std::move(next));
  }
}

void TcpExchangeClient::Begin(Pending pending) {
  const std::uint64_t id = nextId_++;
  Underway& running = running_[id];
  running.pending = std::move(pending);
  const TcpExchange& exchange = running.pending.exchange;
  running.start = EventLoop::Clock::now();
  running.result.connectLimit = limits_.connect;
  running.result.replyTimeout = exchange.reply.count() > 0 ? exchange.reply : limits_.reply;
  running.result.replySize = limits_.replySize;

  running.socket = Socket::OpenStream();
  if (!running.socket && running_.size() > 1 &&
      (running.socket.LastErrorIs(EMFILE) || running.socket.LastErrorIs(ENFILE))) {
    // More at once than the process may hold: this one waits until another
    // closes. Only with nothing else open is a lack of descriptors its failure.
    outOfDescriptors_ = true;
    waiting_.push_front(std::move(running.pending));
    running_.erase(id);
    return;
  }
  if (!running.socket || !running.socket.SetNonBlocking(true)) {
    FailSoon(id, running, Step::kSocket, running.socket.LastError());
    return;
  }
  running.socket.StartConnect(exchange.to);
  if (running.socket.ConnectFailed()) {
    FailSoon(id, running, Step::kConnect, running.socket.LastError());
    return;
  }
  std::error_code refused;
  if (!loop_.Watch(
          running.socket.Handle(), POLLOUT, [this, id](short) { OnReady(id); }, &refused)) {
    FailSoon(id, running, Step::kSocket, refused);
    return;
  }
  running.deadline = loop_.After(limits_.connect, [this, id] { OnDeadline(id); });
}

void TcpExchangeClient::FailSoon(std::uint64_t id, Underway& running, Step failedAt,
                                 std::error_code reason) {
  running.socket.Close();  // the descriptor is free at once
  running.deadline = loop_.After(std::chrono::milliseconds(0),
                                 [this, id, failedAt, reason] { Finish(id, failedAt, reason); });
}

void TcpExchangeClient::OnReady(std::uint64_t id) {
  const auto found = running_.find(id);
  if (found == running_.end()) return;
  Underway& running = found->second;
  switch (running.step) {
    case Step::kConnect:
      if (!running.socket.FinishConnect()) {
        // A reset can only follow a connection that was made: the unit took
        // it and threw it away before the request could go.
        const bool reset = running.socket.LastErrorIs(ECONNRESET);
        Finish(id, reset ? Step::kSend : Step::kConnect, running.socket.LastError());
        return;
      }
      running.step = Step::kSend;
      Send(id);
      return;
    case Step::kSend:
      Send(id);
      return;
    default:
      Receive(id);
  }
}

void TcpExchangeClient::Send(std::uint64_t id) {
  Underway& running = running_.at(id);
  const auto& request = running.pending.exchange.request;
  if (running.sent == 0 && running.pending.exchange.mayWrite &&
      !running.pending.exchange.mayWrite()) {
    Finish(id, Step::kSend, std::make_error_code(std::errc::operation_canceled));
    return;
  }
  const long sent = running.socket.Send(std::span(request).subspan(running.sent));
  if (sent < 0) {
    if (!running.socket.LastErrorIs(EAGAIN)) Finish(id, Step::kSend, running.socket.LastError());
    return;
  }
  running.sent += static_cast<std::size_t>(sent);
  if (running.sent < request.size()) return;
  // All out: the reply's own time-out starts now.
  running.step = Step::kReply;
  loop_.Cancel(running.deadline);
  running.deadline = loop_.After(running.result.replyTimeout, [this, id] { OnDeadline(id); });
  loop_.Watch(running.socket.Handle(), POLLIN, [this, id](short) { OnReady(id); });
}

void TcpExchangeClient::Receive(std::uint64_t id) {
  Underway& running = running_.at(id);
  std::vector<std::uint8_t>& reply = running.result.reply;
  std::uint8_t chunk[256];
  const long got = running.socket.Receive(chunk);
  if (got < 0) {
    if (!running.socket.LastErrorIs(EAGAIN)) Finish(id, Step::kReply, running.socket.LastError());
    return;
  }
  if (got == 0) {
    running.result.peerClosed = true;
    Finish(id, Step::kReply);
    return;
  }
  reply.insert(reply.end(), chunk, chunk + got);
  if (reply.size() >= limits_.replySize) {
    reply.resize(limits_.replySize);  // anything more is not ours to read
    Finish(id, Step::kNone);
  }
}

void TcpExchangeClient::OnDeadline(std::uint64_t id) {
  const auto found = running_.find(id);
  if (found == running_.end()) return;
  // A reply that runs out of time says how much came; the rest say why.
  const Step step = found->second.step;
  Finish(id, step,
         step == Step::kReply ? std::error_code{} : std::make_error_code(std::errc::timed_out));
}

void TcpExchangeClient::Finish(std::uint64_t id, Step failedAt, std::error_code reason) {
  auto node = running_.extract(id);
  if (node.empty()) return;
  Underway& running = node.mapped();
  loop_.Cancel(running.deadline);
  if (running.socket) {
    loop_.Unwatch(running.socket.Handle());
    running.socket.Close();
  }
  TcpExchangeResult& result = running.result;
  result.failedAt = failedAt;
  if (failedAt != Step::kNone) result.reason = reason;
  result.ok = failedAt == Step::kNone;
  result.elapsed = EventLoop::Clock::now() - running.start;
  outOfDescriptors_ = false;  // one is free again
  running.pending.done(result);
  StartWaiting();
}

std::vector<TcpExchangeResult> RunTcpExchanges(const std::vector<TcpExchange>& exchanges,
                                               const TcpExchangeLimits& limits) {
  std::vector<TcpExchangeResult> results(exchanges.size());
  EventLoop loop;
  if (!loop) {
    for (TcpExchangeResult& result : results) {
      result.failedAt = Step::kSocket;
      result.reason = loop.Reason();
    }
    return results;
  }
  TcpExchangeClient client(loop, limits);
  for (std::size_t i = 0; i < exchanges.size(); ++i) {
    client.Start(exchanges[i],
                 [&results, i](const TcpExchangeResult& result) { results[i] = result; });
  }
  loop.RunUntilIdle();
  return results;
}

}  // namespace platform
