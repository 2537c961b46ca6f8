// The Wireshark dissector, read by tshark from captures taken here, in the
// private network, while lampctl, the library and the broadcast exchange
// talk to simulated units; and fed junk it must survive.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "lamp_unit_process.h"
#include "lamplink.h"
#include "net/broadcast.h"
#include "protocol/settings_frame.h"

namespace {

using lamptest::LampUnitProcess;
using lamptest::ProgramRun;
using lamptest::RunProgram;
using namespace std::chrono_literals;

using Row = std::map<std::string, std::string>;

std::string TempPath(const std::string& name) {
  return testing::TempDir() + std::to_string(::getpid()) + "-" + name;
}

// dumpcap on lo from construction to Stop(); the file goes with it. The
// kernel hands packets to dumpcap in blocks, so both ends wait for a marker
// datagram of their own to reach the file: everything sent before it has.
class Capture {
 public:
  Capture() : file_(TempPath("capture.pcapng")) {
    pid_ =
        lamptest::SpawnProgram({"/usr/bin/dumpcap", "-q", "-i", "lo", "-w", file_}, {}, false, {});
    live_ = Mark("lampsuite capture started");
  }
  ~Capture() {
    Stop();
    ::unlink(file_.c_str());
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  bool Live() const { return live_; }
  const std::string& Stop() {
    if (pid_ > 0) {
      Mark("lampsuite capture ends");
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    return file_;
  }

 private:
  bool Mark(const std::string& marker) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in discard{};
    discard.sin_family = AF_INET;
    discard.sin_port = htons(9);
    discard.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool seen = false;
    for (auto until = std::chrono::steady_clock::now() + 20s;
         !seen && std::chrono::steady_clock::now() < until;) {
      ::sendto(probe, marker.data(), marker.size(), 0, reinterpret_cast<sockaddr*>(&discard),
               sizeof discard);
      std::this_thread::sleep_for(50ms);
      std::ifstream in(file_, std::ios::binary);
      const std::string content((std::istreambuf_iterator<char>(in)), {});
      seen = content.find(marker) != std::string::npos;
    }
    ::close(probe);
    return seen;
  }

  std::string file_;
  pid_t pid_ = -1;
  bool live_ = false;
};

// tshark, two passes (a request's reply is known on the second), with the
// dissector from the source tree; one row per packet that `filter` keeps,
// several values of a field joined by ';'.
std::vector<Row> Dissect(const std::string& file, const std::string& filter,
                         const std::vector<std::string>& fields,
                         const std::vector<std::string>& options = {}) {
  std::vector<std::string> arguments = {"/usr/bin/tshark",
                                        "-2",
                                        "-n",
                                        "-X",
                                        std::string("lua_script:") + LAMPSUITE_LUA,
                                        "-r",
                                        file,
                                        "-Y",
                                        filter,
                                        "-T",
                                        "fields",
                                        "-E",
                                        "occurrence=a",
                                        "-E",
                                        "aggregator=;"};
  for (const std::string& field : fields) {
    arguments.push_back("-e");
    arguments.push_back(field);
  }
  arguments.insert(arguments.end(), options.begin(), options.end());
  // A home of its own: no personal plugins or preferences in the way.
  const ProgramRun run = RunProgram(arguments, {"HOME=" + testing::TempDir()}, false, 60s);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("Lua"), std::string::npos) << run.err;
  std::vector<Row> rows;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    Row row;
    std::istringstream values(line);
    std::string value;
    for (const std::string& field : fields) {
      std::getline(values, value, '\t');
      row[field] = value;
    }
    rows.push_back(row);
  }
  return rows;
}

// The rows whose `field` holds `value`.
std::vector<Row> Where(const std::vector<Row>& rows, const std::string& field,
                       const std::string& value) {
  std::vector<Row> kept;
  for (const Row& row : rows) {
    if (row.at(field) == value) kept.push_back(row);
  }
  return kept;
}

ProgramRun Lampctl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), LAMPCTL_PATH);
  return RunProgram(arguments, {});
}

std::array<std::uint8_t, 4> Address(const char* dotted) {
  std::array<std::uint8_t, 4> bytes{};
  ::inet_pton(AF_INET, dotted, bytes.data());
  return bytes;
}

