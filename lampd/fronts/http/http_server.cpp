#include "http_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "lampd/core/log.h"
#include "protocol/text_format.h"
#include "protocol/unit_address.h"

namespace lampd {
namespace {

std::string ErrorBody(const std::string& why) {
  return nlohmann::json{{"error", why}}.dump(-1, ' ', false,
                                             nlohmann::json::error_handler_t::replace) +
         "\n";
}

std::string_view StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 202:
      return "Accepted";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 413:
      return "Content Too Large";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Status";
  }
}

std::string Response(const HttpAnswer& answer, bool close, bool challenge) {
  std::string text = "HTTP/1.1 " + std::to_string(answer.status) + " " +
                     std::string(StatusText(answer.status)) +
                     "\r\nContent-Type: " + answer.contentType + "\r\n";
  // A stream's body ends when the connection does.
  if (!answer.stream) {
    const std::size_t length = answer.shared ? answer.shared->size() : answer.body.size();
    text += "Content-Length: " + std::to_string(length) + "\r\n";
  }
  for (const auto& [name, value] : answer.headers) text += name + ": " + value + "\r\n";
  if (challenge) text += "WWW-Authenticate: Bearer\r\n";
  text += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
  return answer.shared ? text : text + answer.body;
}

std::string_view Header(const HttpRequest& request, const std::string& name) {
  const auto found = request.headers.find(name);
  return found == request.headers.end() ? std::string_view() : std::string_view(found->second);
}

// A name a page can only be reached by on this machine or by its address:
// "127.0.0.1:9730", "localhost", "[::1]", this host's own name.
bool LocalHost(std::string_view host) {
  if (host.starts_with("[::1]")) return true;
  const std::string name(host.substr(0, host.rfind(':')));
  protocol::IpBytes address{};
  if (name == "localhost" || protocol::ParseIpv4(name, address)) return true;
  char own[256] = {};
  return ::gethostname(own, sizeof own - 1) == 0 && name == own;
}

// Why a browser's request is not taken; "" when it is. Browsers say where a
// request comes from (Sec-Fetch-Site, Origin); other clients say nothing.
// Without a token every request must name lampd by an address, localhost or
// this host's name: a page on a rebinding DNS name sends its GETs with no
// Origin, and over plain HTTP with no Sec-Fetch-Site either.
std::string CrossSite(const HttpRequest& request, bool token) {
  const std::string_view site = Header(request, "sec-fetch-site");
  const std::string_view origin = Header(request, "origin");
  const std::string_view host = Header(request, "host");
  if (site == "cross-site" || site == "same-site") return "requests from other sites are not taken";
  if (!origin.empty() && origin != "http://" + std::string(host)) {
    return "requests from other sites are not taken";
  }
  if (!token && !host.empty() && !LocalHost(host)) {
    return "without a token, lampd is reached by its address, localhost or this host's name only";
  }
  return "";
}

}  // namespace

bool OpenPath(const std::string& path) {
  return path == "/metrics" || path == "/" || path.starts_with("/console/");
}

HttpServer::HttpServer(platform::EventLoop& loop, const HttpConfig& config, HttpHandler handler)
    : loop_(loop), config_(config), handler_(std::move(handler)) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(std::string& error) {
  const std::string where = protocol::UnitAddress{config_.address, config_.port}.Text();
  // Not SO_REUSEPORT: a second lampd on the same port must fail to start,
  // not share the requests at random.
  listening_ = platform::Socket::OpenListening(
      platform::SocketAddress::FromBytes(config_.address, config_.port), SOMAXCONN);
  if (!listening_ || !loop_.Watch(listening_.Handle(), POLLIN, [this](short) { OnAccept(); })) {
    error = "HTTP: cannot listen on " + where + ": " + platform::ReasonText(listening_.LastError());
    listening_.Close();
    return false;
  }
  return true;
}

