// lampd's HTTP side: libmicrohttpd (with GnuTLS for HTTPS) on the
// service's own loop, its epoll descriptor watched there. lampd accepts the
// connections itself and hands them to the library, so the caps in total and
// per client and who makes room are its own: a client that holds a
// connection without a request under way makes room for the next one; past
// the caps with every connection busy answering, a new one is closed at
// once rather than kept waiting. Each connection's memory is bounded by the
// library (request line and headers), its body by lampd (4 KiB), and a
// request must come whole within a time limit. A stream of events (the
// console's) stays open and is sent what Broadcast gives, within a bounded
// backlog; one client holds a share of the streams. Answers not read are
// bounded in total. Requests a browser sends from another site are refused
// (403), and so, when lampd asks nobody who they are, are those any client
// sends to a name that is not this machine's (DNS rebinding: a browser sends
// no Origin with a plain GET). Who may do what is the front's to say (Access).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lampd/config/config.h"
#include "net/event_loop.h"
#include "net/socket_layer.h"
#include "person.h"
#include "tls_files.h"

struct MHD_Connection;
struct MHD_Daemon;

namespace lampd {

struct HttpRequest {
  std::string method, path, body;              // path without its query
  std::map<std::string, std::string> headers;  // names in lower case
  std::map<std::string, std::string> query;    // decoded
  std::string peer;                            // the client's address, as the server saw it
  // Who sent it, once the front knows (nothing while lampd asks nobody).
  std::optional<Person> person;
};

struct HttpAnswer {
  HttpAnswer(int status = 200, std::string body = "", std::string contentType = "application/json",
             std::vector<std::pair<std::string, std::string>> headers = {})
      : status(status),
        body(std::move(body)),
        contentType(std::move(contentType)),
        headers(std::move(headers)) {}
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;  // more, such as a page's policy
  // The body is the start of a stream of events that Broadcast goes on with.
  bool stream = false;
  // A body many answers share (the metrics): sent after `body`, never copied
  // per connection, so a client that does not read holds only a reference.
  std::shared_ptr<const std::string> shared;
};

// The console's page and files and the metrics: open to all, as the page
// asks who the person is and Prometheus asks nobody.
bool OpenPath(const std::string& path);

// Runs on the loop; calls `answer` once, then or later, on the loop.
using HttpHandler = std::function<void(const HttpRequest&, std::function<void(HttpAnswer)> answer)>;

class HttpServer {
 public:
  static constexpr std::size_t kMostConnections = 1024;
  static constexpr std::size_t kMostPerClient = 256;
  // A connection younger than this is not closed to make room: a client that
  // has just connected is about to send its request.
  static constexpr std::chrono::seconds kEvictableAfter{1};
  // From the connection, or the answer before on it, to the whole request.
  static constexpr std::chrono::seconds kRequestLimit{10};
  static constexpr std::chrono::seconds kIdleLimit{5};     // without a byte either way
  static constexpr std::chrono::seconds kAnswerLimit{15};  // longer than any exchange and its queue
  // A connection's memory in the library: its request line and headers, and
  // the answer's head. Under TLS an answer is copied through it to be
  // encrypted, so it holds a few records a turn (a large answer took twice
  // as long through 16 KiB).
  static constexpr std::size_t kConnectionMemory = 16 << 10;
  static constexpr std::size_t kTlsConnectionMemory = 64 << 10;
  static constexpr std::size_t kBodyLimit = 4096;
  static constexpr std::size_t kMostStreams = 64;
  static constexpr std::size_t kMostStreamsPerClient = 16;
  // Bytes of answers not yet read, over all connections (a shared body
  // counts once, where it is made): an answer past it is refused with 503,
  // so clients that do not read cost a bounded amount between them.
  static constexpr std::size_t kMostUnread = 32u << 20;
  // The kernel's send buffer of a connection (doubled by Linux): what it holds of an answer for
  // a client that does not read.
  static constexpr int kSendBuffer = 64 << 10;
  // Events a stream's reader has not taken yet, at the most: a reader that
  // falls this far behind is closed, and starts again from the whole plant.
  static constexpr std::size_t kStreamBacklog = 4 << 20;

  // `config` says where to listen and whether anyone is asked who they are.
  HttpServer(platform::EventLoop& loop, const HttpConfig& config, HttpHandler handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the address and starts serving, HTTPS only when `tls` is given;
  // false with `error`.
  bool Start(std::string& error, std::optional<TlsFiles> tls = std::nullopt);
  // Stops taking requests and closes every connection.
  void Stop();
  // A renewed certificate: new connections are served with it, those open
  // finish with the old one. False with `error`, the old one kept.
  bool Renew(const TlsFiles& tls, std::string& error);
  // Sends `events` to every open stream.
  void Broadcast(const std::string& events);
  // Whether a stream answered to `peer` (a dotted address) now would be
  // taken: a handler asks before it makes the stream's start.
  bool MayStream(const std::string& peer) const;
  std::size_t Streams() const { return streams_; }

 private:
  struct Daemon;
  struct Connection;
  friend struct HttpCallbacks;

  std::unique_ptr<Daemon> MakeDaemon(const std::optional<TlsFiles>& tls, std::string& error);
  void OnAccept();
  void WatchReader(Connection& connection);
  void Unwatch(Connection& connection);
  // Room for one more from `client`: false when every connection that
  // would have to go is busy answering.
  bool MakeRoom(const protocol::IpBytes& client);
  // Runs the library on what is ready, then waits for its next time-out.
  void RunDaemons();
  void RunSoon();
  void StopDaemon(Daemon& daemon);
  // The library's calls.
  void OnStarted(MHD_Connection* mhd, void** context);
  void OnClosed(Connection& connection);
  int OnRequest(Connection& connection, const char* url, const char* method, const char* upload,
                std::size_t* uploadSize, void** request);
  void OnCompleted(Connection& connection);
  long ReadStream(Connection& connection, char* into, std::size_t most);
  void Queue(Connection& connection, HttpAnswer answer);
  // Ends a connection from lampd's side: the library closes it on its next run.
  void End(Connection& connection);
  // The connection no longer counts against the caps: it is ending.
  void Discount(Connection& connection);
  // The library holds the connection until Resume: an answer or a stream's events to come.
  void Suspend(Connection& connection);
  void Resume(Connection& connection);
  void SetDeadline(Connection& connection, std::chrono::seconds limit);
  // Why a stream for `client` would not be taken now; "" when it would.
  std::string StreamRefusal(const protocol::IpBytes& client) const;
  void Uncount(Connection& connection);

  platform::EventLoop& loop_;
  HttpConfig config_;
  std::optional<TlsFiles> tls_;
  HttpHandler handler_;
  platform::Socket listening_;
  // The newest serves new connections; an older one keeps those it has
  // until they end (a renewed certificate).
  std::vector<std::unique_ptr<Daemon>> daemons_;
  std::map<std::uint64_t, std::unique_ptr<Connection>> connections_;
  std::map<protocol::IpBytes, std::size_t> perClient_, streamsOf_;
  std::size_t counted_ = 0;  // connections not being ended
  std::size_t streams_ = 0;
  std::size_t unread_ = 0;  // bytes of answers (not streams) made and not yet sent
  std::uint64_t nextId_ = 1;
  platform::EventLoop::TimerId runTimer_ = 0;
  bool running_ = false;
};

}  // namespace lampd
