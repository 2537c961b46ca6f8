#include "mqtt_test.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "net/socket_layer.h"
#include "protocol/text_format.h"

namespace lamptest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string FileText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool Listening(int port) {
  platform::Socket socket = platform::Socket::OpenStream();
  socket.StartConnect(platform::SocketAddress::FromDottedText("127.0.0.1", port));
  return socket.WaitConnected(200ms);
}

}  // namespace

std::string OwnFile(const std::string& name) {
  static int count = 0;
  return testing::TempDir() + std::to_string(::getpid()) + "-" + std::to_string(++count) + "-" +
         name;
}

std::optional<nlohmann::json> StateOf(MqttProbe& probe, const std::string& id,
                                      const std::function<bool(const nlohmann::json&)>& holds,
                                      std::size_t from) {
  const auto message = probe.WaitFor(
      "lampd/" + id,
      [&](const std::string& payload) {
        const auto state = nlohmann::json::parse(payload, nullptr, false);
        return state.is_object() && holds(state);
      },
      10s, from);
  if (!message) return std::nullopt;
  return nlohmann::json::parse(message->payload);
}

std::vector<std::vector<std::uint8_t>> Writes(LampUnitProcess& unit) {
  std::vector<std::vector<std::uint8_t>> writes;
  for (const auto& frame : unit.Received("tcp")) {
    if (!frame.empty() && frame[0] == 'W') writes.push_back(frame);
  }
  return writes;
}

std::string InstanceConfig(const std::string& name, int port, const std::string& units,
                           const std::string& fleet, const std::string& http) {
  const std::string listen =
      http.empty() || http.find('=') != std::string::npos ? http : "listen = \"" + http + "\"\n";
  return "name = \"" + name + "\"\n[mqtt]\nurl = \"mqtt://127.0.0.1:" + std::to_string(port) +
         "\"\n[fleet]\npoll_every = \"200ms\"\noffline_after = 3\n" + fleet + "[http]\n" +
         (listen.empty() ? "listen = \"\"\n" : listen) + units;
}

bool WaitUntil(const std::function<bool()>& holds, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!holds()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string Unit(const std::string& id, const std::string& address) {
  return "[[unit]]\nid = \"" + id + "\"\naddress = \"" + address + "\"\n";
}

namespace {

HttpReply Send(httplib::Client& client, const std::string& method, const std::string& path,
               const std::string& body, const std::string& token,
               const std::vector<std::pair<std::string, std::string>>& more = {}) {
  client.set_connection_timeout(5, 0);
  client.set_tcp_nodelay(true);
  client.set_read_timeout(20, 0);
  httplib::Headers headers(more.begin(), more.end());
  if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
  httplib::Result result = method == "GET"    ? client.Get(path, headers)
                           : method == "PUT"  ? client.Put(path, headers, body, "application/json")
                           : method == "POST" ? client.Post(path, headers, body, "application/json")
                                              : client.Delete(path, headers);
  if (!result) return {0, httplib::to_string(result.error()), {}};
  HttpReply reply{result->status, result->body, {}};
  for (const auto& [name, value] : result->headers)
    reply.headers[protocol::LowerCase(name)] = value;
  return reply;
}

}  // namespace

HttpReply Http(const std::string& method, const std::string& path, const std::string& body,
               const std::string& token, int port) {
  httplib::Client client("127.0.0.1", port);
  return Send(client, method, path, body, token);
}

HttpReply Https(const std::string& certificate, const std::string& method, const std::string& path,
                const std::string& body, const std::string& token,
                const std::vector<std::pair<std::string, std::string>>& headers) {
  httplib::Client client("https://127.0.0.1:9730");
  client.set_ca_cert_path(certificate.c_str());
  client.enable_server_certificate_verification(true);
  return Send(client, method, path, body, token, headers);
}

bool MakeCertificate(const std::string& certificate, const std::string& key,
                     const std::string& name) {
  return RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                     "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-keyout", key, "-out",
                     certificate, "-subj", "/CN=" + name, "-addext",
                     "subjectAltName=DNS:localhost,IP:127.0.0.1"},
                    {})
             .status == 0;
}

