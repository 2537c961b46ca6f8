// lampd's HTTP side, served on the service's own loop: every request is
// read within limits set before a byte is kept (8 KiB of request line and
// headers, 4 KiB of body, chunked bodies counted as they come) and within
// a time limit from its first byte; connections are capped in total and
// per client. A client that holds a connection without finishing a request
// makes room for the next one; past the caps with every connection busy
// answering (or just made), a new one is answered 503 at once rather than
// kept waiting. A stream of events (the console's) stays open and is sent
// what Broadcast gives, within a bounded backlog; one client holds a
// share of the streams. Answers not read are bounded in total. Requests a browser sends
// from another site are refused (403), and so, when lampd asks nobody who
// they are, are those any client sends to a name that is not this
// machine's (DNS rebinding: a browser sends no Origin with a plain GET).
// Who may do what is the front's to say (Access).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http_request.h"
#include "lampd/config/config.h"
#include "net/event_loop.h"
#include "net/socket_layer.h"

namespace lampd {

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
  static constexpr std::chrono::seconds kRequestLimit{10};  // first byte to the whole request
  static constexpr std::chrono::seconds kIdleLimit{5};      // between requests on one connection
  static constexpr std::chrono::seconds kAnswerLimit{15};  // longer than any exchange and its queue
  static constexpr std::size_t kMostStreams = 64;
  static constexpr std::size_t kMostStreamsPerClient = 16;
  // Bytes of answers not yet read, over all connections (a shared body
  // counts once, where it is made): an answer past it is refused with 503,
  // so clients that do not read cost a bounded amount between them.
  static constexpr std::size_t kMostUnread = 32u << 20;
  // The kernel's send buffer of a connection (doubled by Linux): what it holds of an answer for
  // a client that does not read, and what one write copies at the most.
  static constexpr int kSendBuffer = 64 << 10;
  // Events a stream's reader has not taken yet, at the most: a reader that
  // falls this far behind is closed, and starts again from the whole plant.
  static constexpr std::size_t kStreamBacklog = 4 << 20;

  HttpServer(platform::EventLoop& loop, const HttpConfig& config, HttpHandler handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the address and starts serving; false with `error`.
  bool Start(std::string& error);
  // Stops taking requests and closes every connection.
  void Stop();
  // Sends `events` to every open stream.
  void Broadcast(const std::string& events);
  // Whether a stream answered to `peer` (a dotted address) now would be
  // taken: a handler asks before it makes the stream's start.
  bool MayStream(const std::string& peer) const;
  std::size_t Streams() const { return streams_; }

 private:
  struct Connection {
    platform::Socket socket;
    std::array<std::uint8_t, 4> client{};
    HttpRequestReader reader;
    bool answering = false;     // the request is with the handler
    bool streaming = false;     // answered with a stream that goes on
    std::size_t allowance = 0;  // a stream's most bytes not yet taken: its start and the backlog
    bool closeAfter = false;
    std::string out;  // the answer, as far as it is not sent
    std::size_t sent = 0;
    std::shared_ptr<const std::string> shared;  // sent after `out`
    std::size_t sharedSent = 0;
    std::string after;  // a stream's events that came while `shared` (its start) was being sent
    std::size_t counted = 0;  // of `out`, in unread_
    platform::EventLoop::TimerId deadline = 0;
    std::uint64_t order = 0;                      // accepted as the n-th
    std::chrono::steady_clock::time_point since;  // accepted then
  };

  void OnAccept();
  // Room for one more from `client`: false when every connection that
  // would have to go is busy answering.
  bool MakeRoom(const std::array<std::uint8_t, 4>& client);
  void OnReadable(std::uint64_t id);
  void OnWritable(std::uint64_t id);
  void Serve(std::uint64_t id);
  void Answer(std::uint64_t id, const HttpAnswer& answer);
  void SetDeadline(std::uint64_t id, std::chrono::seconds limit, int status);
  void Close(std::uint64_t id);
  // Why a stream for `client` would not be taken now; "" when it would.
  std::string StreamRefusal(const protocol::IpBytes& client) const;
  // `out` of a connection that is not a stream was sent, in part or whole.
  void Uncount(Connection& connection);

  platform::EventLoop& loop_;
  HttpConfig config_;
  HttpHandler handler_;
  platform::Socket listening_;
  std::map<std::uint64_t, Connection> connections_;
  std::map<std::array<std::uint8_t, 4>, std::size_t> perClient_, streamsOf_;
  std::size_t streams_ = 0;
  std::size_t unread_ = 0;  // bytes of answers (not streams) made and not yet sent
  std::uint64_t nextId_ = 1;
};

}  // namespace lampd
