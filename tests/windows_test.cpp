// LampLink.dll and lampctl.exe as Windows runs them: cross-built with
// MinGW-w64 (scripts/build --windows) and run under Wine in the test's
// private network, against the same simulated units as the Linux library
// and tool. A small C caller loads the DLL by name and calls Tcp_Orvik_RW;
// lampctl.exe must print what lampctl prints.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "child_process.h"
#include "lamp_unit_process.h"

namespace {

using lamptest::LampUnitProcess;
using lamptest::ProgramRun;
using lamptest::RunProgram;
using namespace std::chrono_literals;

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
      {"--address", "192.168.10.206", "--tcp-fault", "late:700"},
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

}  // namespace