// One library exchange: a status read, as the console sends it.
void ReadStatus(const char* unit) {
  std::uint8_t frame[8] = {0, 0, 0, 0x64, 0x64, 0x64, 0x64, 0x64};
  const auto address = Address(unit);
  Tcp_Orvik_RW(20000, address.data(), frame);
}

const std::vector<std::string> kFrameFields = {
    "frame.number",     "lampframe.request",     "lampframe.reply",       "lampframe.op",
    "lampframe.model",  "lampframe.red",         "lampframe.green",       "lampframe.yellow",
    "lampframe.sound",  "lampframe.response_in", "lampframe.response_to", "lampframe.time",
    "lampframe.status", "_ws.col.Info",          "_ws.expert.message"};

TEST(Dissector, LampFramesReadAsTheConsoleSendsThem) {
  LampUnitProcess unit({"--address", "192.168.10.21", "--model", "2"});
  Capture capture;
  ASSERT_TRUE(capture.Live());
  ASSERT_EQ(
      Lampctl({"set", "--model", "2", "192.168.10.21", "red=on", "green=blink", "sound=3"}).status,
      0);
  const ProgramRun status = Lampctl({"status", "--timeout", "2000", "192.168.10.21"});
  ASSERT_EQ(status.status, 0) << status.out << status.err;
  ASSERT_EQ(Lampctl({"reset", "192.168.10.21"}).status, 0);
  // A client that sends its read in two segments, 3 bytes and then 5.
  {
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(20000);
    ::inet_pton(AF_INET, "192.168.10.21", &to.sin_addr);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::uint8_t read[8] = {'R', 2, 0, 0x64, 0x64, 0x64, 0x64, 0x64};
    ASSERT_EQ(::send(client, read, 3, 0), 3);
    ASSERT_TRUE(unit.WaitForLine("tcp", 10s));  // the unit has the first part
    ASSERT_EQ(::send(client, read + 3, 5, 0), 5);
    std::uint8_t reply[8];
    ASSERT_EQ(::recv(client, reply, sizeof reply, MSG_WAITALL), 8);
    ::close(client);
  }
  const auto rows = Dissect(capture.Stop(), "lampframe", kFrameFields);
  ASSERT_EQ(rows.size(), 8u);

  const Row& set = rows[0];
  EXPECT_EQ(set.at("_ws.col.Info"), "W red=on green=blink sound=3 (Cukoos Waltaz)");
  EXPECT_EQ(set.at("lampframe.request"), "1");
  EXPECT_EQ(set.at("lampframe.op"), "0x57");
  EXPECT_EQ(set.at("lampframe.model"), "2");
  EXPECT_EQ(set.at("lampframe.red"), "1");
  EXPECT_EQ(set.at("lampframe.green"), "2");
  EXPECT_EQ(set.at("lampframe.yellow"), "100");
  EXPECT_EQ(set.at("lampframe.sound"), "3");
  const Row& setReply = rows[1];
  EXPECT_EQ(setReply.at("lampframe.reply"), "1");
  EXPECT_EQ(setReply.at("_ws.col.Info"), "W reply R-ON/Y-OF/G-BL/B-OF/W-OF/(S)-ON/");
  EXPECT_EQ(set.at("lampframe.response_in"), setReply.at("frame.number"));
  EXPECT_EQ(setReply.at("lampframe.response_to"), set.at("frame.number"));
  EXPECT_GT(std::stod(setReply.at("lampframe.time")), 0.0);
  EXPECT_LT(std::stod(setReply.at("lampframe.time")), 5.0);

  EXPECT_EQ(rows[2].at("_ws.col.Info"), "R status");
  EXPECT_EQ(rows[3].at("_ws.col.Info"), "R reply R-ON/Y-OF/G-BL/B-OF/W-OF/(S)-ON/");
  EXPECT_EQ(rows[3].at("lampframe.status"), "R-ON/Y-OF/G-BL/B-OF/W-OF/(S)-ON/");
  EXPECT_EQ(rows[4].at("_ws.col.Info"),
            "W red=off yellow=off green=off blue=off white=off sound=off");
  EXPECT_EQ(rows[5].at("_ws.col.Info"), "W reply R-OF/Y-OF/G-OF/B-OF/W-OF/(S)-OF/");
  // The split read is one request, in the packet that completes it.
  EXPECT_EQ(rows[6].at("_ws.col.Info"), "R status");
  EXPECT_EQ(rows[7].at("lampframe.response_to"), rows[6].at("frame.number"));
  for (const Row& row : rows) EXPECT_EQ(row.at("_ws.expert.message"), "") << row.at("_ws.col.Info");
}

