// The settings tool driven with clicks and keys against simulated units on
// the private network: what the units received and stored, and what the
// dialog shows.
#include "netassign/netassign_dialog.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <algorithm>
#include <regex>

#include "dialog_driver.h"
#include "dialogs/ip_address_widget.h"
#include "lamp_unit_process.h"
#include "net/socket_layer.h"
#include "netassign/netassign_resource.h"
#include "settings_tool_test.h"

namespace {

using namespace netassign;
using lamptest::Click;
using lamptest::LampUnitProcess;
using protocol::IpBytes;
using namespace std::chrono_literals;

// A unit at 192.168.10.<host> with MAC 0.80.194.1.2.<mac>.
std::vector<std::string> Unit(int host, int mac, std::vector<std::string> more = {}) {
  std::vector<std::string> arguments = {"--address", "192.168.10." + std::to_string(host), "--mac",
                                        "0.80.194.1.2." + std::to_string(mac)};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

using SettingsToolTest = lamptest::SettingsToolTest;

TEST_F(SettingsToolTest, MacFindWithNoUnitWritesOneLine) {
  const double seconds = lamptest::SecondsOf([&] { Click(tool, IDC_MAC_FIND); });
  EXPECT_EQ(Log(), (std::vector<std::string>{"Success UDP Setting"}));
  EXPECT_EQ(MacList()->count(), 0);
  EXPECT_GE(seconds, 0.18);
  EXPECT_LT(seconds, 3.0);
}

TEST_F(SettingsToolTest, MacFindListsEveryUnitSortedAsText) {
  LampUnitProcess a(Unit(21, 9)), b(Unit(22, 10)), c(Unit(23, 11));
  ASSERT_TRUE(a.Ready() && b.Ready() && c.Ready());
  Click(tool, IDC_MAC_FIND);

  auto log = Log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "Success UDP Setting");
  std::vector<std::string> replies(log.begin() + 1, log.end());
  std::sort(replies.begin(), replies.end());
  EXPECT_EQ(replies, (std::vector<std::string>{"IP_Address Connect[ 192.168.10.21 ]",
                                               "IP_Address Connect[ 192.168.10.22 ]",
                                               "IP_Address Connect[ 192.168.10.23 ]"}));
  EXPECT_EQ(MacEntries(),
            (std::vector<std::string>{"0.80.194.1.2.10", "0.80.194.1.2.11", "0.80.194.1.2.9"}));
  EXPECT_EQ(MacList()->currentIndex(), -1);  // nothing selected
  const auto request = a.Received("udp");
  ASSERT_EQ(request.size(), 1u);
  EXPECT_EQ(request[0].size(), 46u);
  EXPECT_EQ(std::string(request[0].begin(), request[0].begin() + 3), "$MR");

  // A second Mac Find starts the list afresh.
  Click(tool, IDC_MAC_FIND);
  EXPECT_EQ(MacList()->count(), 3);
}

TEST_F(SettingsToolTest, ReadWriteAndReadAgain) {
  LampUnitProcess a(Unit(21, 9, {"--model", "5"})), b(Unit(22, 10));
  ASSERT_TRUE(a.Ready() && b.Ready());
  Click(tool, IDC_MAC_FIND);
  SelectMac("0.80.194.1.2.9");

  Click(tool, IDC_READ);
  EXPECT_EQ(Text(IDC_MA), "0.80.194.1.2.9");
  EXPECT_EQ(Address(IDC_IP_ADDRESS), (IpBytes{192, 168, 10, 21}));
  EXPECT_EQ(Address(IDC_SUBNET_MASK), (IpBytes{255, 255, 255, 0}));
  EXPECT_EQ(Address(IDC_GATEWAY), (IpBytes{192, 168, 10, 1}));
  EXPECT_EQ(Text(IDC_PORT), "20000");
  EXPECT_EQ(Text(IDC_MT), "5");
  EXPECT_EQ(Log().back(), "IP_Address Connect[ 192.168.10.21 ]");
  // The other unit heard the READ but does not answer a MAC address not its own.
  EXPECT_EQ(b.Received("udp").size(), 2u);
  EXPECT_FALSE(b.WaitForLine("udp send 46 bytes: 24 49", 100ms));

  TypeAddress(IDC_IP_ADDRESS, "192.168.10.77");
  TypeAddress(IDC_GATEWAY, "192.168.10.254");
  lamptest::Type(tool, IDC_PORT, "502");
  Click(tool, IDC_WRITE);
  EXPECT_TRUE(a.WaitForLine("udp settings stored", 1s));
  const auto write = a.Received("udp").back();
  EXPECT_EQ(std::string(write.begin(), write.begin() + 3), "$IW");
  EXPECT_EQ(write[37], 'X');
  EXPECT_EQ(std::vector<int>(write.begin() + 38, write.begin() + 44),
            (std::vector<int>{0, 80, 194, 1, 2, 9}));  // the MA text goes back as X

  // Scribble over the fields; a READ shows what the unit stored.
  TypeAddress(IDC_IP_ADDRESS, "1.1.1.1");
  lamptest::Type(tool, IDC_PORT, "1");
  Click(tool, IDC_READ);
  EXPECT_EQ(Address(IDC_IP_ADDRESS), (IpBytes{192, 168, 10, 77}));
  EXPECT_EQ(Address(IDC_GATEWAY), (IpBytes{192, 168, 10, 254}));
  EXPECT_EQ(Text(IDC_PORT), "502");

  for (int id : {IDC_SETT, IDC_MA, IDC_MT}) EXPECT_FALSE(tool.GetDlgItem(id)->isEnabled()) << id;
}

TEST_F(SettingsToolTest, SettMaAndMtStayDisabled) {
  for (int id : {IDC_SETT, IDC_MA, IDC_MT}) EXPECT_FALSE(tool.GetDlgItem(id)->isEnabled()) << id;
  Click(tool, IDC_SETT);  // a click on a disabled button does nothing
  EXPECT_EQ(Text(IDC_STATUS_VIEW), "");
}

TEST_F(SettingsToolTest, ShortReplyIsLoggedButChangesNothing) {
  // Without the length check the short answer would be read with the bytes
  // the first unit's answer left behind, listing a MAC no full answer gave.
  LampUnitProcess full(Unit(21, 9)), cut(Unit(22, 10, {"--udp-fault", "short"}));
  ASSERT_TRUE(full.Ready() && cut.Ready());
  Click(tool, IDC_MAC_FIND);
  EXPECT_EQ(Log().size(), 3u);
  EXPECT_EQ(MacEntries(), (std::vector<std::string>{"0.80.194.1.2.9"}));
}

TEST_F(SettingsToolTest, OddDatagramsAreLoggedAndOversizeIsTakenShortened) {
  LampUnitProcess empty(Unit(21, 9, {"--udp-fault", "empty"}));
  LampUnitProcess garbage(Unit(22, 10, {"--udp-fault", "garbage"}));
  LampUnitProcess oversize(Unit(23, 11, {"--udp-fault", "oversize"}));
  ASSERT_TRUE(empty.Ready() && garbage.Ready() && oversize.Ready());
  Click(tool, IDC_MAC_FIND);
  auto log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "IP_Address[ 192.168.10.21 ]"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "IP_Address Connect[ 192.168.10.21 ]"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "IP_Address Connect[ 192.168.10.22 ]"), 2);
  EXPECT_EQ(std::count(log.begin(), log.end(), "IP_Address Connect[ 192.168.10.23 ]"), 1);
  EXPECT_EQ(MacEntries(),
            (std::vector<std::string>{"0.80.194.1.2.10", "0.80.194.1.2.11", "0.80.194.1.2.9"}));
}

