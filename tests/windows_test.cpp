// LampLink.dll, lampctl.exe, LampPanel.exe and NetAssign.exe as Windows
// runs them: cross-built with MinGW-w64 (scripts/build --windows) and run
// under Wine in the test's private network, against the same simulated
// units as the Linux library, tool and dialogs. A small C caller loads the
// DLL by name and calls Tcp_Orvik_RW; lampctl.exe must print what lampctl
// prints; the dialogs, on a private X display, are pressed and read by
// dialog_driver.exe through Windows' own messages, as the Qt dialog tests
// press and read theirs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "console_presses.h"
#include "lamp_unit_process.h"

namespace {

using lamptest::LampUnitProcess;
using lamptest::ProgramRun;
using lamptest::RunProgram;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const std::string kBin = std::string(WINDOWS_TREE) + "/bin/";
const std::string kPrefix = std::string(WINDOWS_TREE) + "/wine-prefix";
const std::string kWine = "/usr/lib/wine/wine64";
const std::vector<std::string> kWineEnvironment = {"WINEPREFIX=" + kPrefix, "WINEDEBUG=-all",
                                                   "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY="};

class UnderWine : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kBin + "LampLink.dll") ||
        !std::filesystem::exists(kPrefix + "/system.reg") || !std::filesystem::exists(kWine)) {
      GTEST_SKIP() << "no Windows build or Wine prefix here (scripts/test makes both)";
    }
    EndWineServer();
    // A server of this network for the test, and Wine's own services
    // started beside it once, on none of our pipes: the programs run later
    // start nothing that would hold their output open.
    Quietly({"/usr/lib/wine/wineserver", "-p"});
    Quietly({kWine, "cmd.exe", "/c", "exit"});
  }
  // Wine's server makes the sockets, in the network it was started in: none
  // may outlive this test's network and serve the next one's.
  void TearDown() override { EndWineServer(); }
  static void EndWineServer() {
    Quietly({"/usr/lib/wine/wineserver", "-k"});
    Quietly({"/usr/lib/wine/wineserver", "-w"});
  }
  static void Quietly(const std::vector<std::string>& arguments) {
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = lamptest::SpawnProgram(arguments, kWineEnvironment, false,
                                             {{null, STDOUT_FILENO}, {null, STDERR_FILENO}});
    ::close(null);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
  }
  static ProgramRun Wine(std::vector<std::string> arguments) {
    arguments[0] = kBin + arguments[0];
    arguments.insert(arguments.begin(), kWine);
    return RunProgram(arguments, kWineEnvironment, false, 60s);
  }
};

// One call of Tcp_Orvik_RW through the C caller: "result R frame HH ... ms
// N error E guard ok".
struct Call {
  std::string caller, address;
  int port;
  std::string request, result, reply;
  int minimumMs, maximumMs;
  int error;  // WSAGetLastError() after a 0
};