TEST(Dissector, OtherPortsByPreferenceOrDecodeAs) {
  LampUnitProcess byPreference({"--address", "192.168.10.22", "--port", "21000", "--no-udp"});
  LampUnitProcess byDecodeAs({"--address", "192.168.10.23", "--port", "22000", "--no-udp"});
  Capture capture;
  ASSERT_TRUE(capture.Live());
  // Generous time for the replies: the capture and the rest of the run load the machine.
  const ProgramRun status =
      Lampctl({"status", "--timeout", "2000", "192.168.10.22:21000", "192.168.10.23:22000"});
  ASSERT_EQ(status.status, 0) << status.out << status.err;
  const std::string file = capture.Stop();
  const std::vector<std::string> fields = {"_ws.col.Info"};
  EXPECT_TRUE(Dissect(file, "lampframe", fields).empty());
  const auto rows =
      Dissect(file, "lampframe", fields,
              {"-o", "lampframe.ports:20000,21000", "-d", "tcp.port==22000,lampframe"});
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(Where(rows, "_ws.col.Info", "R status").size(), 2u);
  EXPECT_EQ(Where(rows, "_ws.col.Info", "R reply R-OF/Y-OF/G-OF/B-OF/W-OF/(S)-OF/").size(), 2u);
}

TEST(Dissector, FaultyUnitsAreFlagged) {
  LampUnitProcess shortUnit({"--address", "192.168.10.50", "--no-udp", "--tcp-fault", "short:3"});
  LampUnitProcess longUnit({"--address", "192.168.10.51", "--no-udp", "--tcp-fault", "long"});
  LampUnitProcess lateUnit({"--address", "192.168.10.52", "--no-udp", "--tcp-fault", "late:400"});
  LampUnitProcess silentUnit({"--address", "192.168.10.53", "--no-udp", "--tcp-fault", "silent"});
  Capture capture;
  ASSERT_TRUE(capture.Live());
  ReadStatus("192.168.10.50");
  ReadStatus("192.168.10.51");
  ReadStatus("192.168.10.53");
  ASSERT_EQ(Lampctl({"status", "--timeout", "5000", "192.168.10.52"}).status, 0);
  const auto rows = Dissect(capture.Stop(), "lampframe",
                            {"ip.src", "lampframe.reply", "lampframe.time", "_ws.col.Info",
                             "_ws.expert.message", "_ws.expert.severity"});

  auto reply = [&](const std::string& unit) {
    const auto replies = Where(Where(rows, "ip.src", unit), "lampframe.reply", "1");
    return replies.empty() ? Row{} : replies.front();
  };
  Row cut = reply("192.168.10.50");
  EXPECT_EQ(cut["_ws.expert.message"], "Short reply: 3 of 8 bytes, and no more came");
  // What the console would show: the reply's bytes over its read request's.
  EXPECT_EQ(cut["_ws.col.Info"], "R reply, short: 3 of 8 bytes R-OF/Y-BL/G-BL/B-BL/W-BL/(S)-ON/");
  EXPECT_EQ(reply("192.168.10.51")["_ws.expert.message"],
            "Long reply: 4 bytes past the 8-byte frame");
  Row late = reply("192.168.10.52");
  EXPECT_EQ(late["_ws.expert.message"], "Late reply: the library waits 300 ms for a reply");
  EXPECT_GE(std::stod(late["lampframe.time"]), 0.4);

  const auto unanswered = Where(rows, "_ws.expert.message",
                                "The unit did not answer this request (no reply follows in the "
                                "capture)");
  ASSERT_EQ(unanswered.size(), 1u);
  EXPECT_EQ(unanswered[0].at("_ws.col.Info"), "R status");
  EXPECT_EQ(unanswered[0].at("ip.src"), "192.168.10.53");  // lo: a unit's own address speaks
}