TEST_F(SettingsToolTest, PortHeldByAnotherProgramStopsTheCommand) {
  LampUnitProcess unit(Unit(21, 9));
  ASSERT_TRUE(unit.Ready());
  platform::Socket holder = platform::Socket::OpenDatagram();
  ASSERT_TRUE(holder.Bind(platform::SocketAddress::Any(50001)));
  Click(tool, IDC_MAC_FIND);
  Click(tool, IDC_READ);
  EXPECT_EQ(Log(),
            (std::vector<std::string>{"Error Sever Socket Bind", "Error Sever Socket Bind"}));
  EXPECT_FALSE(unit.WaitForLine("udp recv", 300ms));

  holder.Close();  // the next press opens fresh sockets and works
  Click(tool, IDC_MAC_FIND);
  EXPECT_EQ(MacEntries(), (std::vector<std::string>{"0.80.194.1.2.9"}));
}

TEST_F(SettingsToolTest, NoSocketStopsTheCommand) {
  LampUnitProcess unit(Unit(21, 9));
  ASSERT_TRUE(unit.Ready());
  setenv("LAMPTEST_FAIL_SOCKET", "1", 1);  // the preloaded socket faults
  Click(tool, IDC_MAC_FIND);
  unsetenv("LAMPTEST_FAIL_SOCKET");
  EXPECT_EQ(Log(), (std::vector<std::string>{"Error Client Socket Make"}));
  EXPECT_FALSE(unit.WaitForLine("udp recv", 300ms));
}

