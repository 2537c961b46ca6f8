// lampd as a PLC reaches it: Modbus TCP through libmodbus's own client and
// pymodbus, against a real Mosquitto and simulated units on the private
// network; and clients that break the protocol on purpose.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "mqtt_test.h"

namespace {

using lamptest::Broker;
using lamptest::InstanceConfig;
using lamptest::LampdProcess;
using lamptest::LampUnitProcess;
using lamptest::MqttProbe;
using lamptest::StateOf;
using lamptest::Unit;
using lamptest::WaitUntil;
using lamptest::Writes;
using nlohmann::json;
using namespace std::chrono_literals;
using Registers = std::vector<std::uint16_t>;

constexpr std::uint16_t N = 0xFFFF;  // never written; leave as it is
constexpr int kPort = 1502;

std::string Modbus(const std::string& more = "") {
  return "[modbus]\nlisten = \"127.0.0.1:1502\"\n" + more;
}

// libmodbus's client, connected to lampd.
class Plc {
 public:
  explicit Plc(int port = kPort) : context_(modbus_new_tcp("127.0.0.1", port)) {
    modbus_set_response_timeout(context_.get(), 5, 0);
    connected_ = modbus_connect(context_.get()) == 0;
  }
  bool Connected() const { return connected_; }
  // The registers, or nothing with Error() telling the exception.
  std::optional<Registers> Read(int address, int count, bool input = false) {
    Registers values(static_cast<std::size_t>(count));
    const int got = input
                        ? modbus_read_input_registers(context_.get(), address, count, values.data())
                        : modbus_read_registers(context_.get(), address, count, values.data());
    error_ = got < 0 ? errno : 0;
    if (got != count) return std::nullopt;
    return values;
  }
  bool Write(int address, const Registers& values) {
    const int done = values.size() == 1
                         ? modbus_write_register(context_.get(), address, values[0])
                         : modbus_write_registers(context_.get(), address,
                                                  static_cast<int>(values.size()), values.data());
    error_ = done < 0 ? errno : 0;
    return done >= 0;
  }
  // The exception of the last request (1 illegal function, 2 address, 3 value), 0 for none.
  int Exception() const { return error_ >= MODBUS_ENOBASE ? error_ - MODBUS_ENOBASE : -error_; }
  modbus_t* Context() { return context_.get(); }

