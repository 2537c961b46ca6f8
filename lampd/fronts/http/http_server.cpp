#include "http_server.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "lampd/core/log.h"
#include "protocol/text_format.h"
#include "protocol/unit_address.h"

namespace lampd {

struct HttpServer::Daemon {
  struct Stopper {
    void operator()(MHD_Daemon* daemon) const { MHD_stop_daemon(daemon); }
  };
  std::unique_ptr<MHD_Daemon, Stopper> mhd;
  int epoll = -1;
  platform::EventLoop::TimerId timer = 0;
  std::size_t connections = 0;
};

struct HttpServer::Connection {
  HttpServer* server = nullptr;
  std::uint64_t id = 0;
  MHD_Connection* mhd = nullptr;
  Daemon* daemon = nullptr;
  int fd = -1;
  protocol::IpBytes client{};
  std::chrono::steady_clock::time_point since;
  bool ending = false;      // lampd closes it: not counted, nothing more served
  bool suspended = false;   // the library waits for lampd (an answer, a stream's events)
  bool watched = false;     // lampd watches a suspended stream for its reader leaving
  bool answering = false;   // the request is with the handler
  bool streaming = false;   // answered with a stream that goes on
  bool closeAfter = false;  // the answer ends the connection
  bool queued = false;      // this request is answered: what more comes is let go
  HttpRequest request;
  std::optional<HttpAnswer> later;  // an answer that came while suspended
  std::size_t counted = 0;          // of the answer, in unread_
  platform::EventLoop::TimerId deadline = 0;
  // A stream: its start, shared, then its own events, sent as the reader takes them.
  std::shared_ptr<const std::string> shared;
  std::size_t sharedSent = 0;
  std::string out;
  std::size_t sent = 0;
  std::size_t allowance = 0;  // its most bytes not yet taken
};

namespace {

std::string ErrorBody(const std::string& why) {
  return nlohmann::json{{"error", why}}.dump(-1, ' ', false,
                                             nlohmann::json::error_handler_t::replace) +
         "\n";
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
std::string CrossSite(const HttpRequest& request, bool asked, bool tls) {
  const std::string_view site = Header(request, "sec-fetch-site");
  const std::string_view origin = Header(request, "origin");
  const std::string_view host = Header(request, "host");
  if (site == "cross-site" || site == "same-site") return "requests from other sites are not taken";
  if (!origin.empty() && origin != (tls ? "https://" : "http://") + std::string(host)) {
    return "requests from other sites are not taken";
  }
  if (!asked && !host.empty() && !LocalHost(host)) {
    return "without a token, lampd is reached by its address, localhost or this host's name only";
  }
  return "";
}

// One fewer of `client`'s; a client with none is not kept.
void Decrease(std::map<protocol::IpBytes, std::size_t>& counts, const protocol::IpBytes& client) {
  if (const auto mine = counts.find(client); mine != counts.end() && --mine->second == 0) {
    counts.erase(mine);
  }
}

// TLS 1.2 and 1.3 only, with GnuTLS's own choice of everything else.
constexpr const char* kTlsPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
// The library's own caps, behind lampd's: room for connections being ended.
constexpr unsigned kSlack = 64;

}  // namespace

// The library's calls, each handed the server or the connection it was given.
struct HttpCallbacks {
  static void Notify(void* server, MHD_Connection* mhd, void** context,
                     MHD_ConnectionNotificationCode code) {
    auto& self = *static_cast<HttpServer*>(server);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) return self.OnStarted(mhd, context);
    if (*context != nullptr) self.OnClosed(*static_cast<HttpServer::Connection*>(*context));
  }
  static MHD_Result Request(void* server, MHD_Connection* mhd, const char* url, const char* method,
                            const char*, const char* upload, std::size_t* uploadSize,
                            void** request) {
    auto* connection = Of(mhd);
    if (connection == nullptr) return MHD_NO;
    const int taken = static_cast<HttpServer*>(server)->OnRequest(*connection, url, method, upload,
                                                                  uploadSize, request);
    return taken != 0 ? MHD_YES : MHD_NO;
  }
  static void Completed(void* server, MHD_Connection* mhd, void**, MHD_RequestTerminationCode) {
    if (auto* connection = Of(mhd)) static_cast<HttpServer*>(server)->OnCompleted(*connection);
  }
  static ssize_t Stream(void* connection, std::uint64_t, char* into, std::size_t most) {
    auto& self = *static_cast<HttpServer::Connection*>(connection);
    return self.daemon == nullptr ? MHD_CONTENT_READER_END_WITH_ERROR
                                  : self.server->ReadStream(self, into, most);
  }
  static void Unshare(void* shared) {
    // Takes back the reference a shared body's answer held.
    std::unique_ptr<std::shared_ptr<const std::string>>(
        static_cast<std::shared_ptr<const std::string>*>(shared));
  }
  static HttpServer::Connection* Of(MHD_Connection* mhd) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info == nullptr ? nullptr : static_cast<HttpServer::Connection*>(info->socket_context);
  }
};

