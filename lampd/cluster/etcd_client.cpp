#include "etcd_client.h"

#include <curl/curl.h>
#include <poll.h>
#include <sodium.h>

#include <deque>

#include "lampd/core/log.h"

namespace lampd {

using namespace std::chrono_literals;

namespace {

// A connection to an endpoint that does not come within this is given up
// for the next endpoint.
constexpr long kConnectMilliseconds = 1000;

}  // namespace

struct EtcdClient::Curl {
  CURLM* multi = nullptr;
  ~Curl() {
    if (multi) curl_multi_cleanup(multi);
  }
};

struct EtcdClient::Transfer {
  StreamId id = 0;
  std::string path, body;
  std::chrono::milliseconds timeout{0};  // 0: a stream, without an end
  Done done;
  Each each;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string answer;
  bool tooLarge = false;
  std::size_t tried = 0;  // endpoints tried
  bool urgent = false;
  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    if (headers) curl_slist_free_all(headers);
  }
};

EtcdClient::EtcdClient(platform::EventLoop& loop, EtcdOptions options)
    : loop_(loop), options_(std::move(options)), curl_(std::make_unique<Curl>()) {}

EtcdClient::~EtcdClient() {
  loop_.Cancel(timer_);
  for (auto& [easy, transfer] : transfers_) curl_multi_remove_handle(curl_->multi, easy);
  transfers_.clear();
}