// A Mac Find and a read as lampctl sends them; a write and a SETT as the
// settings tool's broadcast exchange does.
void Broadcast(const protocol::SettingsFrame& frame) {
  platform::BroadcastOptions options;
  options.unitPort = protocol::kSettingsPort;
  options.replyPort = protocol::kSettingsReplyPort;
  platform::BroadcastChannel channel(options);
  ASSERT_TRUE(channel.Open());
  ASSERT_TRUE(channel.Send(frame));
  channel.Collect([](const platform::SocketAddress&, std::span<const std::uint8_t>) {});
  channel.Close();
}

TEST(Dissector, SettingsRecordsReadAsTheToolsShowThem) {
  LampUnitProcess units(
      {"--address", "192.168.10.21", "--count", "3", "--mac", "00:50:c2:01:02:09"});
  // A second host that answers every read, whatever MAC address it names.
  LampUnitProcess stray(
      {"--address", "192.168.10.40", "--mac", "00:50:c2:01:02:40", "--udp-fault", "stray"});
  Capture capture;
  ASSERT_TRUE(capture.Live());
  ASSERT_EQ(Lampctl({"find"}).status, 0);
  ASSERT_EQ(Lampctl({"read", "00:50:c2:01:02:0a"}).status, 0);
  protocol::SettingsRecord record;
  record.mac = {0x00, 0x50, 0xc2, 0x01, 0x02, 0x0b};
  record.ipAddress = Address("192.168.10.23");
  record.subnetMask = Address("255.255.254.0");
  record.gateway = Address("192.168.10.1");
  record.port = 20002;
  record.t = 7;
  Broadcast(protocol::Encode(protocol::SettingsRequest(protocol::Write, record, record.mac)));
  Broadcast(protocol::Encode(
      protocol::SettingsRequest(protocol::Sett, record, {0x00, 0x50, 0xc2, 0x01, 0x02, 0x99})));
  const std::string file = capture.Stop();
  const std::vector<std::string> fields = {
      "frame.number",     "lampsettings.request", "lampsettings.reply", "lampsettings.command",
      "lampsettings.mac", "lampsettings.ip",      "lampsettings.mask",  "lampsettings.port",
      "lampsettings.t",   "lampsettings.xtag",    "lampsettings.x",     "lampsettings.response_to",
      "_ws.col.Info",     "_ws.expert.message"};
  const auto rows = Dissect(file, "lampsettings", fields);

  const auto finds = Where(rows, "_ws.col.Info", "MR find");
  ASSERT_EQ(finds.size(), 1u);
  const auto found = Where(Where(rows, "lampsettings.reply", "1"), "lampsettings.command", "MR");
  EXPECT_EQ(found.size(), 4u);
  for (const Row& answer : found) {
    EXPECT_EQ(answer.at("lampsettings.response_to"), finds[0].at("frame.number"));
    EXPECT_EQ(answer.at("_ws.col.Info"), "MR " + answer.at("lampsettings.mac"));
  }

  const auto reads = Where(rows, "_ws.col.Info", "IR read 00:50:c2:01:02:0a");
  ASSERT_EQ(reads.size(), 1u);
  const auto readReplies =
      Where(Where(rows, "lampsettings.reply", "1"), "lampsettings.command", "IR");
  ASSERT_EQ(readReplies.size(), 2u);  // the unit named and the stray host
  for (const Row& answer : readReplies) {
    EXPECT_EQ(answer.at("lampsettings.response_to"), reads[0].at("frame.number"));
  }
  const auto named = Where(readReplies, "lampsettings.mac", "00:50:c2:01:02:0a");
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0].at("_ws.col.Info"),
            "IR 00:50:c2:01:02:0a → 192.168.10.22/24 gw 192.168.10.1 port 20000");
  EXPECT_EQ(named[0].at("_ws.expert.message"), "");
  const auto strays = Where(readReplies, "lampsettings.mac", "00:50:c2:01:02:40");
  ASSERT_EQ(strays.size(), 1u);
  EXPECT_EQ(strays[0].at("_ws.expert.message"),
            "Answer from 00:50:c2:01:02:40 to a request for 00:50:c2:01:02:0a");

  const auto writes = Where(Where(rows, "lampsettings.request", "1"), "lampsettings.command", "IW");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].at("_ws.col.Info"),
            "IW write 00:50:c2:01:02:0b ← 192.168.10.23/23 gw 192.168.10.1 port "
            "20002");
  EXPECT_EQ(writes[0].at("lampsettings.xtag"), "X");
  EXPECT_EQ(writes[0].at("lampsettings.t"), "7");
  EXPECT_EQ(writes[1].at("lampsettings.xtag"), "M");
  EXPECT_EQ(writes[1].at("lampsettings.x"), "00:50:c2:01:02:99");
  EXPECT_EQ(writes[1].at("_ws.col.Info"),
            "IW SETT 00:50:c2:01:02:0b ← 192.168.10.23/23 gw 192.168.10.1 port "
            "20002 mac 00:50:c2:01:02:99");
  for (const Row& row : rows)
    EXPECT_EQ(row.at("_ws.expert.message").find("Record"), std::string::npos);

  // Addresses are Wireshark's own: a filter on one finds the unit's answers.
  const auto byAddress = Dissect(file, "lampsettings.ip == 192.168.10.22 && lampsettings.reply",
                                 {"lampsettings.command"});
  EXPECT_EQ(byAddress.size(), 2u);  // its Mac Find answer and its read reply
}