bool OpenPath(const std::string& path) {
  return path == "/metrics" || path == "/" || path.starts_with("/console/");
}

HttpServer::HttpServer(platform::EventLoop& loop, const HttpConfig& config, HttpHandler handler)
    : loop_(loop), config_(config), handler_(std::move(handler)) {}

HttpServer::~HttpServer() { Stop(); }

std::unique_ptr<HttpServer::Daemon> HttpServer::MakeDaemon(const std::optional<TlsFiles>& tls,
                                                           std::string& error) {
  auto daemon = std::make_unique<Daemon>();
  const unsigned flags = MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET | MHD_ALLOW_SUSPEND_RESUME |
                         (tls ? static_cast<unsigned>(MHD_USE_TLS) : 0u);
  const MHD_OptionItem secure[] = {
      {MHD_OPTION_HTTPS_MEM_CERT, 0, tls ? const_cast<char*>(tls->certificate.c_str()) : nullptr},
      {MHD_OPTION_HTTPS_MEM_KEY, 0, tls ? const_cast<char*>(tls->key.c_str()) : nullptr},
      {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)},
      {MHD_OPTION_END, 0, nullptr}};
  const MHD_OptionItem plain[] = {{MHD_OPTION_END, 0, nullptr}};
  daemon->mhd.reset(MHD_start_daemon(
      flags, 0, nullptr, nullptr, &HttpCallbacks::Request, this, MHD_OPTION_NOTIFY_CONNECTION,
      &HttpCallbacks::Notify, this, MHD_OPTION_NOTIFY_COMPLETED, &HttpCallbacks::Completed, this,
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(kMostConnections) + kSlack,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(kMostPerClient) + kSlack,
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kIdleLimit.count()),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<std::size_t>(tls ? kTlsConnectionMemory : kConnectionMemory), MHD_OPTION_ARRAY,
      tls ? secure : plain, MHD_OPTION_END));
  const MHD_DaemonInfo* info =
      daemon->mhd ? MHD_get_daemon_info(daemon->mhd.get(), MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
  if (info == nullptr) {
    error = tls ? "HTTPS: the TLS library refused the certificate or key"
                : "HTTP: cannot start the HTTP library";
    return nullptr;
  }
  daemon->epoll = info->epoll_fd;
  if (!loop_.Watch(daemon->epoll, POLLIN, [this](short) { RunDaemons(); })) {
    error = "HTTP: cannot watch the HTTP library's descriptor";
    return nullptr;
  }
  return daemon;
}

bool HttpServer::Start(std::string& error, std::optional<TlsFiles> tls) {
  tls_ = std::move(tls);
  const std::string where = protocol::UnitAddress{config_.address, config_.port}.Text();
  auto daemon = MakeDaemon(tls_, error);
  if (!daemon) return false;
  // Not SO_REUSEPORT: a second lampd on the same port must fail to start,
  // not share the requests at random.
  listening_ = platform::Socket::OpenListening(
      platform::SocketAddress::FromBytes(config_.address, config_.port), SOMAXCONN);
  if (!listening_ || !loop_.Watch(listening_.Handle(), POLLIN, [this](short) { OnAccept(); })) {
    error = "HTTP: cannot listen on " + where + ": " + platform::ReasonText(listening_.LastError());
    listening_.Close();
    loop_.Unwatch(daemon->epoll);
    return false;
  }
  daemons_.push_back(std::move(daemon));
  return true;
}

