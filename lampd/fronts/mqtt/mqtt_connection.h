// One connection to an MQTT broker through libmosquitto, driven by our
// event loop: its socket watched there, its keep-alive on a timer. It
// connects without blocking, and when the broker goes (or refuses us) it
// says why and tries again after 1 s, doubling to 30 s. What comes in waits
// in a bounded inbox and is handed on a slice a loop turn, so a flood of
// messages neither grows lampd without bound nor holds the loop from the
// other fronts.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/event_loop.h"

struct mosquitto;
struct mosquitto_message;

namespace lampd {

struct MqttOptions {
  std::string host;
  int port = 1883;
  bool tls = false;
  std::string caFile;
  std::string clientId;
  std::string username, password;
  int keepaliveSeconds = 30;
  // The broker publishes this (retained) when we vanish without a word.
  std::string willTopic, willPayload;
};

class MqttConnection {
 public:
  struct Handlers {
    std::function<void()> connected;                   // subscribe and publish here
    std::function<void(const std::string& why)> lost;  // a reconnect follows
    std::function<void(const std::string& topic, std::string_view payload)> message;
  };

  MqttConnection(platform::EventLoop& loop, MqttOptions options, Handlers handlers);
  ~MqttConnection();
  MqttConnection(const MqttConnection&) = delete;
  MqttConnection& operator=(const MqttConnection&) = delete;

  // False with `error` when the client cannot be made (bad TLS files).
  bool Start(std::string& error);
  bool Connected() const { return connected_; }
  // Messages of QoS 1 or 2 that the broker has not acknowledged yet, at
  // the most, before a droppable one is dropped rather than queued.
  static constexpr std::size_t kMostUnacknowledged = 1000;
  // Messages waiting to be handled, at the most (and their bytes): past
  // either, a message is dropped unread and counted.
  static constexpr std::size_t kMostWaiting = 20000;
  static constexpr std::size_t kMostWaitingBytes = 8u << 20;
  // Messages handled in one turn of the loop, at the most.
  static constexpr std::size_t kHandledAtOnce = 256;
  // Larger than any topic takes: handed on at once, never copied (to be dropped unread).
  static constexpr std::size_t kNeverQueued = 64u << 10;

  // Queued while connected; false (and dropped) otherwise. A `droppable`
  // message (an event: no state rests on it) is dropped and counted while
  // kMostUnacknowledged wait for the broker, so a flood of them cannot
  // grow lampd's output without bound.
  bool Publish(const std::string& topic, std::string_view payload, int qos, bool retain,
               bool droppable = false);
  std::uint64_t Dropped() const { return dropped_; }
  // Messages that came while the inbox was full, dropped unread.
  std::uint64_t DroppedIn() const { return droppedIn_; }
  std::size_t Unacknowledged() const { return unacknowledged_; }
  bool Subscribe(const std::string& pattern, int qos);
  // A clean end: the broker does not publish the will.
  void Disconnect();

 private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  static void OnPublish(mosquitto*, void* self, int mid);

  void Connect();
  void Housekeeping();
  void WatchSocket();
  void OnReady(short revents);
  void Lost(const std::string& why);
  void HandleWaiting();
  void HandleSoon();  // the next turn handles a slice of the inbox

  platform::EventLoop& loop_;
  MqttOptions options_;
  Handlers handlers_;
  std::unique_ptr<mosquitto, void (*)(mosquitto*)> client_;
  int socket_ = -1;
  bool connected_ = false;
  bool stopping_ = false;
  bool everTried_ = false;  // the broker's address is set; later tries reconnect
  std::chrono::seconds backoff_{1};
  std::size_t unacknowledged_ = 0;  // published at QoS 1 or 2, not yet acknowledged
  std::uint64_t dropped_ = 0;
  struct Message {
    std::string topic, payload;
  };
  std::deque<Message> inbox_;
  std::size_t inboxBytes_ = 0;
  std::uint64_t droppedIn_ = 0;
  platform::EventLoop::TimerId handleTimer_ = 0;
  platform::EventLoop::TimerId retryTimer_ = 0, housekeeping_ = 0;
};

}  // namespace lampd