 private:
  struct Free {
    void operator()(modbus_t* context) const {
      modbus_close(context);
      modbus_free(context);
    }
  };
  std::unique_ptr<modbus_t, Free> context_;
  bool connected_ = false;
  int error_ = 0;
};

// The lamp and sound bytes of a write frame.
std::vector<std::uint8_t> Codes(const std::vector<std::uint8_t>& frame) {
  return {frame.begin() + 2, frame.end()};
}

class LampdModbus : public lamptest::PlantTest {
 protected:
  void Start(const std::string& modbus,
             const std::string& units = Unit("press-3", "192.168.10.200")) {
    lampd = std::make_unique<LampdProcess>(
        InstanceConfig("line1", 1883, units, "", "127.0.0.1:9730") + modbus);
    ASSERT_TRUE(StateOf(probe, "press-3")) << lampd->Log();
  }
  std::unique_ptr<LampdProcess> lampd;
};

TEST_F(LampdModbus, RegistersAreReadAndWrittenAsTheMapSays) {
  Start(Modbus("[modbus.slots]\n1 = \"press-3\"\n"));
  Plc plc;
  ASSERT_TRUE(plc.Connected()) << lampd->Log();
  EXPECT_EQ(plc.Read(16, 9), (Registers{N, N, N, N, N, N, 5, 0, 0}));
  // Slot 0: one unit served, online; the broker connected.
  ASSERT_TRUE(WaitUntil([&] { return plc.Read(0, 3, true) == Registers{1, 1, 1}; }));

  // Red on, green blink, sound 3: one frame naming exactly those.
  const std::size_t before = Writes(unit).size();
  ASSERT_TRUE(plc.Write(16, {1, N, 2, N, N, 3})) << lampd->Log();
  ASSERT_TRUE(WaitUntil([&] { return Writes(unit).size() > before; }));
  EXPECT_EQ(Writes(unit).size(), before + 1);
  const std::uint8_t D = 0x64;
  EXPECT_EQ(Codes(Writes(unit).back()), (std::vector<std::uint8_t>{1, D, 2, D, D, 3}));
  const auto state = StateOf(probe, "press-3", [](const json& s) { return s["sound"] == 3; });
  ASSERT_TRUE(state);
  const auto shown = [&] { return plc.Read(16, 9, true); };
  ASSERT_TRUE(WaitUntil([&] { return shown() && (*shown())[0] == 1; }));
  EXPECT_EQ(shown(), (Registers{1, 0, 2, 0, 0, 3, 1, state->at("model").get<std::uint16_t>(), 0}));
  EXPECT_EQ(plc.Read(16, 16), (Registers{1, N, 2, N, N, 3, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  // One register (function 6); then a reset by the action register, which reads 0.
  ASSERT_TRUE(plc.Write(20, {1}));
  ASSERT_TRUE(WaitUntil([&] { return (*shown())[4] == 1; }));
  ASSERT_TRUE(plc.Write(24, {1}));
  ASSERT_TRUE(
      WaitUntil([&] { return shown() == Registers{0, 0, 0, 0, 0, 0, 1, (*shown())[7], 0}; }));
  EXPECT_EQ(plc.Read(24, 1), Registers{0});

  // Refused, with nothing stored and nothing sent: an unknown function (01),
  // an unmapped slot, two slots at once, the free registers (02), a value
  // out of range anywhere in the request (03).
  // The three frames so far (the lamps, white, the reset), as the unit's log comes in.
  ASSERT_TRUE(WaitUntil([&] { return Writes(unit).size() >= before + 3; }));
  const std::size_t sent = Writes(unit).size();
  std::uint8_t bits[8];
  EXPECT_LT(modbus_read_bits(plc.Context(), 16, 8, bits), 0);
  EXPECT_EQ(errno, MODBUS_ENOBASE + MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
  EXPECT_FALSE(plc.Read(32, 1));
  EXPECT_EQ(plc.Exception(), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  EXPECT_FALSE(plc.Read(30, 4, true));
  EXPECT_EQ(plc.Exception(), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  EXPECT_FALSE(plc.Write(25, {0}));
  EXPECT_EQ(plc.Exception(), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  EXPECT_FALSE(plc.Write(0, {0}));
  EXPECT_EQ(plc.Exception(), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  for (const auto& [address, values] : std::vector<std::pair<int, Registers>>{
           {16, {1, 1, 3}}, {21, {6}}, {22, {10}}, {16, {0, 0, 0, 0, 0, 0, 5, 0, 4}}}) {
    EXPECT_FALSE(plc.Write(address, values));
    EXPECT_EQ(plc.Exception(), MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  }
  EXPECT_EQ(plc.Read(16, 7), (Registers{1, N, 2, N, 1, 3, 5}));
  EXPECT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_commands_total{source=\"modbus\"} 3\n") != std::string::npos &&
           text.find("lampd_modbus_exceptions_total{code=\"3\"} 4\n") != std::string::npos;
  })) << lampd->Log();
  EXPECT_EQ(Writes(unit).size(), sent);
  EXPECT_NE(lampd->Log().find("over modbus from 127.0.0.1"), std::string::npos) << lampd->Log();

  // pymodbus reads and writes the same map.
  const auto run = lamptest::RunProgram(
      {"/usr/bin/python3", MODBUS_CLIENT_PATH, "127.0.0.1", "1502", "write:16:2,2,2,2,2,0",
       "read-holding:16:9", "write1:22:8", "read-holding:22:1", "read-input:0:3", "write:16:7"},
      {});
  EXPECT_EQ(run.out, "ok\n2 2 2 2 2 0 5 0 0\nok\n8\n1 1 1\nexception 3\n") << run.err;
}

TEST_F(LampdModbus, AHoldLapsesWhenTheWritesStopAndOutranksOnlyWhatItMay) {
  Start(Modbus("[modbus.slots]\n1 = \"press-3\"\n"));
  Plc plc;
  ASSERT_TRUE(plc.Connected());
  // Hold 1 s, priority 4: each write is a lease of modbus:1.
  ASSERT_TRUE(plc.Write(22, {4, 1}));
  std::size_t from = probe.Messages().size();
  ASSERT_TRUE(plc.Write(16, {1}));
  const auto leased = StateOf(
      probe, "press-3", [](const json& s) { return s["leases"].size() == 1; }, from);
  ASSERT_TRUE(leased);
  EXPECT_EQ(leased->at("leases")[0]["source"], "modbus:1");
  EXPECT_EQ(leased->at("leases")[0]["priority"], 4);
  EXPECT_EQ(leased->at("lamps")["red"], "on");
  // The writes stop: the light goes with the lease, and comes back at the next write.
  from = probe.Messages().size();
  ASSERT_TRUE(StateOf(
      probe, "press-3",
      [](const json& s) { return s["leases"].empty() && s["lamps"]["red"] == "off"; }, from));
  from = probe.Messages().size();
  ASSERT_TRUE(plc.Write(16, {1}));
  ASSERT_TRUE(StateOf(
      probe, "press-3", [](const json& s) { return s["lamps"]["red"] == "on"; }, from));

  // An MQTT lease of priority 8 outranks the PLC's, whatever the PLC writes.
  ASSERT_TRUE(plc.Write(23, {60}));
  probe.Publish("lampd/press-3/set",
                R"({"red": "blink", "for": "1m", "priority": 8, "source": "andon"})");
  ASSERT_TRUE(
      StateOf(probe, "press-3", [](const json& s) { return s["lamps"]["red"] == "blink"; }));
  ASSERT_TRUE(plc.Write(16, {0}));
  from = probe.Messages().size();
  probe.Publish("lampd/press-3/get", "");
  const auto still = StateOf(
      probe, "press-3", [](const json&) { return true; }, from);
  ASSERT_TRUE(still);
  EXPECT_EQ(still->at("lamps")["red"], "blink");
  EXPECT_EQ(still->at("leases").size(), 2u);
  EXPECT_TRUE(WaitUntil([&] { return plc.Read(16, 9, true) && (*plc.Read(16, 9, true))[8] == 2; }));
  // The PLC clears its own lease by the action register; the andon lease stays.
  ASSERT_TRUE(plc.Write(24, {2}));
  EXPECT_TRUE(StateOf(probe, "press-3", [](const json& s) {
    return s["leases"].size() == 1 && s["leases"][0]["source"] == "andon";
  }));
}

TEST_F(LampdModbus, AGroupSlotDrivesEveryMemberInOneCommand) {
  LampUnitProcess second({"--address", "192.168.10.201"});
  ASSERT_TRUE(second.Ready());
  Start("[groups]\nline1 = [\"press-3\", \"press-4\"]\n" +
            Modbus("[modbus.slots]\n10 = \"group:line1\"\n"),
        Unit("press-3", "192.168.10.200") + Unit("press-4", "192.168.10.201"));
  Plc plc;
  ASSERT_TRUE(WaitUntil([&] {
    return plc.Read(160, 9, true) == Registers{N, N, N, N, N, N, 2, 2, N};
  })) << lampd->Log();
  ASSERT_TRUE(plc.Write(160, {N, N, N, 1}));
  for (LampUnitProcess* member : {&unit, &second}) {
    ASSERT_TRUE(WaitUntil([&] { return !Writes(*member).empty(); }));
    EXPECT_EQ(Writes(*member).size(), 1u);
    EXPECT_EQ(Writes(*member).back()[5], 1);
  }
  // One member gone: the group slot counts it offline; a write is still
  // taken, and reaches it when it is back.
  kill(second.Pid(), SIGKILL);
  EXPECT_TRUE(WaitUntil([&] { return plc.Read(166, 2, true) == Registers{1, 2}; }, 20s));
  EXPECT_TRUE(plc.Write(160, {1}));
  LampUnitProcess back({"--address", "192.168.10.201"});
  ASSERT_TRUE(back.Ready());
  ASSERT_TRUE(WaitUntil([&] { return !Writes(back).empty(); }, 20s)) << lampd->Log();
  EXPECT_EQ(Writes(back).back()[2], 1);
  EXPECT_TRUE(WaitUntil([&] { return plc.Read(166, 2, true) == Registers{2, 2}; }, 20s));
}

TEST_F(LampdModbus, ReadOnlyAnswersEveryWriteWithExceptionOneAndAllowKeepsStrangersOut) {
  Start(
      Modbus("read_only = true\nallow = [\"192.168.10.0/24\"]\n[modbus.slots]\n1 = \"press-3\"\n"));
  // Loopback is not allowed: the connection is closed at once.
  Plc stranger;
  EXPECT_FALSE(stranger.Connected() && stranger.Read(16, 1).has_value());
  const auto run = lamptest::RunProgram(
      {"/usr/bin/python3", MODBUS_CLIENT_PATH, "127.0.0.1", "1502", "--from", "192.168.10.77",
       "read-holding:16:2", "write:16:1", "write1:16:1", "read-input:22:1"},
      {});
  EXPECT_EQ(run.out, "65535 65535\nexception 1\nexception 1\n1\n") << run.err << lampd->Log();
  EXPECT_TRUE(Writes(unit).empty());
  EXPECT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_modbus_closed_total{reason=\"refused\"} 1\n") != std::string::npos;
  }));
}

TEST(LampdModbusPlant, ASlotOfAUnitAnotherInstanceServesOverBridgedBrokers) {
  Broker east(1883);
  Broker west(1884, "connection east\naddress 127.0.0.1:1883\ntopic lampd/# both 1\n");
  LampUnitProcess far({"--address", "192.168.10.21", "--mac", "0.80.194.1.2.9"});
  ASSERT_TRUE(east.Ready() && west.Ready() && far.Ready());
  MqttProbe probe(1883);
  probe.Subscribe("lampd/#");
  // West finds the unit; east, with no unit of its own, names it by its MAC.
  LampdProcess serving(InstanceConfig("west", 1884, "", "interfaces = [\"lo\"]\n"), "west");
  const std::string id = "0050c2010209";
  ASSERT_TRUE(StateOf(probe, id)) << serving.Log();
  LampdProcess gateway(InstanceConfig("east", 1883, "", "", "127.0.0.1:9730") +
                           Modbus("[modbus.slots]\n2 = \"00:50:c2:01:02:09\"\n"),
                       "east");
  ASSERT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_modbus_clients 0") != std::string::npos;
  })) << gateway.Log();
  Plc plc;
  ASSERT_TRUE(WaitUntil([&] { return plc.Read(38, 1, true) == Registers{1}; })) << gateway.Log();
  ASSERT_TRUE(plc.Write(32, {N, 2}));
  ASSERT_TRUE(StateOf(probe, id, [](const json& s) { return s["lamps"]["yellow"] == "blink"; }))
      << gateway.Log() << serving.Log();
  ASSERT_TRUE(WaitUntil([&] { return !Writes(far).empty(); }));  // its log is read as it comes
  EXPECT_EQ(Writes(far).size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return plc.Read(33, 1, true) == Registers{2}; })) << gateway.Log();
}