TEST_F(UnderWine, LampLinkDllExchangesAsTheLinuxLibraryDoes) {
  // Each peer on an address of its own; every one a simulated unit.
  const std::vector<std::vector<std::string>> units = {
      {"--address", "192.168.10.200"},
      {"--address", "192.168.10.201"},
      {"--address", "192.168.10.202", "--port", "4464"},
      {"--address", "192.168.10.203", "--tcp-fault", "silent"},
      {"--address", "192.168.10.204", "--tcp-fault", "short:3"},
      {"--address", "192.168.10.205", "--tcp-fault", "long", "--model", "7"},
      {"--address", "192.168.10.206", "--tcp-fault", "late:1500"},
      {"--address", "192.168.10.207", "--tcp-fault", "close"},
  };
  std::vector<std::unique_ptr<LampUnitProcess>> running;
  for (const auto& arguments : units) {
    running.push_back(std::make_unique<LampUnitProcess>(arguments));
    ASSERT_TRUE(running.back()->Ready());
  }
  const std::string D = "64";
  const std::vector<Call> calls = {
      // A write goes out as 'W' and the unit's state comes back.
      {"lamplink_caller.exe", "192.168.10.200", 20000, "0100016464646464", "1",
       "57 00 01 00 00 00 00 00", 90, 1000, 0},
      // Any byte 0 but 1 asks for a read, 'W' itself too.
      {"lamplink_caller.exe", "192.168.10.201", 20000, "5700006464646464", "1",
       "52 00 00 00 00 00 00 00", 90, 1000, 0},
      // Through the import library and lamplink.h.
      {"lamplink_linked.exe", "192.168.10.200", 20000, "0200006464646464", "1",
       "52 00 01 00 00 00 00 00", 90, 1000, 0},
      // Refused, and 0.0.0.0: 0 after the whole second, with the reason.
      {"lamplink_caller.exe", "192.168.10.200", 20001, "0000006464646464", "0",
       "52 00 00 64 64 64 64 64", 900, 3000, 10061},
      {"lamplink_caller.exe", "0.0.0.0", 20000, "0100016464646464", "0", "57 00 01 64 64 64 64 64",
       900, 3000, 10039},
      // Only the low 16 bits of the port: 70000 is 4464.
      {"lamplink_caller.exe", "192.168.10.202", 70000, "0000006464646464", "1",
       "52 00 00 00 00 00 00 00", 90, 1000, 0},
      // Silent: 1 after the pause and the 200 ms, the request intact.
      {"lamplink_caller.exe", "192.168.10.203", 20000, "0102646401646464", "1",
       "57 02 64 64 01 64 64 64", 280, 3000, 0},
      // Short, long, late and closed replies.
      {"lamplink_caller.exe", "192.168.10.204", 20000, "0104026464646464", "1",
       "57 00 02 64 64 64 64 64", 90, 1000, 0},
      {"lamplink_caller.exe", "192.168.10.205", 20000, "0107010101010103", "1",
       "57 07 01 01 01 01 01 03", 90, 1000, 0},
      {"lamplink_caller.exe", "192.168.10.206", 20000, "0000006464646464", "1",
       "52 00 00 64 64 64 64 64", 280, 3000, 0},
      {"lamplink_caller.exe", "192.168.10.207", 20000, "0100016464646464", "1",
       "57 00 01 64 64 64 64 64", 90, 1000, 0},
  };
  const std::regex line(
      R"(result (\d) frame ((?:[0-9A-F]{2} ){7}[0-9A-F]{2}) ms (\d+)\.\d error (\d+) guard (\w+)\r?\n)");
  for (const Call& call : calls) {
    const std::string what =
        call.caller + " " + call.address + ":" + std::to_string(call.port) + " " + call.request;
    const ProgramRun run =
        Wine({call.caller, std::to_string(call.port), call.address, call.request});
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(run.out, parts, line)) << what << ": " << run.out << run.err;
    EXPECT_EQ(parts[1], call.result) << what;
    EXPECT_EQ(parts[2], call.reply) << what;
    const int ms = std::stoi(parts[3]);
    EXPECT_GE(ms, call.minimumMs) << what;
    EXPECT_LE(ms, call.maximumMs) << what;
    EXPECT_EQ(std::stoi(parts[4]), call.error) << what;
    EXPECT_EQ(parts[5], "ok") << what << ": written past the 8 bytes";
  }
  // What went on the wire: 'W' for the write, 'R' for 0x57.
  EXPECT_EQ(running[0]->Received().front().front(), 'W');
  EXPECT_EQ(running[1]->Received().front().front(), 'R');
}

// The same text whatever took how long and whichever line ends the system uses.
std::string Comparable(const std::string& output) {
  std::string text = std::regex_replace(output, std::regex("\r\n"), "\n");
  text = std::regex_replace(text, std::regex(R"(\d+(\.\d+)? ms)"), "N ms");
  text = std::regex_replace(text, std::regex(R"("ms": [0-9.]+)"), R"("ms": N)");
  return std::regex_replace(text, std::regex(" +"), " ");
}

TEST_F(UnderWine, LampctlExeSaysWhatLampctlSays) {
  LampUnitProcess units({"--address", "192.168.10.200", "--count", "3"});
  ASSERT_TRUE(units.Ready());
  const std::vector<std::vector<std::string>> commands = {
      {"find"},
      {"find", "--json"},
      {"read", "00:50:c2:01:02:01"},
      {"read", "0.80.194.1.2.2", "--json"},
      {"status", "192.168.10.200"},
      {"status", "192.168.10.200", "192.168.10.201", "--json"},
      {"poll", "192.168.10.200-203"},  // .203 is nobody: exit 1 on both
      {"set", "192.168.10.209", "red=on"},
  };
  for (const auto& command : commands) {
    std::vector<std::string> onLinux = {LAMPCTL_PATH};
    onLinux.insert(onLinux.end(), command.begin(), command.end());
    std::vector<std::string> windows = {"lampctl.exe"};
    windows.insert(windows.end(), command.begin(), command.end());
    const ProgramRun expected = RunProgram(onLinux, {});
    const ProgramRun got = Wine(windows);
    const std::string what = command.front() + (command.size() > 1 ? " " + command[1] : "");
    EXPECT_EQ(got.status, expected.status) << what << "\n" << got.out << got.err;
    EXPECT_EQ(Comparable(got.out), Comparable(expected.out)) << what;
    EXPECT_EQ(Comparable(got.err), Comparable(expected.err)) << what;
  }

  // Commands that change a unit, from Windows, seen from Linux.
  const ProgramRun set = Wine({"lampctl.exe", "set", "192.168.10.201", "red=blink", "sound=2"});
  ASSERT_EQ(set.status, 0) << set.out << set.err;
  EXPECT_NE(RunProgram({LAMPCTL_PATH, "status", "192.168.10.201"}, {}).out.find("red     blink"),
            std::string::npos);
  const ProgramRun write =
      Wine({"lampctl.exe", "write", "00:50:c2:01:02:03", "--gateway", "192.168.10.254"});
  ASSERT_EQ(write.status, 0) << write.out << write.err;
  EXPECT_NE(RunProgram({LAMPCTL_PATH, "read", "00:50:c2:01:02:03"}, {}).out.find("192.168.10.254"),
            std::string::npos);
}

