// Every program behaves like its neighbours on a Linux system: --help and
// --version, one clear line and exit status 1 where a dialog finds no
// display, and bad input refused with the usage and exit status 2.
#include <gtest/gtest.h>

#include <algorithm>

#include "child_process.h"
#include "lamp_unit_process.h"

namespace {

using lamptest::ProgramRun;
using Strings = std::vector<std::string>;

struct Program {
  const char* name;
  const char* path;
};

const Program kPrograms[] = {
    {"lamppanel", LAMPPANEL_PATH}, {"netassign", NETASSIGN_PATH}, {"lampctl", LAMPCTL_PATH},
    {"lampsend", LAMPSEND_PATH},   {"lampunit", LAMPUNIT_PATH},   {"lamptower", LAMPTOWER_PATH},
};
const Program kDialogs[] = {{"lamppanel", LAMPPANEL_PATH}, {"netassign", NETASSIGN_PATH}};
const Program kWindows[] = {
    {"lamppanel", LAMPPANEL_PATH}, {"netassign", NETASSIGN_PATH}, {"lamptower", LAMPTOWER_PATH}};

// Runs with no display named, unless `environment` names one.
ProgramRun Start(const char* path, Strings arguments, Strings environment = {}) {
  arguments.insert(arguments.begin(), path);
  for (const char* unset : {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}) {
    const bool given =
        std::any_of(environment.begin(), environment.end(),
                    [&](const std::string& entry) { return entry.starts_with(unset); });
    if (!given) environment.push_back(unset);
  }
  return lamptest::RunProgram(arguments, environment, false, std::chrono::seconds(20));
}

TEST(Programs, AnswerHelpAndVersion) {
  for (const Program& program : kPrograms) {
    const ProgramRun help = Start(program.path, {"--help"});
    EXPECT_EQ(help.status, 0) << program.name << help.err;
    EXPECT_NE(help.out.find("sage: "), std::string::npos) << program.name << help.out;
    EXPECT_EQ(help.err, "") << program.name;
    const ProgramRun version = Start(program.path, {"--version"});
    EXPECT_EQ(version.status, 0) << program.name;
    EXPECT_NE(version.out.find(LAMP_VERSION), std::string::npos) << program.name << version.out;
  }
  // The dialogs say that they take nothing else.
  for (const Program& dialog : kDialogs) {
    EXPECT_NE(Start(dialog.path, {"--help"}).out.find("takes no other arguments"),
              std::string::npos)
        << dialog.name;
  }
}

TEST(Programs, WindowsWithoutADisplaySaySoInOneLine) {
  for (const Program& dialog : kWindows) {
    const ProgramRun none = Start(dialog.path, {});
    EXPECT_FALSE(none.killed) << dialog.name;
    EXPECT_EQ(none.status, 1) << dialog.name;
    EXPECT_EQ(none.err,
              std::string(dialog.name) + ": no display: set DISPLAY or WAYLAND_DISPLAY\n");

    // Named but not there: an X display over TCP that nothing serves, a
    // Wayland socket that does not exist. One line each, never an abort.
    const ProgramRun x = Start(dialog.path, {}, {"DISPLAY=127.0.0.1:59"});
    EXPECT_EQ(x.status, 1) << dialog.name << x.err;
    EXPECT_EQ(x.err,
              std::string(dialog.name) + ": no display: cannot connect to DISPLAY=127.0.0.1:59\n");
    const ProgramRun wayland =
        Start(dialog.path, {},
              {"WAYLAND_DISPLAY=lampsuite-none", "XDG_RUNTIME_DIR=" + testing::TempDir()});
    EXPECT_EQ(wayland.status, 1) << dialog.name << wayland.err;
    EXPECT_NE(wayland.err.find(std::string(dialog.name) +
                               ": no display: cannot connect to WAYLAND_DISPLAY=lampsuite-none\n"),
              std::string::npos)
        << wayland.err;
    EXPECT_EQ(wayland.err.find("Could not find the Qt platform plugin"), std::string::npos)
        << wayland.err;
  }
}

TEST(Programs, LampsendRefusesBadInputBeforeSending) {
  const std::vector<Strings> refused = {
      {"192.168.10.200", "85536", "1", "0", "1", "64", "64", "64", "64", "64"},  // wrapped once
      {"192.168.10.200", "0", "1", "0", "1", "64", "64", "64", "64", "64"},
      {"192.168.10.200", "20000", "zz", "0", "1", "64", "64", "64", "64", "64"},   // read as 00
      {"192.168.10.200", "20000", "164", "0", "1", "64", "64", "64", "64", "64"},  // as 0x64
      {"192.168.10", "20000", "1", "0", "1", "64", "64", "64", "64", "64"},
      {"192.168.10.256", "20000", "1", "0", "1", "64", "64", "64", "64", "64"},
      {"192.168.10.200", "20000", "1", "0"},
  };
  for (const Strings& arguments : refused) {
    const ProgramRun run = Start(LAMPSEND_PATH, arguments);
    EXPECT_EQ(run.status, 2) << arguments[1] << " " << arguments[2];
    EXPECT_EQ(run.out, "");  // nothing was exchanged
    EXPECT_TRUE(run.err.starts_with("lampsend: ")) << run.err;
    EXPECT_NE(run.err.find("usage: lampsend ADDRESS PORT"), std::string::npos) << run.err;
  }
  EXPECT_NE(
      Start(LAMPSEND_PATH, {"192.168.10.200", "85536", "1", "0", "1", "64", "64", "64", "64", "64"})
          .err.find("not a port from 1 to 65535: '85536'"),
      std::string::npos);
}

TEST(Programs, LampsendSaysWhenNoReplyIsKnown) {
  lamptest::LampUnitProcess silent({"--address", "192.168.10.70", "--tcp-fault", "silent"});
  lamptest::LampUnitProcess answering({"--address", "192.168.10.71"});
  ASSERT_TRUE(silent.Ready() && answering.Ready());
  const Strings status = {"20000", "0", "0", "0", "64", "64", "64", "64", "64"};
  Strings toSilent = status, toAnswering = status;
  toSilent.insert(toSilent.begin(), "192.168.10.70");
  toAnswering.insert(toAnswering.begin(), "192.168.10.71");
  const ProgramRun none = Start(LAMPSEND_PATH, toSilent);
  EXPECT_EQ(none.status, 3);
  EXPECT_EQ(none.out, "result 1 frame 52 00 00 64 64 64 64 64\n");
  EXPECT_EQ(none.err,
            "lampsend: 192.168.10.70:20000: no reply known: the frame still holds the request\n");
  const ProgramRun answered = Start(LAMPSEND_PATH, toAnswering);
  EXPECT_EQ(answered.status, 0) << answered.err;
  EXPECT_EQ(answered.out, "result 1 frame 52 00 00 00 00 00 00 00\n");
}

TEST(Programs, UnknownArgumentsGetTheUsage) {
  const ProgramRun shortHelp = Start(LAMPSEND_PATH, {"-h"});
  EXPECT_EQ(shortHelp.status, 0);
  EXPECT_NE(shortHelp.out.find("usage: lampsend"), std::string::npos);
  const ProgramRun unknown = Start(LAMPSEND_PATH, {"--frobnicate"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err.find("lampsend: unknown option: '--frobnicate'\nusage: lampsend"), 0u)
      << unknown.err;
  // The dialogs refuse before they look for a display: no word of one.
  for (const Program& dialog : kDialogs) {
    const ProgramRun run = Start(dialog.path, {"--frobnicate\x1b[2J"});
    EXPECT_EQ(run.status, 2) << dialog.name;
    EXPECT_EQ(run.err, std::string(dialog.name) + ": unknown argument '--frobnicate\\x1b[2J'\n" +
                           "usage: " + dialog.name + " [--help | --version]\n");
  }
}

TEST(Programs, LampunitRefusesOptionsThatDoNotFit) {
  const std::vector<std::pair<Strings, std::string>> refused = {
      {{"--help-me"}, "--help-me"},
      {{"--count", "4001"}, "--count"},
      {{"--port", "0"}, "--port"},
      {{"--address", "192.168.10"}, "not an IPv4 address"},
      {{"--tcp-fault", "silent:"}, "not a TCP fault: 'silent:'"},
      {{"--udp-fault", "flood:"}, "not a UDP fault: 'flood:'"},
      {{"--tcp-fault", "short:9"}, "not a TCP fault"},
      {{"--mac", "255.255.255.255.255.250", "--count", "7"},
       "--count 7 from MAC ff:ff:ff:ff:ff:fa runs past ff:ff:ff:ff:ff:ff"},
      {{"--address", "255.255.255.250", "--count", "7"}, "runs past 255.255.255.255"},
  };
  for (const auto& [arguments, reason] : refused) {
    const ProgramRun run = Start(LAMPUNIT_PATH, arguments);
    EXPECT_EQ(run.status, 2) << arguments[0];
    EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "") << arguments[0];  // it never got ready
  }
  const ProgramRun help = Start(LAMPUNIT_PATH, {"--help"});
  for (const char* range : {"1 to 4000", "1 to 65535", "0 to 255", "0 to 8", "0 to 60000"}) {
    EXPECT_NE(help.out.find(range), std::string::npos) << range;
  }
}

}  // namespace