TEST_F(SettingsToolTest, FloodOfDatagramsCannotHoldTheWindow) {
  LampUnitProcess flooder(Unit(21, 9, {"--udp-fault", "flood:30000"}));
  ASSERT_TRUE(flooder.Ready());
  const double seconds = lamptest::SecondsOf([&] { Click(tool, IDC_MAC_FIND); });
  EXPECT_GE(seconds, 2.5);
  EXPECT_LT(seconds, 8.0);
  EXPECT_GT(Log().size(), 20u);
}

TEST_F(SettingsToolTest, ThousandsOfUnitsAreAllListedPressAfterPress) {
  // Each status line once cost time in proportion to the log, so a long
  // log ended the collection while replies still waited in the socket.
  LampUnitProcess units(
      {"--address", "192.168.20.1", "--count", "3000", "--mac", "0.80.194.0.0.1"});
  ASSERT_TRUE(units.Ready());
  for (int press = 1; press <= 3; ++press) {
    Click(tool, IDC_MAC_FIND);
    EXPECT_EQ(MacList()->count(), 3000) << "press " << press;
  }
  EXPECT_EQ(Log().size(), 3u * 3001u);
}

TEST_F(SettingsToolTest, ReadTakesOnlyTheReplyItAskedFor) {
  LampUnitProcess asked(Unit(21, 9, {"--model", "5"}));
  LampUnitProcess stray(Unit(22, 99, {"--udp-fault", "stray", "--model", "7", "--port", "7777"}));
  ASSERT_TRUE(asked.Ready() && stray.Ready());
  Click(tool, IDC_MAC_FIND);
  SelectMac("0.80.194.1.2.9");
  for (int read = 0; read < 3; ++read) {
    Click(tool, IDC_READ);
    EXPECT_EQ(Text(IDC_MA), "0.80.194.1.2.9");
    EXPECT_EQ(Address(IDC_IP_ADDRESS), (IpBytes{192, 168, 10, 21}));
    EXPECT_EQ(Text(IDC_PORT), "20000");
    EXPECT_EQ(Text(IDC_MT), "5");
  }
  // The stray answer is logged like any datagram, and warned of nowhere.
  const auto log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "IP_Address Connect[ 192.168.10.22 ]"), 4);
  EXPECT_TRUE(std::none_of(log.begin(), log.end(),
                           [](const std::string& line) { return line.starts_with("Warning"); }));

  // A WRITE stores what the asked unit showed, never the stray values.
  Click(tool, IDC_WRITE);
  ASSERT_TRUE(asked.WaitForLine("udp settings stored", 1s));
  const auto write = asked.Received("udp").back();
  EXPECT_EQ(write[31] * 256 + write[32], 20000);
  EXPECT_EQ(write[35], 5);
}

TEST_F(SettingsToolTest, SecondReplyForTheSameUnitWithOtherSettingsIsWarned) {
  LampUnitProcess first(Unit(21, 9, {"--port", "1111"})), second(Unit(22, 9, {"--port", "2222"}));
  ASSERT_TRUE(first.Ready() && second.Ready());
  Click(tool, IDC_MAC_FIND);
  EXPECT_EQ(MacEntries(), (std::vector<std::string>{"0.80.194.1.2.9"}));  // listed once
  SelectMac("0.80.194.1.2.9");
  Click(tool, IDC_READ);

  // Which answers first is the network's business; the fields keep that one.
  const bool firstWon = Text(IDC_PORT) == "1111";
  const std::string winner = firstWon ? "192.168.10.21" : "192.168.10.22";
  const std::string loser = firstWon ? "192.168.10.22" : "192.168.10.21";
  EXPECT_EQ(Text(IDC_PORT), firstWon ? "1111" : "2222");
  EXPECT_EQ(Address(IDC_IP_ADDRESS),
            firstWon ? (IpBytes{192, 168, 10, 21}) : (IpBytes{192, 168, 10, 22}));
  auto log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "IP_Address Connect[ " + loser + " ]");
  EXPECT_EQ(log.back(), "Warning Duplicate Reply[ " + loser + " ]");
  EXPECT_EQ(std::count(log.begin(), log.end(), "IP_Address Connect[ " + winner + " ]"), 2);
}

