#include "mqtt_test.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "net/socket_layer.h"

namespace lamptest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A file of this test process's own: tests run side by side share the
// temporary directory.
std::string OwnFile(const std::string& name) {
  static int count = 0;
  return testing::TempDir() + std::to_string(::getpid()) + "-" + std::to_string(++count) + "-" +
         name;
}

bool Listening(int port) {
  platform::Socket socket = platform::Socket::OpenStream();
  socket.StartConnect(platform::SocketAddress::FromDottedText("127.0.0.1", port));
  return socket.WaitConnected(200ms);
}

}  // namespace

Broker::Broker(int port, const std::string& extraConfig) : port_(port) {
  config_ = OwnFile("mosquitto-" + std::to_string(port) + ".conf");
  // "user root": the broker stays who the test is (root, or root of the test's
  // user namespace) instead of becoming "mosquitto", and reads the test's files.
  std::ofstream(config_) << "user root\nlistener " << port
                         << " 127.0.0.1\nallow_anonymous true\nset_tcp_nodelay true\n"
                         << extraConfig;
  ready_ = Start();
}

Broker::~Broker() {
  Stop();
  std::remove(config_.c_str());
}

bool Broker::Start() {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_ = SpawnProgram({"/usr/sbin/mosquitto", "-c", config_}, {}, false,
                      {{null, STDOUT_FILENO}, {null, STDERR_FILENO}});
  ::close(null);
  const auto end = Clock::now() + 10s;
  while (pid_ > 0 && Clock::now() < end) {
    if (Listening(port_)) return true;
  }
  return false;
}

void Broker::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

MqttProbe::MqttProbe(int port, const std::string& id) {
  static const int started = mosquitto_lib_init();
  (void)started;
  client_ = mosquitto_new(id.c_str(), true, this);
  mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_message_callback_set(client_, &MqttProbe::OnMessage);
  mosquitto_connect_callback_set(client_, [](mosquitto*, void* self, int rc) {
    auto* probe = static_cast<MqttProbe*>(self);
    std::lock_guard lock(probe->mutex_);
    probe->connected_ = rc == 0;
    probe->arrived_.notify_all();
  });
  mosquitto_connect(client_, "127.0.0.1", port, 30);
  mosquitto_loop_start(client_);
}

MqttProbe::~MqttProbe() {
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, true);
  mosquitto_destroy(client_);
}

bool MqttProbe::Connected() {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, 10s, [this] { return connected_; });
}

void MqttProbe::Subscribe(const std::string& pattern) {
  Connected();
  mosquitto_subscribe(client_, nullptr, pattern.c_str(), 1);
}

void MqttProbe::Publish(const std::string& topic, const std::string& payload, bool retain) {
  Connected();
  mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                    payload.data(), 1, retain);
}

void MqttProbe::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* probe = static_cast<MqttProbe*>(self);
  std::lock_guard lock(probe->mutex_);
  probe->messages_.push_back(
      {message->topic, std::string(static_cast<const char*>(message->payload), message->payloadlen),
       message->retain});
  probe->arrived_.notify_all();
}

std::optional<MqttMessage> MqttProbe::WaitFor(
    const std::string& topic, const std::function<bool(const std::string&)>& matches,
    std::chrono::milliseconds limit, std::size_t from) {
  std::unique_lock lock(mutex_);
  std::optional<MqttMessage> found;
  arrived_.wait_for(lock, limit, [&] {
    for (std::size_t i = from; i < messages_.size(); ++i) {
      if (messages_[i].topic == topic && matches(messages_[i].payload)) {
        found = messages_[i];
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<MqttMessage> MqttProbe::Messages() {
  std::lock_guard lock(mutex_);
  return messages_;
}

LampdProcess::LampdProcess(const std::string& config, const std::string& name) {
  configPath_ = OwnFile(name + ".toml");
  logPath_ = OwnFile(name + ".log");
  std::ofstream(configPath_) << config;
  const int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = SpawnProgram({LAMPD_PATH, "--config", configPath_}, {}, false, {{log, STDERR_FILENO}});
  ::close(log);
}

LampdProcess::~LampdProcess() {
  if (pid_ > 0) Stop();
  std::remove(configPath_.c_str());
  std::remove(logPath_.c_str());
}

std::string LampdProcess::Log() const {
  std::ifstream file(logPath_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool LampdProcess::WaitForLog(const std::string& needle, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  do {
    if (Log().find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(10ms);  // a file has nothing to wait on
  } while (Clock::now() < end);
  return false;
}

int LampdProcess::Stop(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  const auto end = Clock::now() + limit;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() >= end) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace lamptest