// A classic pcap of raw IPv4 packets, written by hand: records no program
// here would send.
class JunkCapture {
 public:
  JunkCapture() : file_(TempPath("junk.pcap")), out_(file_, std::ios::binary) {
    Put32(0xa1b2c3d4);
    Put16(2);
    Put16(4);
    Put32(0);
    Put32(0);
    Put32(65535);
    Put32(101);  // LINKTYPE_RAW
  }
  ~JunkCapture() { ::unlink(file_.c_str()); }
  JunkCapture(const JunkCapture&) = delete;
  JunkCapture& operator=(const JunkCapture&) = delete;

  void Udp(std::uint16_t from, std::uint16_t to, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> header = {static_cast<std::uint8_t>(from >> 8),
                                        static_cast<std::uint8_t>(from),
                                        static_cast<std::uint8_t>(to >> 8),
                                        static_cast<std::uint8_t>(to),
                                        static_cast<std::uint8_t>((payload.size() + 8) >> 8),
                                        static_cast<std::uint8_t>(payload.size() + 8),
                                        0,
                                        0};
    Packet(17, header, payload);
  }
  // A TCP segment of a connection between port `client` and 20000.
  void Tcp(std::uint16_t client, bool toUnit, const std::vector<std::uint8_t>& payload) {
    std::uint32_t& seq = toUnit ? clientSeq_[client] : unitSeq_[client];
    const std::uint16_t from = toUnit ? client : 20000, to = toUnit ? 20000 : client;
    std::vector<std::uint8_t> header(20, 0);
    header[0] = from >> 8, header[1] = from & 0xff, header[2] = to >> 8, header[3] = to & 0xff;
    for (int i = 0; i < 4; ++i) header[4 + i] = seq >> (24 - 8 * i);
    header[12] = 5 << 4;
    header[13] = 0x18;  // PSH, ACK
    header[14] = 0xff, header[15] = 0xff;
    seq += payload.size();
    Packet(6, header, payload);
  }
  const std::string& Close() {
    out_.close();
    return file_;
  }

 private:
  void Put16(std::uint16_t v) { out_.write(reinterpret_cast<const char*>(&v), 2); }
  void Put32(std::uint32_t v) { out_.write(reinterpret_cast<const char*>(&v), 4); }
  void Packet(std::uint8_t protocol, const std::vector<std::uint8_t>& header,
              const std::vector<std::uint8_t>& payload) {
    const std::size_t length = 20 + header.size() + payload.size();
    std::vector<std::uint8_t> ip = {0x45,
                                    0,
                                    static_cast<std::uint8_t>(length >> 8),
                                    static_cast<std::uint8_t>(length),
                                    0,
                                    0,
                                    0x40,
                                    0,
                                    64,
                                    protocol,
                                    0,
                                    0,
                                    192,
                                    168,
                                    10,
                                    200,
                                    192,
                                    168,
                                    10,
                                    21};
    ++packets_;
    Put32(packets_);
    Put32(0);
    Put32(length);
    Put32(length);
    out_.write(reinterpret_cast<const char*>(ip.data()), ip.size());
    out_.write(reinterpret_cast<const char*>(header.data()), header.size());
    out_.write(reinterpret_cast<const char*>(payload.data()), payload.size());
  }