TEST_F(SettingsToolTest, MacFindTakesNoSettingsAndReadListsNoUnit) {
  LampUnitProcess stray(Unit(22, 99, {"--udp-fault", "stray"}));
  ASSERT_TRUE(stray.Ready());
  Click(tool, IDC_READ);  // the stray answers: a read reply and nothing else
  EXPECT_EQ(MacList()->count(), 0);
  EXPECT_EQ(Address(IDC_IP_ADDRESS), (IpBytes{0, 0, 0, 0}));
  EXPECT_TRUE(static_cast<platform::IpAddressWidget*>(tool.GetDlgItem(IDC_IP_ADDRESS))->IsBlank());
  EXPECT_EQ(Text(IDC_PORT), "");
}

TEST_F(SettingsToolTest, ResetStatusEmptiesTheLogAndRefreshesTheTexts) {
  Click(tool, IDC_MAC_FIND);
  lamptest::Type(tool, IDC_PORT, "123");  // typed, not taken
  Click(tool, IDC_RESET_STATUS);
  EXPECT_EQ(Text(IDC_STATUS_VIEW), "");
  EXPECT_EQ(Text(IDC_PORT), "");

  // Mac Find does not take the fields either: the typed port is replaced.
  lamptest::Type(tool, IDC_PORT, "456");
  Click(tool, IDC_MAC_FIND);
  EXPECT_EQ(Text(IDC_PORT), "");
  EXPECT_EQ(Log(), (std::vector<std::string>{"Success UDP Setting"}));
}

TEST_F(SettingsToolTest, TextTypedIntoTheLogStaysWhenReadTakesTheFields) {
  auto* view = static_cast<QPlainTextEdit*>(tool.GetDlgItem(IDC_STATUS_VIEW));
  view->setFocus();
  QTest::keyClicks(view, "unit on bench 3: ");
  Click(tool, IDC_READ);
  const std::string text = Text(IDC_STATUS_VIEW);
  EXPECT_TRUE(text.starts_with("unit on bench 3: ")) << text;
  EXPECT_NE(text.find(" -- Success UDP Setting\r\n"), std::string::npos) << text;
}

TEST_F(SettingsToolTest, EnterTakesTheFieldsAndClosesAndExitCancels) {
  tool.GetDlgItem(IDC_PORT)->setFocus();
  lamptest::Key(tool, Qt::Key_Return);
  EXPECT_FALSE(tool.Window()->isVisible());
  EXPECT_EQ(tool.Window()->result(), platform::IDOK);

  NetAssignDialog second;
  second.Create();
  Click(second, IDC_EXIT);
  EXPECT_FALSE(second.Window()->isVisible());
  EXPECT_EQ(second.Window()->result(), platform::IDCANCEL);
}

TEST(SettingsToolStartUp, EndsWithItsMessageWithoutASocketLayer) {
  auto run = lamptest::RunProgram({NETASSIGN_PATH}, {"LAMPTEST_FAIL_SOCKET=1"}, true, 20s);
  EXPECT_FALSE(run.killed);  // a shown dialog would wait for the user
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Windows 소켓 초기화에 실패하였습니다.\n");
}

TEST(SettingsToolStartUp, ShowsItsMessageBoxWhereADisplayExists) {
  // A window titled NetAssign that is small: the message box, not the dialog. Qt first
  // makes a window at a default 640x480 and sizes it a moment later, so a large one
  // seen early is looked at again rather than judged.
  const auto smallBoxShown = [](const std::string& windows) {
    static const std::regex titled("\"NetAssign\": \\(.*\\)\\s+(\\d+)x(\\d+)");
    for (std::sregex_iterator it(windows.begin(), windows.end(), titled), end; it != end; ++it)
      if (std::stoi((*it)[1]) < 300 && std::stoi((*it)[2]) < 300) return true;
    return false;
  };
  auto shown = lamptest::RunOnOwnDisplay(NETASSIGN_PATH, {"LAMPTEST_FAIL_SOCKET=1"}, smallBoxShown);
  ASSERT_TRUE(shown.displayStarted);
  EXPECT_TRUE(shown.seen) << shown.windows << "status " << shown.run.status << ": "
                          << shown.run.err;
  EXPECT_TRUE(shown.run.killed);  // the box waits for OK
}

}  // namespace