// Raw bytes, as a broken or hostile client sends them.
class RawClient {
 public:
  explicit RawClient(const char* from = nullptr) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (from) {
      inet_pton(AF_INET, from, &address.sin_addr);
      ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    address.sin_port = htons(kPort);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    timeval limit{20, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  bool Send(const std::vector<std::uint8_t>& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<long>(bytes.size());
  }
  // What comes next: up to `most` bytes, empty once lampd has closed the connection.
  std::vector<std::uint8_t> Receive(std::size_t most = 260) {
    std::vector<std::uint8_t> bytes(most);
    const long got = ::recv(fd_, bytes.data(), most, 0);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
  }
  bool Connected() const { return connected_; }

 private:
  int fd_;
  bool connected_ = false;
};

std::vector<std::uint8_t> Request(std::uint16_t transaction, std::uint8_t unit,
                                  const std::vector<std::uint8_t>& pdu) {
  const auto length = static_cast<std::uint16_t>(pdu.size() + 1);
  std::vector<std::uint8_t> bytes = {
      static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction), 0,   0,
      static_cast<std::uint8_t>(length >> 8),      static_cast<std::uint8_t>(length),      unit};
  bytes.insert(bytes.end(), pdu.begin(), pdu.end());
  return bytes;
}

TEST_F(LampdModbus, HostileClientsAreClosedAndEveryOtherClientCarriesOn) {
  Start(Modbus("max_clients = 6\n[modbus.slots]\n1 = \"press-3\"\n"));
  Plc plc;
  ASSERT_TRUE(plc.Connected());
  // The unit identifier is echoed whatever it is; the transaction too.
  // Each from an address of its own: one address holds a share of max_clients.
  RawClient echo("127.0.0.2");
  ASSERT_TRUE(echo.Send(Request(0xBEEF, 0xF7, {0x04, 0x00, 0x16, 0x00, 0x01})));
  EXPECT_EQ(echo.Receive(), (std::vector<std::uint8_t>{0xBE, 0xEF, 0, 0, 0, 5, 0xF7, 4, 2, 0, 1}));
  // Shapes that are not Modbus: closed, never answered.
  for (const std::vector<std::uint8_t>& junk :
       {std::vector<std::uint8_t>{0, 1, 0, 1, 0, 6, 1, 3, 0, 16, 0, 1},  // protocol 1
        std::vector<std::uint8_t>{0, 1, 0, 0, 1, 0, 1, 3},               // 256 bytes to come
        std::vector<std::uint8_t>{0, 1, 0, 0, 0, 0, 1}}) {               // no function
    RawClient client("127.0.0.3");
    ASSERT_TRUE(client.Send(junk));
    EXPECT_TRUE(client.Receive().empty());
  }
  // A PDU shorter than its function needs: exception 03; an unknown function: 01.
  ASSERT_TRUE(echo.Send(Request(2, 1, {0x10, 0x00, 0x10, 0x00, 0x02, 0x04, 0x00})));
  EXPECT_EQ(echo.Receive(), (std::vector<std::uint8_t>{0, 2, 0, 0, 0, 3, 1, 0x90, 3}));
  ASSERT_TRUE(echo.Send(Request(3, 1, {0x2B, 0x0E, 0x01, 0x00})));
  EXPECT_EQ(echo.Receive(), (std::vector<std::uint8_t>{0, 3, 0, 0, 0, 3, 1, 0xAB, 1}));

  // A header, then silence: closed within its few seconds, the others served meanwhile.
  RawClient silent("127.0.0.4");
  ASSERT_TRUE(silent.Send({0, 1, 0, 0, 0, 6}));
  // Past max_clients: the newest is closed, those connected stay.
  std::vector<std::unique_ptr<RawClient>> crowd;
  for (const char* from : {"127.0.0.5", "127.0.0.6", "127.0.0.7"}) {
    crowd.push_back(std::make_unique<RawClient>(from));
  }
  RawClient over("127.0.0.8");
  EXPECT_TRUE(over.Receive().empty());
  EXPECT_TRUE(plc.Read(16, 1));
  const auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.Receive().empty());
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  EXPECT_GT(waited, 2.0);
  EXPECT_LT(waited, 15.0);
  crowd.clear();