  std::string file_;
  std::ofstream out_;
  std::uint32_t packets_ = 0;
  std::map<std::uint16_t, std::uint32_t> clientSeq_, unitSeq_;
};

TEST(Dissector, JunkNeverRaisesALuaErrorAndBadRecordsAreFlagged) {
  protocol::SettingsRecord record;
  record.mac = {0x00, 0x50, 0xc2, 0x01, 0x02, 0x09};
  const protocol::SettingsFrame good =
      protocol::Encode(protocol::SettingsRequest(protocol::Read, record, record.mac));
  const std::vector<std::uint8_t> goodBytes(good.begin(), good.end());
  JunkCapture junk;
  // First the records whose faults are known, in this order.
  auto changed = [&](std::size_t at, std::uint8_t to) {
    auto bytes = goodBytes;
    bytes[at] = to;
    return bytes;
  };
  junk.Udp(40000, 50000, changed(0, '#'));   // no '$'
  junk.Udp(40000, 50000, changed(18, 'Q'));  // tag S is Q
  junk.Udp(40000, 50000, changed(45, 0));    // no LF
  junk.Udp(40000, 50000, std::vector<std::uint8_t>(goodBytes.begin(), goodBytes.begin() + 20));
  // Then junk, the same every run: records cut at every length, padded,
  // changed at random, and random bytes both ways over UDP and TCP.
  std::mt19937 random(20261208);
  auto bytes = [&](std::size_t count) {
    std::vector<std::uint8_t> out(count);
    for (auto& b : out) b = static_cast<std::uint8_t>(random());
    return out;
  };
  for (std::size_t length = 0; length <= 60; ++length) {
    auto record = goodBytes;
    record.resize(length, 0x20);
    junk.Udp(50000, 50001, record);
    junk.Udp(40000, 50000, record);
  }
  for (int i = 0; i < 300; ++i) {
    auto record = goodBytes;
    record[random() % record.size()] = static_cast<std::uint8_t>(random());
    record[random() % record.size()] = static_cast<std::uint8_t>(random());
    junk.Udp(i % 2 ? 50000 : 40000, i % 2 ? 50001 : 50000, record);
    junk.Udp(40000, 50000, bytes(random() % 80));
    const std::uint16_t client = 41000 + i % 7;
    junk.Tcp(client, true, bytes(random() % 20));
    junk.Tcp(client, false, bytes(random() % 20));
  }
  const std::string file = junk.Close();

  const auto flagged = Dissect(file, "frame.number <= 4", {"_ws.expert.message"});
  ASSERT_EQ(flagged.size(), 4u);
  EXPECT_EQ(flagged[0].at("_ws.expert.message"), "No '$' at the start");
  EXPECT_EQ(flagged[1].at("_ws.expert.message"), "Expected ',S' at offset 17, found \",Q\"");
  EXPECT_EQ(flagged[2].at("_ws.expert.message"), "No CR LF at the end");
  EXPECT_EQ(flagged[3].at("_ws.expert.message"),
            "Record of 20 bytes; a record has 46;No CR LF at the end");

  // Every packet dissected in full, its tree and all: no Lua error anywhere.
  const ProgramRun run = RunProgram({"/usr/bin/tshark", "-2", "-n", "-V", "-X",
                                     std::string("lua_script:") + LAMPSUITE_LUA, "-r", file},
                                    {"HOME=" + testing::TempDir()}, false, 120s);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.find("Lua Error"), std::string::npos) << run.out.substr(
      run.out.find("Lua Error") - std::min<std::size_t>(run.out.find("Lua Error"), 2000), 2500);
  EXPECT_EQ(run.err.find("Lua"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("Lamp frame"), std::string::npos);
}

}  // namespace