bool EtcdClient::Start(std::string& error) {
  if (options_.endpoints.empty()) {
    error = "etcd: no endpoints";
    return false;
  }
  if (sodium_init() < 0 || curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    error = "etcd: libcurl or libsodium cannot be made ready";
    return false;
  }
  curl_->multi = curl_multi_init();
  if (!curl_->multi) {
    error = "etcd: libcurl cannot be made ready";
    return false;
  }
  using SocketCallback = int (*)(CURL*, curl_socket_t, int, void*, void*);
  using TimerCallback = int (*)(CURLM*, long, void*);
  const SocketCallback onSocket = [](CURL*, curl_socket_t socket, int what, void* self,
                                     void*) -> int {
    auto* client = static_cast<EtcdClient*>(self);
    if (what == CURL_POLL_REMOVE) {
      client->loop_.Unwatch(socket);
      return 0;
    }
    short events = 0;
    if (what & CURL_POLL_IN) events |= POLLIN;
    if (what & CURL_POLL_OUT) events |= POLLOUT;
    client->loop_.Watch(socket, events, [client, socket](short revents) {
      int flags = 0;
      if (revents & POLLIN) flags |= CURL_CSELECT_IN;
      if (revents & POLLOUT) flags |= CURL_CSELECT_OUT;
      if (revents & (POLLERR | POLLHUP)) flags |= CURL_CSELECT_ERR;
      client->Act(socket, flags);
    });
    return 0;
  };
  const TimerCallback onTimer = [](CURLM*, long milliseconds, void* self) -> int {
    auto* client = static_cast<EtcdClient*>(self);
    client->loop_.Cancel(client->timer_);
    client->timer_ = 0;
    if (milliseconds >= 0) {
      client->timer_ = client->loop_.After(std::chrono::milliseconds(milliseconds), [client] {
        client->timer_ = 0;
        client->Act(CURL_SOCKET_TIMEOUT, 0);
      });
    }
    return 0;
  };
  curl_multi_setopt(curl_->multi, CURLMOPT_SOCKETFUNCTION, onSocket);
  curl_multi_setopt(curl_->multi, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(curl_->multi, CURLMOPT_TIMERFUNCTION, onTimer);
  curl_multi_setopt(curl_->multi, CURLMOPT_TIMERDATA, this);
  return true;
}

const std::string& EtcdClient::Endpoint() const { return options_.endpoints[endpoint_]; }

void EtcdClient::Call(const std::string& path, const Json& body, std::chrono::milliseconds timeout,
                      Done done, bool urgent) {
  auto transfer = std::make_shared<Transfer>();
  transfer->path = path;
  transfer->body = Dump(body);
  transfer->timeout = std::max(timeout, 1ms);
  transfer->done = std::move(done);
  transfer->urgent = urgent;
  // Never inside Call: the caller's state is as it left it when it hears.
  loop_.Post([this, transfer] { Authenticated(transfer); });
}

EtcdClient::StreamId EtcdClient::Stream(const std::string& path, const Json& body, Each each,
                                        Done done) {
  auto transfer = std::make_shared<Transfer>();
  transfer->id = ++next_;
  transfer->path = path;
  transfer->body = Dump(body);
  transfer->each = std::move(each);
  transfer->done = std::move(done);
  loop_.Post([this, transfer] { Authenticated(transfer); });
  return transfer->id;
}

void EtcdClient::Cancel(StreamId stream) {
  for (auto it = transfers_.begin(); it != transfers_.end(); ++it) {
    if (it->second->id == stream) {
      curl_multi_remove_handle(curl_->multi, it->first);
      transfers_.erase(it);
      return;
    }
  }
}

void EtcdClient::Authenticated(std::shared_ptr<Transfer> transfer) {
  if (options_.username.empty() || !token_.empty()) return Begin(std::move(transfer));
  waitingForToken_.push_back(std::move(transfer));
  if (authenticating_) return;
  authenticating_ = true;
  auto asking = std::make_shared<Transfer>();
  asking->path = "/v3/auth/authenticate";
  asking->body = Dump({{"name", options_.username}, {"password", options_.password}});
  asking->timeout = 5s;
  asking->done = [this](const std::string& error, const Json& body) {
    authenticating_ = false;
    std::vector<std::shared_ptr<Transfer>> waiting = std::move(waitingForToken_);
    waitingForToken_.clear();
    const std::string token = error.empty() ? body.value("token", "") : "";
    for (auto& transfer : waiting) {
      if (token.empty()) {
        transfer->done(error.empty() ? "etcd: no token for user " + options_.username : error,
                       Json());
      } else {
        token_ = token;
        Begin(transfer);
      }
    }
  };
  Begin(asking);
}

void EtcdClient::Begin(std::shared_ptr<Transfer> transfer) {
  if (!curl_->multi) return transfer->done("etcd: the client was not started", Json());
  if (!transfer->each) {
    if (calls_ >= kMostCalls) {
      if (transfer->urgent) {
        waiting_.push_front(std::move(transfer));
      } else {
        waiting_.push_back(std::move(transfer));
      }
      return;
    }
    ++calls_;
  }
  if (transfer->easy) curl_easy_cleanup(transfer->easy);
  if (transfer->headers) curl_slist_free_all(transfer->headers);
  transfer->answer.clear();
  transfer->tooLarge = false;
  transfer->easy = curl_easy_init();
  transfer->headers = curl_slist_append(nullptr, "Content-Type: application/json");
  if (!token_.empty()) {
    transfer->headers = curl_slist_append(transfer->headers, ("Authorization: " + token_).c_str());
  }
  CURL* easy = transfer->easy;
  const std::string url =
      options_.endpoints[(endpoint_ + transfer->tried) % options_.endpoints.size()] +
      transfer->path;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->body.c_str());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(transfer->body.size()));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnData);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectMilliseconds);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(transfer->timeout.count()));
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  // A stream is silent while nothing changes: the connection itself is watched.
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPIDLE, 2L);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPINTVL, 1L);
  if (!options_.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options_.caFile.c_str());
  if (!options_.certFile.empty()) {
    curl_easy_setopt(easy, CURLOPT_SSLCERT, options_.certFile.c_str());
    curl_easy_setopt(easy, CURLOPT_SSLKEY, options_.keyFile.c_str());
  }
  transfers_[easy] = transfer;
  curl_multi_add_handle(curl_->multi, easy);
}