HttpReply HttpAs(const std::string& method, const std::string& path, const std::string& body,
                 const std::vector<std::pair<std::string, std::string>>& headers,
                 const std::string& from, int port) {
  platform::Socket socket = platform::Socket::OpenStream();
  if (!socket.Bind(platform::SocketAddress::FromDottedText(from, 0))) return {};
  socket.StartConnect(platform::SocketAddress::FromDottedText("127.0.0.1", port));
  if (!socket.WaitConnected(5s) || !socket.SetNonBlocking(false)) return {};
  std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                     "\r\nConnection: close\r\n";
  for (const auto& [name, value] : headers) text += name + ": " + value + "\r\n";
  if (!body.empty() || method == "POST" || method == "PUT") {
    text +=
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  text += "\r\n" + body;
  if (::send(socket.Handle(), text.data(), text.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(text.size())) {
    return {};
  }
  socket.SetReceiveTimeout(20s);
  std::string got;
  std::uint8_t buffer[4096];
  for (long n; (n = ::recv(socket.Handle(), buffer, sizeof buffer, 0)) > 0;) {
    got.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  }
  HttpReply reply;
  const auto headEnd = got.find("\r\n\r\n");
  if (got.size() < 12 || headEnd == std::string::npos) return {};
  reply.status = std::atoi(got.substr(9, 3).c_str());
  std::istringstream head(got.substr(0, headEnd));
  std::string line;
  std::getline(head, line);  // the status line
  while (std::getline(head, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = protocol::LowerCase(line.substr(0, colon));
    std::string value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ')) value.erase(0, 1);
    while (!value.empty() && (value.back() == '\r')) value.pop_back();
    reply.headers[name] = value;
  }
  reply.body = got.substr(headEnd + 4);
  return reply;
}

bool WaitForMetrics(const std::function<bool(const std::string&)>& holds, int port) {
  const auto end = Clock::now() + 20s;
  while (Clock::now() < end) {
    if (const auto reply = Http("GET", "/metrics", "", "", port);
        reply.status == 200 && holds(reply.body)) {
      return true;
    }
    std::this_thread::sleep_for(50ms);  // the next look; a scrape has nothing to wait on
  }
  return false;
}

ServerProcess::ServerProcess(const std::vector<std::string>& arguments, int port,
                             const std::string& ready) {
  logPath_ = OwnFile("server.log");
  const int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = SpawnProgram(arguments, {}, false, {{log, STDOUT_FILENO}, {log, STDERR_FILENO}});
  ::close(log);
  const auto end = Clock::now() + 30s;
  while (pid_ > 0 && !ready_ && Clock::now() < end) {
    ready_ = Http("GET", ready, "", "", port).status == 200;
    if (!ready_)
      std::this_thread::sleep_for(50ms);  // a server on its way up has nothing to wait on
  }
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  std::remove(logPath_.c_str());
}

std::string ServerProcess::Log() const { return FileText(logPath_); }

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

MqttProbe::MqttProbe(int port, const std::string& id, const std::string& username,
                     const std::string& password) {
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
  if (!username.empty()) mosquitto_username_pw_set(client_, username.c_str(), password.c_str());
  mosquitto_connect(client_, "127.0.0.1", port, 30);
  mosquitto_loop_start(client_);
}

MqttProbe::~MqttProbe() {
  // The client's thread ends once the disconnect is through; cancelling it
  // could leave one of its mutexes locked as the client is destroyed.
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);
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

LampdProcess::LampdProcess(const std::string& config, const std::string& name,
                           const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment,
                           const std::vector<std::string>& prefix) {
  configPath_ = OwnFile(name + ".toml");
  logPath_ = OwnFile(name + ".log");
  std::ofstream(configPath_) << config;
  const int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::vector<std::string> command = prefix;
  command.insert(command.end(), {LAMPD_PATH, "--config", configPath_});
  command.insert(command.end(), arguments.begin(), arguments.end());
  pid_ = SpawnProgram(command, environment, false, {{log, STDERR_FILENO}});
  ::close(log);
}

void LampdProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int LampdProcess::WaitForExit(std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  int status = 0;
  while (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() >= end) return -1;
    std::this_thread::sleep_for(5ms);  // a child's end has nothing to wait on but waitpid
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

LampdProcess::~LampdProcess() {
  if (pid_ > 0) Stop();
  std::remove(configPath_.c_str());
  std::remove(logPath_.c_str());
}

std::string LampdProcess::Log() const { return FileText(logPath_); }

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