  // A flood of pipelined requests: each answered, memory flat, the PLC and
  // the polling served throughout.
  const long before = lamptest::ResidentKilobytes(lampd->Pid());
  RawClient flood("127.0.0.9");
  std::vector<std::uint8_t> burst;
  for (int i = 0; i < 100; ++i) {
    const auto one = Request(static_cast<std::uint16_t>(i), 1, {0x03, 0x00, 0x10, 0x00, 0x09});
    burst.insert(burst.end(), one.begin(), one.end());
  }
  std::size_t answered = 0;
  for (int round = 0; round < 200; ++round) {
    ASSERT_TRUE(flood.Send(burst));
    std::size_t bytes = 0;
    for (std::size_t got = 1; got > 0 && bytes < 100 * 27; bytes += got) {
      got = flood.Receive(100 * 27 - bytes).size();
    }
    answered += bytes / 27;
    if (round % 50 == 0) {
      EXPECT_TRUE(plc.Read(16, 9, true));
    }
  }
  EXPECT_EQ(answered, 20000u);
  EXPECT_LT(lamptest::ResidentKilobytes(lampd->Pid()) - before, 2048)
      << "kilobytes grown by 20,000 requests";
  const std::size_t from = probe.Messages().size();
  probe.Publish("lampd/press-3/set/blue", "on");
  EXPECT_TRUE(StateOf(
      probe, "press-3", [](const json& s) { return s["lamps"]["blue"] == "on"; }, from));
  EXPECT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_modbus_closed_total{reason=\"malformed\"} 3\n") != std::string::npos &&
           text.find("lampd_modbus_closed_total{reason=\"full\"} 1\n") != std::string::npos &&
           text.find("lampd_modbus_closed_total{reason=\"unfinished\"} 1\n") != std::string::npos;
  })) << lampd->Log();
}