void HttpServer::Stop() {
  if (listening_) {
    loop_.Unwatch(listening_.Handle());
    listening_.Close();
  }
  while (!connections_.empty()) Close(connections_.begin()->first);
}

void HttpServer::OnAccept() {
  for (;;) {
    platform::SocketAddress peer;
    platform::Socket socket = listening_.Accept(peer);
    if (!socket) return;
    const auto client = peer.Bytes();
    if (!MakeRoom(client)) {
      // Every connection is busy answering: this one is told so at once.
      const std::string busy = Response(
          {503, ErrorBody("lampd is answering as many requests as it takes")}, true, false);
      socket.Send({reinterpret_cast<const std::uint8_t*>(busy.data()), busy.size()});
      continue;
    }
    const std::uint64_t id = nextId_++;
    int yes = 1;  // an answer goes at once, not after the ACK of its head
    ::setsockopt(socket.Handle(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    ::setsockopt(socket.Handle(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    Connection& connection = connections_[id];
    connection.socket = std::move(socket);
    connection.client = client;
    connection.order = id;
    connection.since = std::chrono::steady_clock::now();
    ++perClient_[client];
    loop_.Watch(connection.socket.Handle(), POLLIN, [this, id](short revents) {
      if (revents & POLLOUT) OnWritable(id);
      if (connections_.contains(id) && (revents & (POLLIN | POLLERR | POLLHUP))) OnReadable(id);
    });
    SetDeadline(id, kIdleLimit, 408);
  }
}

bool HttpServer::MakeRoom(const std::array<std::uint8_t, 4>& client) {
  const auto full = [&] {
    const auto mine = perClient_.find(client);
    return connections_.size() >= kMostConnections ||
           (mine != perClient_.end() && mine->second >= kMostPerClient);
  };
  while (full()) {
    // The oldest connection without a request under way goes: of this
    // client when it is over its share, else of anyone.
    const bool own = connections_.size() < kMostConnections;
    const auto settled = std::chrono::steady_clock::now() - kEvictableAfter;
    auto oldest = connections_.end();
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
      if (it->second.since > settled) break;  // ids grow with the order of acceptance
      if (it->second.answering || it->second.streaming || (own && it->second.client != client)) {
        continue;
      }
      oldest = it;
      break;
    }
    if (oldest == connections_.end()) return false;
    Close(oldest->first);
  }
  return true;
}

void HttpServer::SetDeadline(std::uint64_t id, std::chrono::seconds limit, int status) {
  Connection& connection = connections_.at(id);
  loop_.Cancel(connection.deadline);
  connection.deadline = loop_.After(limit, [this, id, status] {
    const auto found = connections_.find(id);
    if (found == connections_.end()) return;
    found->second.deadline = 0;
    // A request cut short is told why; an idle connection just ends.
    if (status != 0 && found->second.reader.Started() && !found->second.answering) {
      found->second.closeAfter = true;
      Answer(id, {status, ErrorBody("the request did not come whole within " +
                                    std::to_string(kRequestLimit.count()) + " s")});
      return;
    }
    Close(id);
  });
}

void HttpServer::OnReadable(std::uint64_t id) {
  Connection& connection = connections_.at(id);
  std::uint8_t buffer[4096];
  const long got = connection.socket.Receive(buffer);
  if (got < 0 && connection.socket.LastErrorIs(EAGAIN)) return;
  if (got <= 0) return Close(id);
  if (connection.streaming) return;  // a stream's reader has nothing more to ask
  std::size_t used = 0;
  const bool fresh = !connection.reader.Started();
  const auto state = connection.reader.Feed(
      std::string_view(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(got)), used);
  if (fresh && connection.reader.Started()) SetDeadline(id, kRequestLimit, 408);
  if (state == HttpRequestReader::State::kFailed) {
    connection.closeAfter = true;
    return Answer(id, {connection.reader.FailStatus(), ErrorBody(connection.reader.FailReason())});
  }
  // Bytes past a whole request (pipelining) are not kept: it is answered, then closed.
  if (state == HttpRequestReader::State::kDone) {
    if (used < static_cast<std::size_t>(got)) connection.closeAfter = true;
    Serve(id);
  }
}

void HttpServer::Serve(std::uint64_t id) {
  Connection& connection = connections_.at(id);
  HttpRequest& request = connection.reader.Request();
  request.peer = protocol::DottedText(connection.client);
  connection.closeAfter = connection.closeAfter || !request.keepAlive;
  if (!OpenPath(request.path)) {
    const bool asked = !config_.token.empty() || !config_.usersFile.empty();
    if (const std::string why = CrossSite(request, asked); !why.empty()) {
      connection.closeAfter = true;
      return Answer(id, {403, ErrorBody(why)});
    }
  }
  connection.answering = true;
  SetDeadline(id, kAnswerLimit, 0);
  loop_.Watch(connection.socket.Handle(), 0, [this, id](short revents) {
    if (revents & POLLOUT) OnWritable(id);
  });
  handler_(request, [this, id, order = connection.order](HttpAnswer answer) {
    const auto found = connections_.find(id);
    if (found == connections_.end() || found->second.order != order || !found->second.answering) {
      return;  // the client went meanwhile
    }
    Answer(id, answer);
  });
}

void HttpServer::Answer(std::uint64_t id, const HttpAnswer& given) {
  Connection& connection = connections_.at(id);
  connection.answering = false;
  HttpAnswer answer = given;
  if (const std::string why = answer.stream ? StreamRefusal(connection.client) : ""; !why.empty()) {
    answer = {503, ErrorBody(why)};
  } else if (!answer.stream && unread_ + answer.body.size() > kMostUnread) {
    answer = {503, ErrorBody("lampd holds " + std::to_string(kMostUnread >> 20) +
                             " MiB of answers its clients have not read; try again later")};
    connection.closeAfter = true;
  }
  if (answer.stream) {
    // Open until either side ends it: no deadline, nothing more read.
    connection.streaming = true;
    connection.closeAfter = true;
    ++streams_;
    ++streamsOf_[connection.client];
    loop_.Cancel(connection.deadline);
    connection.deadline = 0;
  }
  connection.out = Response(answer, connection.closeAfter, answer.status == 401);
  connection.sent = 0;
  connection.shared = answer.shared;
  connection.sharedSent = 0;
  // A stream's start (the whole plant, megabytes) may take a slow reader a
  // while: the backlog counts on top of it.
  if (connection.streaming) {
    connection.allowance = connection.out.size() +
                           (connection.shared ? connection.shared->size() : 0) + kStreamBacklog;
  } else {
    connection.counted = connection.out.size();
    unread_ += connection.counted;
    SetDeadline(id, kRequestLimit, 0);
  }
  OnWritable(id);
}

std::string HttpServer::StreamRefusal(const protocol::IpBytes& client) const {
  if (streams_ >= kMostStreams) {
    return "lampd serves " + std::to_string(kMostStreams) + " streams already; try again later";
  }
  const auto mine = streamsOf_.find(client);
  if (mine != streamsOf_.end() && mine->second >= kMostStreamsPerClient) {
    return "this address holds " + std::to_string(kMostStreamsPerClient) +
           " streams already, its share; close one first";
  }
  return "";
}

bool HttpServer::MayStream(const std::string& peer) const {
  protocol::IpBytes client{};
  if (!protocol::ParseIpv4(peer, client)) return streams_ < kMostStreams;
  return StreamRefusal(client).empty();
}

void HttpServer::Uncount(Connection& connection) {
  unread_ -= connection.counted;
  connection.counted = 0;
}

void HttpServer::Broadcast(const std::string& events) {
  if (streams_ == 0) return;
  std::vector<std::uint64_t> behind, ready;
  for (auto& [id, connection] : connections_) {
    if (!connection.streaming) continue;
    const std::size_t pending =
        connection.out.size() - connection.sent + connection.after.size() +
        (connection.shared ? connection.shared->size() - connection.sharedSent : 0);
    if (pending + events.size() > connection.allowance) {
      behind.push_back(id);
      continue;
    }
    if (connection.shared) {
      connection.after += events;  // after the start, which many streams share
      continue;
    }
    if (connection.sent == connection.out.size()) ready.push_back(id);
    connection.out += events;
  }
  for (const std::uint64_t id : behind) {
    Log("HTTP: a stream's reader fell " + std::to_string(kStreamBacklog >> 20) +
        " MiB behind: closed");
    Close(id);
  }
  for (const std::uint64_t id : ready) OnWritable(id);
}

void HttpServer::OnWritable(std::uint64_t id) {
  Connection& connection = connections_.at(id);
  if (connection.out.empty() && !connection.shared) return;
  const auto waitWritable = [&] {
    loop_.Watch(connection.socket.Handle(), POLLOUT, [this, id](short revents) {
      if (revents & (POLLOUT | POLLERR | POLLHUP)) OnWritable(id);
    });
  };
  for (;;) {
    while (connection.sent < connection.out.size()) {
      const long sent = connection.socket.Send(
          {reinterpret_cast<const std::uint8_t*>(connection.out.data()) + connection.sent,
           connection.out.size() - connection.sent});
      if (sent < 0 && connection.socket.LastErrorIs(EAGAIN)) return waitWritable();
      if (sent <= 0) return Close(id);
      connection.sent += static_cast<std::size_t>(sent);
    }
    if (!connection.streaming) Uncount(connection);
    while (connection.shared && connection.sharedSent < connection.shared->size()) {
      const std::string& body = *connection.shared;
      const long sent = connection.socket.Send(
          {reinterpret_cast<const std::uint8_t*>(body.data()) + connection.sharedSent,
           body.size() - connection.sharedSent});
      if (sent < 0 && connection.socket.LastErrorIs(EAGAIN)) return waitWritable();
      if (sent <= 0) return Close(id);
      connection.sharedSent += static_cast<std::size_t>(sent);
    }
    connection.shared.reset();
    if (connection.after.empty()) break;
    // A stream's events that came during its start go now, in order.
    connection.out = std::move(connection.after);
    connection.after.clear();
    connection.sent = 0;
  }
  if (connection.streaming) {
    // All sent: wait for more, and hear when the reader goes.
    connection.out.clear();
    connection.sent = 0;
    connection.allowance = kStreamBacklog;
    loop_.Watch(connection.socket.Handle(), POLLIN, [this, id](short revents) {
      if (revents & POLLOUT) OnWritable(id);
      if (connections_.contains(id) && (revents & (POLLIN | POLLERR | POLLHUP))) OnReadable(id);
    });
    return;
  }
  if (connection.closeAfter) return Close(id);
  // Ready for the next request on the same connection.
  connection.out.clear();
  connection.reader = HttpRequestReader();
  SetDeadline(id, kIdleLimit, 0);
  loop_.Watch(connection.socket.Handle(), POLLIN, [this, id](short revents) {
    if (revents & POLLOUT) OnWritable(id);
    if (connections_.contains(id) && (revents & (POLLIN | POLLERR | POLLHUP))) OnReadable(id);
  });
}

void HttpServer::Close(std::uint64_t id) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  Connection& connection = found->second;
  Uncount(connection);
  if (connection.streaming) {
    --streams_;
    if (const auto mine = streamsOf_.find(connection.client);
        mine != streamsOf_.end() && --mine->second == 0) {
      streamsOf_.erase(mine);
    }
  }
  loop_.Cancel(connection.deadline);
  loop_.Unwatch(connection.socket.Handle());
  if (const auto mine = perClient_.find(connection.client);
      mine != perClient_.end() && --mine->second == 0) {
    perClient_.erase(mine);
  }
  connections_.erase(found);
}

}  // namespace lampd
