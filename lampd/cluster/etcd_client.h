// etcd, reached through its JSON gateway (POST /v3/...) with libcurl's
// multi interface on lampd's own loop: no thread of its own, every call
// bounded in time and in the size of its answer, the next endpoint tried
// when one does not answer. A watch is one long call whose answer is a
// stream of JSON objects, each handed on as it comes.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lampd/core/state_document.h"
#include "net/event_loop.h"

namespace lampd {

struct EtcdOptions {
  std::vector<std::string> endpoints;  // "http://HOST:2379" or "https://..."
  // TLS as etcd's own clients take it: the CA that signed the members'
  // certificates, and this client's certificate and key where etcd asks for one.
  std::string caFile, certFile, keyFile;
  std::string username, password;  // etcd's own users, where it has auth enabled
};

class EtcdClient {
 public:
  // `error` empty: `body` is etcd's answer; else why there is none.
  using Done = std::function<void(const std::string& error, const Json& body)>;
  using Each = std::function<void(const Json& message)>;
  // The largest answer taken, and the largest message of a watch.
  static constexpr std::size_t kMostAnswer = 16u << 20;
  // Calls under way at once, at the most (streams aside); the rest wait
  // their turn, an urgent one first (a keep-alive does not wait behind a
  // thousand takes).
  static constexpr std::size_t kMostCalls = 8;

  EtcdClient(platform::EventLoop& loop, EtcdOptions options);
  ~EtcdClient();
  EtcdClient(const EtcdClient&) = delete;
  EtcdClient& operator=(const EtcdClient&) = delete;

  // False with `error` when libcurl cannot be made ready.
  bool Start(std::string& error);
  // POST `path` ("/v3/kv/txn") with `body`; `done` hears once, on the loop,
  // never inside Call. An endpoint that does not answer within `timeout`
  // makes way for the next, within the same time.
  void Call(const std::string& path, const Json& body, std::chrono::milliseconds timeout, Done done,
            bool urgent = false);
  // A watch (or any streaming call): `each` hears every message; `done`
  // when the stream ends, with why. Ends with the client or with Cancel.
  using StreamId = std::uint64_t;
  StreamId Stream(const std::string& path, const Json& body, Each each, Done done);
  void Cancel(StreamId stream);
  // The same, waiting for the answer: for a stop, when the loop runs no more.
  bool CallNow(const std::string& path, const Json& body, std::chrono::milliseconds timeout,
               std::string& error);
  // The endpoint that answered last, for the log.
  const std::string& Endpoint() const;

 private:
  struct Transfer;
  struct Curl;
  static std::size_t OnData(char* data, std::size_t size, std::size_t count, void* user);

  // With etcd's users, every call waits for a token first.
  void Authenticated(std::shared_ptr<Transfer> transfer);
  void Begin(std::shared_ptr<Transfer> transfer);
  void Finished(Transfer& transfer, const std::string& error);
  void Act(int socket, int flags);
  void Collect();

  platform::EventLoop& loop_;
  EtcdOptions options_;
  std::unique_ptr<Curl> curl_;
  std::size_t endpoint_ = 0;  // the one tried first
  std::uint64_t next_ = 0;
  std::map<void*, std::shared_ptr<Transfer>> transfers_;  // by easy handle
  platform::EventLoop::TimerId timer_ = 0;
  std::size_t calls_ = 0;  // under way
  std::deque<std::shared_ptr<Transfer>> waiting_;
  std::string token_;  // etcd's auth token, once authenticated
  bool authenticating_ = false;
  std::vector<std::shared_ptr<Transfer>> waitingForToken_;
};

// Keys and values travel in base64 in the gateway's JSON.
std::string Base64(const std::string& bytes);
// False when `text` is no base64.
bool FromBase64(const std::string& text, std::string& bytes);
// The end of the range of keys that start with `prefix`.
std::string PrefixEnd(std::string prefix);

}  // namespace lampd