TEST_F(LampdModbus, OneAddressHoldsItsShareAndAnIdleCrowdMakesRoomForThePlc) {
  // A share of 2 an address; a client silent for 3 s (half of idle) may be evicted.
  Start(Modbus("max_clients = 8\nidle = \"6s\"\n[modbus.slots]\n1 = \"press-3\"\n"));
  std::vector<std::unique_ptr<RawClient>> crowd;
  crowd.push_back(std::make_unique<RawClient>("127.0.0.2"));
  crowd.push_back(std::make_unique<RawClient>("127.0.0.2"));
  RawClient third("127.0.0.2");
  EXPECT_TRUE(third.Receive().empty()) << "a third connection of one address was kept";
  for (const char* from :
       {"127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.7", "127.0.0.8"}) {
    crowd.push_back(std::make_unique<RawClient>(from));
  }
  // A function of 128 or more is answered with its high bit as it is.
  ASSERT_TRUE(crowd.back()->Send(Request(5, 1, {0x83})));
  EXPECT_EQ(crowd.back()->Receive(), (std::vector<std::uint8_t>{0, 5, 0, 0, 0, 3, 1, 0x83, 1}));
  // Full of silent clients: the PLC gets in once one has been quiet long enough.
  EXPECT_FALSE(Plc().Read(16, 1));
  EXPECT_TRUE(WaitUntil([] { return Plc().Read(16, 1).has_value(); }, 20s));
  EXPECT_TRUE(lamptest::WaitForMetrics([](const std::string& text) {
    return text.find("lampd_modbus_closed_total{reason=\"evicted\"} 0\n") == std::string::npos;
  })) << lampd->Log();
}

}  // namespace