bool HttpServer::Renew(const TlsFiles& tls, std::string& error) {
  if (!tls_ || tls == *tls_ || daemons_.empty()) return true;
  auto daemon = MakeDaemon(tls, error);
  if (!daemon) return false;
  tls_ = tls;
  // Two at the most: one that still ends its connections, one for new ones.
  while (daemons_.size() > 1) StopDaemon(*daemons_.front());
  daemons_.push_back(std::move(daemon));
  return true;
}

void HttpServer::StopDaemon(Daemon& daemon) {
  // The library may not be stopped with connections suspended: each is
  // resumed to be ended, and the library run once more to let them go.
  for (auto& [id, connection] : connections_) {
    if (connection->daemon == &daemon) End(*connection);
  }
  MHD_run(daemon.mhd.get());
  for (auto& [id, connection] : connections_) {
    if (connection->daemon == &daemon) connection->daemon = nullptr;
  }
  loop_.Unwatch(daemon.epoll);
  loop_.Cancel(daemon.timer);
  const auto found = std::find_if(daemons_.begin(), daemons_.end(),
                                  [&](const auto& kept) { return kept.get() == &daemon; });
  daemons_.erase(found);  // stops the library: what is left of its connections closes
}

void HttpServer::Stop() {
  if (listening_) {
    loop_.Unwatch(listening_.Handle());
    listening_.Close();
  }
  while (!daemons_.empty()) StopDaemon(*daemons_.front());
  for (auto& [id, connection] : connections_) loop_.Cancel(connection->deadline);
  connections_.clear();
  perClient_.clear();
  streamsOf_.clear();
  counted_ = streams_ = unread_ = 0;
  loop_.Cancel(runTimer_);
  runTimer_ = 0;
}

