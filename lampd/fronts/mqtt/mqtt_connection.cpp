#include "mqtt_connection.h"

#include <mosquitto.h>
#include <poll.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "net/socket_layer.h"

namespace lampd {
namespace {

using namespace std::chrono_literals;

constexpr auto kLongestWait = 30s;

// libmosquitto is started once for the process and stays.
void StartLibrary() {
  static const int started = mosquitto_lib_init();
  (void)started;
}

std::string Why(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return platform::ReasonText({errno, std::generic_category()});
  std::string text = mosquitto_strerror(rc);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(text[0]));
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

MqttConnection::MqttConnection(platform::EventLoop& loop, MqttOptions options, Handlers handlers)
    : loop_(loop),
      options_(std::move(options)),
      handlers_(std::move(handlers)),
      client_(nullptr, mosquitto_destroy) {}

MqttConnection::~MqttConnection() {
  stopping_ = true;
  loop_.Cancel(retryTimer_);
  loop_.Cancel(housekeeping_);
  loop_.Cancel(handleTimer_);
  if (socket_ >= 0) loop_.Unwatch(socket_);
}

bool MqttConnection::Start(std::string& error) {
  StartLibrary();
  // A persistent session: commands published while we reconnect wait for us.
  client_.reset(mosquitto_new(options_.clientId.c_str(), false, this));
  if (!client_) {
    error = "cannot make the MQTT client: " + Why(MOSQ_ERR_ERRNO);
    return false;
  }
  mosquitto* client = client_.get();
  mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // A state is a small packet that should go at once, not wait for an ACK.
  mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_callback_set(client, &MqttConnection::OnConnect);
  mosquitto_disconnect_callback_set(client, &MqttConnection::OnDisconnect);
  mosquitto_message_callback_set(client, &MqttConnection::OnMessage);
  mosquitto_publish_callback_set(client, &MqttConnection::OnPublish);
  int rc = MOSQ_ERR_SUCCESS;
  if (!options_.username.empty()) {
    rc = mosquitto_username_pw_set(client, options_.username.c_str(),
                                   options_.password.empty() ? nullptr : options_.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !options_.willTopic.empty()) {
    rc = mosquitto_will_set(client, options_.willTopic.c_str(),
                            static_cast<int>(options_.willPayload.size()),
                            options_.willPayload.data(), 1, true);
  }
  if (rc == MOSQ_ERR_SUCCESS && options_.tls) {
    rc = mosquitto_tls_set(client, options_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    error = "cannot set up the MQTT client: " + Why(rc);
    return false;
  }
  // Keep-alive pings and time-outs, whatever the socket does.
  housekeeping_ = loop_.After(1s, [this] { Housekeeping(); });
  Connect();
  return true;
}

void MqttConnection::Housekeeping() {
  if (connected_) mosquitto_loop_misc(client_.get());
  WatchSocket();
  housekeeping_ = loop_.After(1s, [this] { Housekeeping(); });
}

void MqttConnection::Connect() {
  retryTimer_ = 0;
  const int rc = everTried_ ? mosquitto_reconnect_async(client_.get())
                            : mosquitto_connect_async(client_.get(), options_.host.c_str(),
                                                      options_.port, options_.keepaliveSeconds);
  everTried_ = true;
  if (rc != MOSQ_ERR_SUCCESS) {
    Lost("cannot connect to " + options_.host + ":" + std::to_string(options_.port) + ": " +
         Why(rc));
    return;
  }
  WatchSocket();
}

void MqttConnection::WatchSocket() {
  if (stopping_ || !client_) return;
  const int fd = mosquitto_socket(client_.get());
  if (socket_ >= 0 && socket_ != fd) loop_.Unwatch(socket_);
  socket_ = fd;
  if (fd < 0) return;
  const short events = POLLIN | (mosquitto_want_write(client_.get()) ? POLLOUT : 0);
  loop_.Watch(fd, events, [this](short revents) { OnReady(revents); });
}

void MqttConnection::OnReady(short revents) {
  if (revents & (POLLIN | POLLERR | POLLHUP)) {
    if (const int rc = mosquitto_loop_read(client_.get(), 1); rc != MOSQ_ERR_SUCCESS) {
      Lost("connection to " + options_.host + ":" + std::to_string(options_.port) +
           " lost: " + Why(rc));
      return;
    }
  }
  if (revents & POLLOUT) {
    if (const int rc = mosquitto_loop_write(client_.get(), 1); rc != MOSQ_ERR_SUCCESS) {
      Lost("connection to " + options_.host + ":" + std::to_string(options_.port) +
           " lost: " + Why(rc));
      return;
    }
  }
  WatchSocket();
}

void MqttConnection::Lost(const std::string& why) {
  if (stopping_ || retryTimer_ != 0) return;  // said once; the retry is set
  connected_ = false;
  if (socket_ >= 0) loop_.Unwatch(socket_);
  socket_ = -1;
  if (handlers_.lost)
    handlers_.lost(why + "; trying again in " + std::to_string(backoff_.count()) + " s");
  retryTimer_ = loop_.After(backoff_, [this] { Connect(); });
  backoff_ = std::min<std::chrono::seconds>(backoff_ * 2, kLongestWait);
}

void MqttConnection::OnConnect(mosquitto*, void* self, int rc) {
  auto* connection = static_cast<MqttConnection*>(self);
  if (rc != 0) {
    connection->Lost("the broker at " + connection->options_.host + ":" +
                     std::to_string(connection->options_.port) +
                     " refused the connection: " + mosquitto_connack_string(rc));
    return;
  }
  connection->connected_ = true;
  connection->backoff_ = std::chrono::seconds(1);
  if (connection->handlers_.connected) connection->handlers_.connected();
  connection->WatchSocket();
}

void MqttConnection::OnDisconnect(mosquitto*, void* self, int rc) {
  auto* connection = static_cast<MqttConnection*>(self);
  if (rc == 0 || connection->stopping_) return;  // ours
  connection->Lost("connection to " + connection->options_.host + ":" +
                   std::to_string(connection->options_.port) + " lost");
}

void MqttConnection::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* connection = static_cast<MqttConnection*>(self);
  if (!connection->handlers_.message) return;
  // libmosquitto reads as many packets at once as it has messages queued:
  // they wait here and are handled a slice a turn.
  const std::size_t length = static_cast<std::size_t>(message->payloadlen);
  if (length > kNeverQueued) {
    return connection->handlers_.message(
        message->topic, std::string_view(static_cast<const char*>(message->payload), length));
  }
  const std::size_t bytes = std::strlen(message->topic) + length;
  if (connection->inbox_.size() >= kMostWaiting ||
      connection->inboxBytes_ + bytes > kMostWaitingBytes) {
    ++connection->droppedIn_;
    return;
  }
  connection->inbox_.push_back(
      {message->topic, std::string(static_cast<const char*>(message->payload),
                                   static_cast<std::size_t>(message->payloadlen))});
  connection->inboxBytes_ += bytes;
  connection->HandleSoon();
}

void MqttConnection::HandleWaiting() {
  for (std::size_t handled = 0; handled < kHandledAtOnce && !inbox_.empty(); ++handled) {
    Message message = std::move(inbox_.front());
    inbox_.pop_front();
    inboxBytes_ -= message.topic.size() + message.payload.size();
    handlers_.message(message.topic, message.payload);
  }
  if (!inbox_.empty()) HandleSoon();
}

void MqttConnection::HandleSoon() {
  if (handleTimer_ != 0) return;
  handleTimer_ = loop_.After(0ms, [this] {
    handleTimer_ = 0;
    HandleWaiting();
  });
}

void MqttConnection::OnPublish(mosquitto*, void* self, int) {
  // Called once a message of QoS 0 is written and once one of QoS 1 or 2 is
  // acknowledged; only the latter were counted.
  auto* connection = static_cast<MqttConnection*>(self);
  if (connection->unacknowledged_ > 0) --connection->unacknowledged_;
}

bool MqttConnection::Publish(const std::string& topic, std::string_view payload, int qos,
                             bool retain, bool droppable) {
  if (!connected_) return false;
  if (droppable && unacknowledged_ >= kMostUnacknowledged) {
    ++dropped_;
    return false;
  }
  const int rc = mosquitto_publish(client_.get(), nullptr, topic.c_str(),
                                   static_cast<int>(payload.size()), payload.data(), qos, retain);
  WatchSocket();
  if (rc == MOSQ_ERR_SUCCESS && qos > 0) ++unacknowledged_;
  return rc == MOSQ_ERR_SUCCESS;
}

bool MqttConnection::Subscribe(const std::string& pattern, int qos) {
  if (!connected_) return false;
  const int rc = mosquitto_subscribe(client_.get(), nullptr, pattern.c_str(), qos);
  WatchSocket();
  return rc == MOSQ_ERR_SUCCESS;
}

void MqttConnection::Disconnect() {
  if (connected_) {
    mosquitto_disconnect(client_.get());
    // Whatever is queued (the last state, the DISCONNECT) goes out now.
    for (int i = 0; i < 100 && mosquitto_want_write(client_.get()); ++i) {
      pollfd writable{mosquitto_socket(client_.get()), POLLOUT, 0};
      if (writable.fd < 0 || ::poll(&writable, 1, 20) <= 0) break;
      if (mosquitto_loop_write(client_.get(), 1) != MOSQ_ERR_SUCCESS) break;
    }
  }
  stopping_ = true;
  connected_ = false;
  loop_.Cancel(retryTimer_);
  loop_.Cancel(housekeeping_);
  if (socket_ >= 0) loop_.Unwatch(socket_);
  socket_ = -1;
}

}  // namespace lampd