std::size_t EtcdClient::OnData(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  if (transfer->answer.size() + bytes > EtcdClient::kMostAnswer) {
    transfer->tooLarge = true;
    return 0;  // ends the transfer
  }
  transfer->answer.append(data, bytes);
  if (!transfer->each) return bytes;
  // A stream's messages, one a line.
  std::size_t start = 0;
  for (std::size_t end; (end = transfer->answer.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const Json message = Json::parse(transfer->answer.substr(start, end - start), nullptr, false);
    if (!message.is_discarded()) transfer->each(message);
  }
  transfer->answer.erase(0, start);
  return bytes;
}

void EtcdClient::Act(int socket, int flags) {
  int running = 0;
  curl_multi_socket_action(curl_->multi, socket, flags, &running);
  Collect();
}

void EtcdClient::Collect() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(curl_->multi, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    const auto found = transfers_.find(message->easy_handle);
    if (found == transfers_.end()) continue;
    std::shared_ptr<Transfer> transfer = found->second;
    transfers_.erase(found);
    if (!transfer->each) {
      --calls_;
      // The next call waiting takes its place (after this one's retry, if any).
      loop_.Post([this] {
        if (!waiting_.empty() && calls_ < kMostCalls) {
          auto next = std::move(waiting_.front());
          waiting_.pop_front();
          Begin(std::move(next));
        }
      });
    }
    curl_multi_remove_handle(curl_->multi, message->easy_handle);
    const CURLcode result = message->data.result;
    long status = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    std::string error;
    if (transfer->tooLarge) {
      error = "etcd: an answer over " + std::to_string(kMostAnswer >> 20) + " MiB";
    } else if (result != CURLE_OK) {
      error = std::string("etcd at ") +
              options_.endpoints[(endpoint_ + transfer->tried) % options_.endpoints.size()] + ": " +
              curl_easy_strerror(result);
      // Not reached, or no answer in time: the next endpoint, while one is left.
      if (++transfer->tried < options_.endpoints.size() && !transfer->each) {
        Begin(transfer);
        continue;
      }
    } else {
      endpoint_ = (endpoint_ + transfer->tried) % options_.endpoints.size();
    }
    Json body;
    if (error.empty() && !transfer->each) {
      body = Json::parse(transfer->answer, nullptr, false);
      if (body.is_discarded()) {
        error = "etcd: an answer that is no JSON";
      } else if (status != 200) {
        error = "etcd: HTTP " + std::to_string(status) + ": " +
                body.value("message", body.value("error", std::string("no reason given")));
      }
    }
    if (error.empty() && transfer->each) error = "etcd: the stream ended";
    // An expired token is asked for again at the next call.
    if (error.find("invalid auth token") != std::string::npos) token_.clear();
    transfer->done(error, body);
  }
}

bool EtcdClient::CallNow(const std::string& path, const Json& body,
                         std::chrono::milliseconds timeout, std::string& error) {
  for (std::size_t tried = 0; tried < options_.endpoints.size(); ++tried) {
    Transfer transfer;
    transfer.body = Dump(body);
    transfer.easy = curl_easy_init();
    transfer.headers = curl_slist_append(nullptr, "Content-Type: application/json");
    if (!token_.empty()) {
      transfer.headers = curl_slist_append(transfer.headers, ("Authorization: " + token_).c_str());
    }
    const std::string url =
        options_.endpoints[(endpoint_ + tried) % options_.endpoints.size()] + path;
    CURL* easy = transfer.easy;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer.body.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnData);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    if (!options_.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options_.caFile.c_str());
    if (!options_.certFile.empty()) {
      curl_easy_setopt(easy, CURLOPT_SSLCERT, options_.certFile.c_str());
      curl_easy_setopt(easy, CURLOPT_SSLKEY, options_.keyFile.c_str());
    }
    const CURLcode result = curl_easy_perform(easy);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (result == CURLE_OK && status == 200) return true;
    error = result != CURLE_OK ? curl_easy_strerror(result) : "HTTP " + std::to_string(status);
  }
  return false;
}

std::string Base64(const std::string& bytes) {
  std::string text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  text.resize(text.size() - 1);  // its NUL
  return text;
}

bool FromBase64(const std::string& text, std::string& bytes) {
  bytes.assign(text.size(), '\0');
  std::size_t length = 0;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                        text.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return false;
  }
  bytes.resize(length);
  return true;
}

std::string PrefixEnd(std::string prefix) {
  while (!prefix.empty()) {
    if (static_cast<unsigned char>(prefix.back()) < 0xff) {
      ++prefix.back();
      return prefix;
    }
    prefix.pop_back();
  }
  return std::string(1, '\0');  // every key
}

}  // namespace lampd