// A dialog program under Wine on a display of its own, and the driver that
// presses and reads it, one line a command (tests/windows/dialog_driver.c).
class DialogUnderWine : public UnderWine {
 protected:
  void Open(const std::string& program, const std::string& caption) {
    ASSERT_TRUE(display_.Running());
    const std::vector<std::string> environment = WithDisplay();
    program_ = lamptest::SpawnProgram({kWine, kBin + program}, environment, false, {});
    int in[2], out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    driver_ = lamptest::SpawnProgram({kWine, kBin + "dialog_driver.exe"}, environment, false,
                                     {{in[0], STDIN_FILENO}, {out[1], STDOUT_FILENO}});
    ::close(in[0]);
    ::close(out[1]);
    toDriver_ = in[1];
    fromDriver_ = out[0];
    ASSERT_EQ(Ask("find " + caption), "ok") << "no dialog \"" << caption << "\"";
  }
  void TearDown() override {
    if (driver_ > 0) {
      Ask("close");
      Ask("gone");
      ::close(toDriver_);
      ::close(fromDriver_);
      ::waitpid(driver_, nullptr, 0);
    }
    if (program_ > 0) ::waitpid(program_, nullptr, 0);
    UnderWine::TearDown();
  }
  std::vector<std::string> WithDisplay() const {
    std::vector<std::string> environment = kWineEnvironment;
    environment.back() = "DISPLAY=" + display_.Name();
    return environment;
  }
  // One command; its answer (within 30 s).
  std::string Ask(const std::string& command) {
    const std::string line = command + "\n";
    if (::write(toDriver_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      return "";
    std::string answer;
    const auto end = Clock::now() + 30s;
    for (;;) {
      const auto newline = pending_.find('\n');
      if (newline != std::string::npos) {
        answer = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        if (!answer.empty() && answer.back() == '\r') answer.pop_back();
        return answer;
      }
      pollfd ready{fromDriver_, POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return "";
      char buffer[4096];
      const ssize_t count = ::read(fromDriver_, buffer, sizeof buffer);
      if (count <= 0) return "";
      pending_.append(buffer, static_cast<std::size_t>(count));
    }
  }
  std::string Text(int id) { return Ask("text " + std::to_string(id)); }
  // The lines of a multi-line text, as the driver writes CR LF.
  std::vector<std::string> Lines(int id) {
    std::vector<std::string> lines;
    std::string text = Text(id), line;
    for (std::size_t at = 0; at < text.size(); ++at) {
      if (text.compare(at, 4, "\\r\\n") == 0) {
        lines.push_back(line);
        line.clear();
        at += 3;
      } else {
        line += text[at];
      }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
  }
  std::string Click(int id) { return Ask("click " + std::to_string(id)); }
  // A picture for the README, beside the Linux ones.
  void Picture(const std::string& name) {
    std::filesystem::create_directories(std::string(WINDOWS_TREE) + "/screenshots");
    const std::string path = std::string(WINDOWS_TREE) + "/screenshots/" + name + ".bmp";
    EXPECT_EQ(Ask("shot Z:" + path), "ok");
  }

  lamptest::XvfbServer display_;
  pid_t program_ = -1, driver_ = -1;
  int toDriver_ = -1, fromDriver_ = -1;
  std::string pending_;
};

constexpr std::uint8_t D = 0x64;

// The newest line of the console's status box, without its time.
std::string Newest(const std::vector<std::string>& lines) {
  if (lines.empty()) return "";
  const std::string& line = lines.back();
  EXPECT_TRUE(std::regex_search(line, std::regex("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]"))) << line;
  return line.size() >= 8 ? line.substr(8) : line;
}

TEST_F(DialogUnderWine, TheConsoleSendsEachFrameAndTellsItInItsStatusBox) {
  LampUnitProcess unit({"--address", "192.168.10.200"});
  ASSERT_TRUE(unit.Ready());
  Open("LampPanel.exe", "LampPanel [Ethernet-type]v1.2");
  // Its defaults, as the Linux console opens.
  EXPECT_EQ(Ask("ip 1073"), "192.168.10.200");
  EXPECT_EQ(Text(1067), "20000");
  EXPECT_EQ(Ask("checked 1020"), "1");
  EXPECT_EQ(Text(1068), "Fire A-WANG");
  EXPECT_EQ(Text(1072), "PI_contiune");
  EXPECT_EQ(Text(1032), "");
  std::size_t sent = 0;
  for (const auto& press : lamptest::ConsolePresses()) {
    ASSERT_EQ(Click(press.id), "ok");
    ASSERT_EQ(unit.Received().size(), ++sent) << press.id;
    EXPECT_EQ(unit.Received().back(), press.frame) << press.id;
    const auto lines = Lines(1032);
    EXPECT_EQ(lines.size(), 2u) << press.id;  // the status box keeps the two newest lines
    EXPECT_EQ(Newest(lines), press.line) << press.id;
  }
  // Another model: its sounds' names, and its byte in the next frame.
  ASSERT_EQ(Click(1027), "ok");
  EXPECT_EQ(Text(1068), "Beep_intermittent");
  EXPECT_EQ(Text(1070), "Phon Ring   ");
  EXPECT_EQ(Newest(Lines(1032)), "B_snd_select 7");
  ASSERT_EQ(Click(1017), "ok");
  EXPECT_EQ(unit.Received().back(), (Bytes{'W', 7, D, D, D, D, D, 3}));
  Picture("LampPanel");

  // A unit that is not there: "Send  Error" after the library's second.
  ASSERT_EQ(Ask("setip 1073 192.168.10.99"), "ok");
  const auto start = Clock::now();
  ASSERT_EQ(Click(1000), "ok");
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(Newest(Lines(1032)), "  [Send  Error] Lamp 1 ON ");
  EXPECT_GE(took, 0.9);
  EXPECT_LE(took, 3.0);
}

TEST_F(DialogUnderWine, TheSettingsToolFindsReadsAndWritesUnits) {
  LampUnitProcess units({"--address", "192.168.10.200", "--count", "3"});
  LampUnitProcess cut(
      {"--address", "192.168.10.220", "--mac", "0.80.194.1.2.10", "--udp-fault", "short"});
  ASSERT_TRUE(units.Ready() && cut.Ready());
  Open("NetAssign.exe", "NetAssign");
  for (const int id : {1010, 1013, 1014}) EXPECT_EQ(Ask("enabled " + std::to_string(id)), "0");
  // Mac Find lists every unit once, as dotted decimals in text order; the
  // short reply is logged and lists nothing.
  ASSERT_EQ(Click(1000), "ok");
  EXPECT_EQ(Ask("items 1003"), "0.80.194.1.2.1|0.80.194.1.2.2|0.80.194.1.2.3");
  EXPECT_EQ(Ask("selected 1003"), "-1");
  const auto log = Lines(1002);
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.front().find(" -- Success UDP Setting"), std::string::npos) << log.front();
  // READ fills the fields from the unit chosen.
  ASSERT_EQ(Ask("select 1003 1"), "ok");
  ASSERT_EQ(Click(1011), "ok");
  EXPECT_EQ(Ask("ip 1005"), "192.168.10.201");
  EXPECT_EQ(Ask("ip 1006"), "255.255.255.0");
  EXPECT_EQ(Ask("ip 1007"), "192.168.10.1");
  EXPECT_EQ(Text(1008), "20000");
  EXPECT_EQ(Text(1010), "0.80.194.1.2.2");
  // WRITE stores new settings in the unit: read back from Linux.
  ASSERT_EQ(Ask("setip 1007 192.168.10.254"), "ok");
  ASSERT_EQ(Ask("settext 1008 502"), "ok");
  ASSERT_EQ(Click(1012), "ok");
  const ProgramRun read = RunProgram({LAMPCTL_PATH, "read", "00:50:c2:01:02:02", "--json"}, {});
  EXPECT_NE(read.out.find("\"gateway\": \"192.168.10.254\""), std::string::npos) << read.out;
  EXPECT_NE(read.out.find("\"port\": 502"), std::string::npos) << read.out;
  Picture("NetAssign");
  // Reset Status empties the log.
  ASSERT_EQ(Click(1004), "ok");
  EXPECT_EQ(Text(1002), "");
}

}  // namespace
