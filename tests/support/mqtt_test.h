// What the service's tests run beside it, all inside the test's private
// network: a real Mosquitto broker, a client of it that waits for what is
// published, lampd itself with a configuration of the test's, an HTTP
// client, and other servers (Alertmanager, Prometheus) as child processes.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "lamp_unit_process.h"

struct mosquitto;
struct mosquitto_message;

namespace lamptest {

// mosquitto listening on 127.0.0.1:`port`, ready when constructed.
class Broker {
 public:
  explicit Broker(int port = 1883, const std::string& extraConfig = "");
  ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;
  bool Ready() const { return ready_; }
  void Stop();
  bool Start();
  int Port() const { return port_; }

 private:
  int port_;
  std::string config_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

struct MqttMessage {
  std::string topic, payload;
  bool retained = false;
};

// A client of the broker that keeps every message it receives.
class MqttProbe {
 public:
  explicit MqttProbe(int port = 1883, const std::string& id = "probe",
                     const std::string& username = "", const std::string& password = "");
  ~MqttProbe();
  MqttProbe(const MqttProbe&) = delete;
  MqttProbe& operator=(const MqttProbe&) = delete;
  bool Connected();
  void Subscribe(const std::string& pattern);
  void Publish(const std::string& topic, const std::string& payload, bool retain = false);
  // The first message on `topic` from message `from` on that `matches`, within `limit`.
  std::optional<MqttMessage> WaitFor(
      const std::string& topic,
      const std::function<bool(const std::string&)>& matches =
          [](const std::string&) { return true; },
      std::chrono::milliseconds limit = std::chrono::seconds(10), std::size_t from = 0);
  std::vector<MqttMessage> Messages();

 private:
  static void OnMessage(::mosquitto*, void* self, const ::mosquitto_message* message);
  struct mosquitto* client_ = nullptr;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<MqttMessage> messages_;
  bool connected_ = false;
};

// lampd run with `config` (TOML) as its file; its log in a file.
class LampdProcess {
 public:
  // `prefix` runs it elsewhere (Segment::Enter()).
  explicit LampdProcess(const std::string& config, const std::string& name = "lampd",
                        const std::vector<std::string>& arguments = {},
                        const std::vector<std::string>& environment = {},
                        const std::vector<std::string>& prefix = {});
  ~LampdProcess();
  LampdProcess(const LampdProcess&) = delete;
  LampdProcess& operator=(const LampdProcess&) = delete;
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  bool WaitForLog(const std::string& needle,
                  std::chrono::milliseconds limit = std::chrono::seconds(10));
  std::string Log() const;
  // SIGTERM; the exit status, or -1 when it had to be killed after `limit`.
  int Stop(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // SIGKILL: gone without a word, as a crash or a pulled plug leaves it.
  void Kill();
  // The exit status once it has ended by itself within `limit`; -1 if it runs on.
  int WaitForExit(std::chrono::milliseconds limit);

 private:
  pid_t pid_ = -1;
  std::string configPath_, logPath_;
};

// A broker, the unit press-3 at 192.168.10.200 and a probe of everything
// under lampd/: what most of lampd's tests start from.
class PlantTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker.Ready() && unit.Ready());
    probe.Subscribe("lampd/#");
  }
  Broker broker;
  LampUnitProcess unit{{"--address", "192.168.10.200"}};
  MqttProbe probe;
};

// A file of this test process's own: tests run side by side share the
// temporary directory.
std::string OwnFile(const std::string& name);

// Waits for a state of unit `id` where `holds` is true of it, among the
// messages from message `from` on.
std::optional<nlohmann::json> StateOf(
    MqttProbe& probe, const std::string& id,
    const std::function<bool(const nlohmann::json&)>& holds =
        [](const nlohmann::json&) { return true; },
    std::size_t from = 0);

// The write frames a unit received.
std::vector<std::vector<std::uint8_t>> Writes(class LampUnitProcess& unit);

// An instance's configuration: `fleet` lines go in [fleet], `units` are
// [[unit]] tables; HTTP only when `http` gives an address, or the lines of
// [http] (several instances share a test's network).
std::string InstanceConfig(const std::string& name, int port, const std::string& units,
                           const std::string& fleet = "", const std::string& http = "");
std::string Unit(const std::string& id, const std::string& address);

struct HttpReply {
  int status = 0;  // 0: no answer
  std::string body;
  std::map<std::string, std::string> headers;  // names in lower case (HttpAs only)
  nlohmann::json Json() const { return nlohmann::json::parse(body, nullptr, false); }
};
// A request with headers of its own, sent from `from` (loopback has all of
// 127/8); the answer with its headers.
HttpReply HttpAs(const std::string& method, const std::string& path, const std::string& body = "",
                 const std::vector<std::pair<std::string, std::string>>& headers = {},
                 const std::string& from = "127.0.0.1", int port = 9730);
// One request to 127.0.0.1:`port`, with `token` as its bearer when given.
HttpReply Http(const std::string& method, const std::string& path, const std::string& body = "",
               const std::string& token = "", int port = 9730);
// The same over HTTPS to 127.0.0.1:9730, trusting `certificate` alone, with
// headers of its own.
HttpReply Https(const std::string& certificate, const std::string& method, const std::string& path,
                const std::string& body = "", const std::string& token = "",
                const std::vector<std::pair<std::string, std::string>>& headers = {});
// A certificate for localhost and 127.0.0.1 named `name`, and its key (openssl).
bool MakeCertificate(const std::string& certificate, const std::string& key,
                     const std::string& name);

// Waits until `holds` is true, asking every 20 ms; false after `limit`.
bool WaitUntil(const std::function<bool()>& holds,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

// Waits until `holds` is true of lampd's metrics on 127.0.0.1:`port`, or 20 s pass.
bool WaitForMetrics(const std::function<bool(const std::string&)>& holds, int port = 9730);

// Another server as a child process, ready when `ready` answers 200 on
// 127.0.0.1:`port`; its output in a file.
class ServerProcess {
 public:
  ServerProcess(const std::vector<std::string>& arguments, int port, const std::string& ready);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  bool Ready() const { return ready_; }
  std::string Log() const;

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string logPath_;
};

}  // namespace lamptest