void HttpServer::OnAccept() {
  for (;;) {
    platform::SocketAddress peer;
    platform::Socket socket = listening_.Accept(peer);
    if (!socket) break;
    const auto client = peer.Bytes();
    if (daemons_.empty() || !MakeRoom(client)) continue;  // closed at once: every one is busy
    int yes = 1;  // an answer goes at once, not after the ACK of its head
    ::setsockopt(socket.Handle(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    ::setsockopt(socket.Handle(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(peer.Port());
    std::memcpy(&address.sin_addr, client.data(), client.size());
    // The library owns the descriptor from here, and closes it if it refuses it.
    MHD_add_connection(daemons_.back()->mhd.get(), socket.Release(),
                       reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  RunDaemons();
}

bool HttpServer::MakeRoom(const protocol::IpBytes& client) {
  const auto full = [&] {
    const auto mine = perClient_.find(client);
    return counted_ >= kMostConnections ||
           (mine != perClient_.end() && mine->second >= kMostPerClient);
  };
  while (full()) {
    // The oldest connection without a request under way goes: of this
    // client when it is over its share, else of anyone.
    const bool own = counted_ < kMostConnections;
    const auto settled = std::chrono::steady_clock::now() - kEvictableAfter;
    Connection* oldest = nullptr;
    for (auto& [id, connection] : connections_) {
      if (connection->since > settled) break;  // ids grow with the order of acceptance
      if (connection->ending || connection->answering || connection->streaming ||
          (own && connection->client != client)) {
        continue;
      }
      oldest = connection.get();
      break;
    }
    if (oldest == nullptr) return false;
    End(*oldest);
  }
  return true;
}

void HttpServer::RunDaemons() {
  if (running_) return RunSoon();  // asked from inside the library's own call
  running_ = true;
  loop_.Cancel(runTimer_);
  runTimer_ = 0;
  for (auto& daemon : daemons_) {
    MHD_run(daemon->mhd.get());
    loop_.Cancel(daemon->timer);
    daemon->timer = 0;
    MHD_UNSIGNED_LONG_LONG wait = 0;
    if (MHD_get_timeout(daemon->mhd.get(), &wait) == MHD_YES) {
      daemon->timer = loop_.After(std::chrono::milliseconds(wait), [this] { RunDaemons(); });
    }
  }
  running_ = false;
  // A draining library whose connections have all ended goes.
  while (daemons_.size() > 1 && daemons_.front()->connections == 0) StopDaemon(*daemons_.front());
}

void HttpServer::RunSoon() {
  if (runTimer_ == 0)
    runTimer_ = loop_.After(std::chrono::milliseconds(0), [this] {
      runTimer_ = 0;
      RunDaemons();
    });
}

void HttpServer::OnStarted(MHD_Connection* mhd, void** context) {
  const MHD_ConnectionInfo* fd = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CONNECTION_FD);
  const MHD_ConnectionInfo* address =
      MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  const MHD_ConnectionInfo* daemon = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_DAEMON);
  auto connection = std::make_unique<Connection>();
  connection->server = this;
  connection->id = nextId_++;
  connection->mhd = mhd;
  connection->fd = fd ? fd->connect_fd : -1;
  if (address && address->client_addr && address->client_addr->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address->client_addr);
    std::memcpy(connection->client.data(), &in->sin_addr, connection->client.size());
  }
  for (auto& kept : daemons_) {
    if (daemon && kept->mhd.get() == daemon->daemon) connection->daemon = kept.get();
  }
  if (connection->daemon != nullptr) ++connection->daemon->connections;
  connection->since = std::chrono::steady_clock::now();
  connection->request.peer = protocol::DottedText(connection->client);
  ++perClient_[connection->client];
  ++counted_;
  *context = connection.get();
  Connection& made = *connection;
  connections_[made.id] = std::move(connection);
  SetDeadline(made, kRequestLimit);
}

void HttpServer::OnClosed(Connection& connection) {
  Discount(connection);
  Uncount(connection);
  if (connection.streaming) {
    --streams_;
    Decrease(streamsOf_, connection.client);
  }
  if (connection.daemon != nullptr) --connection.daemon->connections;
  loop_.Cancel(connection.deadline);
  Unwatch(connection);
  connections_.erase(connection.id);
}

void HttpServer::Discount(Connection& connection) {
  if (connection.ending) return;
  connection.ending = true;
  --counted_;
  Decrease(perClient_, connection.client);
}

void HttpServer::SetDeadline(Connection& connection, std::chrono::seconds limit) {
  loop_.Cancel(connection.deadline);
  connection.deadline = loop_.After(limit, [this, id = connection.id] {
    const auto found = connections_.find(id);
    if (found == connections_.end()) return;
    found->second->deadline = 0;
    End(*found->second);
    RunDaemons();
  });
}

void HttpServer::End(Connection& connection) {
  Discount(connection);
  // The library sees the connection end on its next run; one it holds
  // back is let go, to be refused.
  if (connection.fd >= 0) ::shutdown(connection.fd, SHUT_RDWR);
  Resume(connection);
  RunSoon();
}

void HttpServer::Suspend(Connection& connection) {
  MHD_suspend_connection(connection.mhd);
  connection.suspended = true;
  if (connection.streaming) WatchReader(connection);
}

void HttpServer::Resume(Connection& connection) {
  if (!connection.suspended) return;
  Unwatch(connection);
  connection.suspended = false;
  MHD_resume_connection(connection.mhd);
  RunSoon();
}

int HttpServer::OnRequest(Connection& connection, const char* url, const char* method,
                          const char* upload, std::size_t* uploadSize, void** request) {
  if (connection.ending) return 0;
  HttpRequest& asked = connection.request;
  if (*request == nullptr) {
    // The head has come: the body, if any, follows in the calls after.
    *request = &connection;
    asked.method = method;
    asked.path = url;
    asked.body.clear();
    asked.headers.clear();
    asked.query.clear();
    asked.person.reset();
    MHD_get_connection_values(
        connection.mhd, MHD_HEADER_KIND,
        [](void* into, MHD_ValueKind, const char* name, const char* value) {
          static_cast<HttpRequest*>(into)->headers[protocol::LowerCase(name)] = value ? value : "";
          return MHD_YES;
        },
        &asked);
    MHD_get_connection_values(
        connection.mhd, MHD_GET_ARGUMENT_KIND,
        [](void* into, MHD_ValueKind, const char* name, const char* value) {
          static_cast<HttpRequest*>(into)->query[name] = value ? value : "";
          return MHD_YES;
        },
        &asked);
    const auto length = asked.headers.find("content-length");
    if (length != asked.headers.end() &&
        (length->second.size() > 9 || std::stoul("0" + length->second) > kBodyLimit)) {
      connection.closeAfter = true;
      Queue(connection,
            {413, ErrorBody("a body is " + std::to_string(kBodyLimit) + " bytes at the most")});
    }
    return 1;
  }
  if (connection.queued) {
    // Answered early (413): the rest of its body is not kept, nor handled.
    *uploadSize = 0;
    return 1;
  }
  if (*uploadSize != 0) {
    // A chunked body past the limit is not read on: the connection ends.
    if (asked.body.size() + *uploadSize > kBodyLimit) return 0;
    asked.body.append(upload, *uploadSize);
    *uploadSize = 0;
    return 1;
  }
  if (connection.later) {
    // The answer that came while the library waited.
    HttpAnswer answer = std::move(*connection.later);
    connection.later.reset();
    Queue(connection, std::move(answer));
    return 1;
  }
  if (connection.answering) {
    // Resumed with no answer yet: still waiting.
    Suspend(connection);
    return 1;
  }
  // The whole request: the deadline is now the answer's.
  if (!OpenPath(asked.path)) {
    const bool told = !config_.token.empty() || !config_.usersFile.empty();
    if (const std::string why = CrossSite(asked, told, tls_.has_value()); !why.empty()) {
      connection.closeAfter = true;
      Queue(connection, {403, ErrorBody(why)});
      return 1;
    }
  }
  connection.answering = true;
  SetDeadline(connection, kAnswerLimit);
  // An answer given before the handler returns is queued at once; one
  // given later wakes the connection the library was told to hold.
  struct Early {
    bool open = true;
    std::optional<HttpAnswer> answer;
  };
  const auto early = std::make_shared<Early>();
  handler_(asked, [this, id = connection.id, early](HttpAnswer answer) {
    if (early->open) {
      early->answer = std::move(answer);
      return;
    }
    const auto found = connections_.find(id);
    if (found == connections_.end() || !found->second->answering || found->second->ending) {
      return;  // the client went meanwhile
    }
    found->second->later = std::move(answer);
    Resume(*found->second);
  });
  early->open = false;
  if (early->answer) {
    Queue(connection, std::move(*early->answer));
  } else {
    Suspend(connection);
  }
  return 1;
}

void HttpServer::Queue(Connection& connection, HttpAnswer answer) {
  connection.answering = false;
  connection.queued = true;
  if (const std::string why = answer.stream ? StreamRefusal(connection.client) : ""; !why.empty()) {
    answer = {503, ErrorBody(why)};
  } else if (!answer.stream && unread_ + answer.body.size() > kMostUnread) {
    answer = {503, ErrorBody("lampd holds " + std::to_string(kMostUnread >> 20) +
                             " MiB of answers its clients have not read; try again later")};
    connection.closeAfter = true;
  }
  MHD_Response* made = nullptr;
  if (answer.stream) {
    // Open until either side ends it: no deadline.
    connection.streaming = true;
    ++streams_;
    ++streamsOf_[connection.client];
    loop_.Cancel(connection.deadline);
    connection.deadline = 0;
    connection.shared = answer.shared;
    connection.sharedSent = 0;
    connection.out = answer.shared ? "" : std::move(answer.body);
    connection.sent = 0;
    // A stream's start (the whole plant, megabytes) may take a slow reader a
    // while: the backlog counts on top of it.
    connection.allowance = connection.out.size() +
                           (connection.shared ? connection.shared->size() : 0) + kStreamBacklog;
    made = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 << 10, &HttpCallbacks::Stream,
                                             &connection, nullptr);
  } else if (answer.shared) {
    const std::string& body = *answer.shared;
    auto held = std::make_unique<std::shared_ptr<const std::string>>(answer.shared);
    made = MHD_create_response_from_buffer_with_free_callback_cls(
        body.size(), const_cast<char*>(body.data()), &HttpCallbacks::Unshare, held.get());
    if (made != nullptr) held.release();  // the answer holds the reference now
  } else {
    connection.counted = answer.body.size();
    unread_ += connection.counted;
    made = MHD_create_response_from_buffer(answer.body.size(), answer.body.data(),
                                           MHD_RESPMEM_MUST_COPY);
  }
  if (made == nullptr) {
    End(connection);
    return;
  }
  MHD_add_response_header(made, "Content-Type", answer.contentType.c_str());
  for (const auto& [name, value] : answer.headers) {
    MHD_add_response_header(made, name.c_str(), value.c_str());
  }
  if (answer.status == 401) MHD_add_response_header(made, "WWW-Authenticate", "Bearer");
  if (connection.closeAfter) MHD_add_response_header(made, "Connection", "close");
  MHD_queue_response(connection.mhd, static_cast<unsigned>(answer.status), made);
  MHD_destroy_response(made);  // the connection holds it until it is sent
}

void HttpServer::OnCompleted(Connection& connection) {
  Uncount(connection);
  connection.answering = false;
  connection.later.reset();
  connection.closeAfter = false;
  connection.queued = false;
  if (!connection.ending && !connection.streaming) SetDeadline(connection, kRequestLimit);
}

long HttpServer::ReadStream(Connection& connection, char* into, std::size_t most) {
  if (connection.ending) return MHD_CONTENT_READER_END_WITH_ERROR;
  std::size_t given = 0;
  if (connection.shared) {
    const std::string& start = *connection.shared;
    given = std::min(most, start.size() - connection.sharedSent);
    std::memcpy(into, start.data() + connection.sharedSent, given);
    connection.sharedSent += given;
    if (connection.sharedSent == start.size()) connection.shared.reset();
  }
  if (given < most && connection.sent < connection.out.size()) {
    const std::size_t more = std::min(most - given, connection.out.size() - connection.sent);
    std::memcpy(into + given, connection.out.data() + connection.sent, more);
    connection.sent += more;
    given += more;
  }
  if (connection.sent == connection.out.size()) {
    connection.out.clear();
    connection.sent = 0;
  }
  if (given == 0) {
    // All sent: the library waits until Broadcast has more.
    connection.allowance = kStreamBacklog;
    Suspend(connection);
  }
  return static_cast<long>(given);
}

// The library does not watch a suspended connection, so a reader that left
// would keep its stream, and its address's share, until the next events.
// A stream's reader sends nothing after its request: anything readable (its
// close, a TLS alert) ends the stream now.
void HttpServer::WatchReader(Connection& connection) {
  if (connection.fd < 0) return;
  connection.watched = loop_.Watch(connection.fd, POLLIN, [this, id = connection.id](short) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) return;
    End(*found->second);
    RunDaemons();
  });
}

void HttpServer::Unwatch(Connection& connection) {
  if (!connection.watched) return;
  connection.watched = false;
  loop_.Unwatch(connection.fd);
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
  std::size_t behind = 0;
  for (auto& [id, connection] : connections_) {
    if (!connection->streaming || connection->ending) continue;
    const std::size_t pending =
        connection->out.size() - connection->sent +
        (connection->shared ? connection->shared->size() - connection->sharedSent : 0);
    if (pending + events.size() > connection->allowance) {
      ++behind;
      End(*connection);
      continue;
    }
    connection->out += events;
    Resume(*connection);
  }
  if (behind != 0) {
    Log("HTTP: " + std::to_string(behind) + " stream reader(s) fell " +
        std::to_string(kStreamBacklog >> 20) + " MiB behind: closed");
  }
  RunDaemons();
}

}  // namespace lampd
