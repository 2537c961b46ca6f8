// The console driven with clicks and keys against a simulated unit at
// 192.168.10.200 on the private network: what the unit received, and what
// the status box shows.
#include "lamppanel/lamppanel_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QIcon>
#include <QImage>
#include <QPushButton>
#include <QRadioButton>
#include <regex>

#include "console_presses.h"
#include "dialog_driver.h"
#include "dialogs/ip_address_widget.h"
#include "lamp_unit_process.h"
#include "lamppanel/lamppanel_resource.h"

namespace {

using namespace lamppanel;
using lamptest::Click;
using lamptest::LampUnitProcess;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr std::uint8_t D = 0x64;

class ConsoleTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(unit.Ready());
    console.Create();
    ASSERT_TRUE(lamptest::Activate(console));
  }

  std::string StatusText() { return console.GetDlgItemText(IDC_STATUS); }
  std::vector<std::string> StatusLines() { return lamptest::Lines(StatusText()); }

  // The newest status line without its time stamp; checks the stamp's form.
  std::string NewestLine() {
    const std::string line = StatusLines().back();
    EXPECT_TRUE(std::regex_search(line, std::regex("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]"))) << line;
    return line.size() >= 8 ? line.substr(8) : line;
  }

  std::string Label(int n) { return console.GetDlgItemText(IDC_SOUND_LABEL_FIRST + n - 1); }

  LampUnitProcess unit{{"--model", "0"}};
  LampPanelDialog console;
};

TEST_F(ConsoleTest, OpensWithItsDefaults) {
  EXPECT_EQ(console.Window()->windowTitle(), "LampPanel [Ethernet-type]v1.2");
  auto* address = static_cast<platform::IpAddressWidget*>(console.GetDlgItem(IDC_UNIT_ADDRESS));
  std::array<std::uint8_t, 4> bytes{};
  EXPECT_EQ(address->GetAddress(bytes), 4);
  EXPECT_EQ(bytes, (std::array<std::uint8_t, 4>{192, 168, 10, 200}));
  EXPECT_EQ(console.GetDlgItemText(IDC_PORT), "20000");
  for (int id = IDC_MODEL_FIRST; id <= IDC_MODEL_LAST; ++id) {
    EXPECT_EQ(static_cast<QRadioButton*>(console.GetDlgItem(id))->isChecked(),
              id == IDC_MODEL_FIRST);
  }
  EXPECT_EQ(Label(1), "Fire A-WANG");
  EXPECT_EQ(Label(2), "Emergency");
  EXPECT_EQ(Label(3), "Ambulance");
  EXPECT_EQ(Label(4), "PI-PI-PI  ");
  EXPECT_EQ(Label(5), "PI_contiune");
  EXPECT_EQ(StatusText(), "");
  for (int id = IDC_LAMP_FIRST; id <= IDC_SOUND_LAST; ++id) {
    auto* button = static_cast<QPushButton*>(console.GetDlgItem(id));
    EXPECT_FALSE(button->icon().isNull()) << id;
    EXPECT_EQ(button->iconSize(), QSize(80, 60)) << id;
  }
  EXPECT_EQ(lamptest::FocusedId(console), IDC_EXIT);
  EXPECT_TRUE(unit.Received().empty());
}

TEST_F(ConsoleTest, EachButtonSendsItsFrameAndWritesItsLine) {
  std::size_t sent = 0;
  for (const auto& press : lamptest::ConsolePresses()) {
    Click(console, press.id);
    ASSERT_EQ(unit.Received().size(), ++sent) << press.id;
    EXPECT_EQ(unit.Received().back(), press.frame) << press.id;
    EXPECT_EQ(NewestLine(), press.line) << press.id;
  }
}

TEST_F(ConsoleTest, StatusBoxKeepsTheTwoNewestLines) {
  Click(console, 1000);
  auto lines = StatusLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "");  // the first press has no line before it
  const std::string first = lines[1];

  Click(console, 1002);
  Click(console, 1001);
  lines = StatusLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0], first);
  EXPECT_NE(lines[0].find("Lamp 1 OFF "), std::string::npos);
  EXPECT_NE(lines[1].find("Lamp 1 On/Off "), std::string::npos);
}

TEST_F(ConsoleTest, TypedStatusTextIsReplacedByTheNextLine) {
  console.GetDlgItem(IDC_STATUS)->setFocus();
  QTest::keyClicks(console.GetDlgItem(IDC_STATUS), "operator note");
  EXPECT_EQ(StatusText(), "operator note");
  Click(console, 1003);
  EXPECT_EQ(StatusText().find("operator note"), std::string::npos);
  EXPECT_EQ(StatusLines().size(), 2u);
}

TEST_F(ConsoleTest, ModelChangeRelabelsAndGoesOutWithTheNextFrame) {
  Click(console, 1027);  // Type-D(8)
  EXPECT_EQ(Label(1), "Beep_intermittent");
  EXPECT_EQ(Label(2), "Door Chime");
  EXPECT_EQ(Label(3), "Phon Ring   ");
  EXPECT_EQ(Label(4), "PI-PI-PI");
  EXPECT_EQ(Label(5), "Tripping Bead");
  EXPECT_EQ(NewestLine(), "B_snd_select 7");
  EXPECT_TRUE(unit.Received().empty());  // nothing is sent for a model change

  Click(console, 1027);  // again: the same labels, one more line
  EXPECT_EQ(Label(3), "Phon Ring   ");
  EXPECT_EQ(NewestLine(), "B_snd_select 7");
  EXPECT_EQ(StatusLines()[0].substr(8), "B_snd_select 7");

  Click(console, 1023);  // Type-D(1) differs in one name only
  EXPECT_EQ(Label(3), "Phone Ring   ");
  EXPECT_EQ(NewestLine(), "B_snd_select 3");
  EXPECT_FALSE(static_cast<QRadioButton*>(console.GetDlgItem(1027))->isChecked());

  Click(console, 1017);
  ASSERT_EQ(unit.Received().size(), 1u);
  EXPECT_EQ(unit.Received()[0], (Bytes{'W', 3, D, D, D, D, D, 3}));
  Click(console, IDC_RESET);
  ASSERT_EQ(unit.Received().size(), 2u);
  EXPECT_EQ(unit.Received()[1], (Bytes{'W', 3, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ConsoleTest, ResetAppliesToOneFrameOnly) {
  Click(console, IDC_RESET);
  Click(console, 1006);
  ASSERT_EQ(unit.Received().size(), 2u);
  EXPECT_EQ(unit.Received()[0], (Bytes{'W', 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(unit.Received()[1], (Bytes{'W', 0, D, D, 1, D, D, D}));
}

TEST_F(ConsoleTest, PortTextIsReadAsADecimalNumber) {
  LampUnitProcess port4464({"--port", "4464"});
  LampUnitProcess port65535({"--port", "65535"});
  ASSERT_TRUE(port4464.Ready() && port65535.Ready());

  lamptest::Type(console, IDC_PORT, "70000");
  Click(console, 1000);
  EXPECT_EQ(port4464.Received().size(), 1u);

  lamptest::Type(console, IDC_PORT, "-1");
  Click(console, 1000);
  EXPECT_EQ(port65535.Received().size(), 1u);

  lamptest::Type(console, IDC_PORT, "20000abc");
  Click(console, 1000);
  EXPECT_EQ(unit.Received().size(), 1u);
  EXPECT_EQ(NewestLine(), "  [Success send] Lamp 1 ON ");
}

TEST_F(ConsoleTest, StatReadWithNoUnitShowsTheRequestItSent) {
  auto* address = static_cast<platform::IpAddressWidget*>(console.GetDlgItem(IDC_UNIT_ADDRESS));
  address->SetAddress({192, 168, 10, 201});  // nothing listens there
  const double seconds = lamptest::SecondsOf([&] { Click(console, IDC_STAT_READ); });
  EXPECT_EQ(NewestLine(), "  [Send  Error] R-OF/Y-BL/G-BL/B-BL/W-BL/(S)-ON/");
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 3.0);

  address->ClearAddress();  // a blank address is 0.0.0.0: no destination
  Click(console, 1000);
  EXPECT_EQ(NewestLine(), "  [Send  Error] Lamp 1 ON ");
  EXPECT_TRUE(unit.Received().empty());
}

TEST_F(ConsoleTest, AnAddressTypedOverTheOldOneGoesFieldByField) {
  // Three digits move on into the next field with its number selected; the
  // '.' typed next must not skip that field.
  auto* address = static_cast<platform::IpAddressWidget*>(console.GetDlgItem(IDC_UNIT_ADDRESS));
  address->Field(0)->setFocus();
  address->Field(0)->selectAll();
  lamptest::TypeKeys(console, "172.16.5.200");
  std::array<std::uint8_t, 4> bytes{};
  EXPECT_EQ(address->GetAddress(bytes), 4);
  EXPECT_EQ(bytes, (std::array<std::uint8_t, 4>{172, 16, 5, 200}));

  address->Field(0)->setFocus();
  address->Field(0)->selectAll();
  lamptest::TypeKeys(console, "10.0.0.5");
  address->GetAddress(bytes);
  EXPECT_EQ(bytes, (std::array<std::uint8_t, 4>{10, 0, 0, 5}));
}

TEST_F(ConsoleTest, EnterInThePortBoxClosesWithoutSending) {
  console.GetDlgItem(IDC_PORT)->setFocus();
  lamptest::Key(console, Qt::Key_Return);
  EXPECT_FALSE(console.Window()->isVisible());
  EXPECT_EQ(console.Window()->result(), platform::IDOK);
  EXPECT_TRUE(unit.Received().empty());
}

TEST_F(ConsoleTest, EnterOnALampButtonPressesIt) {
  console.GetDlgItem(1003)->setFocus();
  lamptest::Key(console, Qt::Key_Return);
  EXPECT_TRUE(console.Window()->isVisible());
  ASSERT_EQ(unit.Received().size(), 1u);
  EXPECT_EQ(unit.Received()[0], (Bytes{'W', 0, D, 1, D, D, D, D}));
}

TEST_F(ConsoleTest, EscapeAndTheCloseBoxCancel) {
  lamptest::Key(console, Qt::Key_Escape);
  EXPECT_FALSE(console.Window()->isVisible());
  EXPECT_EQ(console.Window()->result(), platform::IDCANCEL);

  LampPanelDialog second;
  second.Create();
  second.Window()->close();
  EXPECT_FALSE(second.Window()->isVisible());
  EXPECT_EQ(second.Window()->result(), platform::IDCANCEL);
}

TEST_F(ConsoleTest, TabVisitsTheTabStopsInTemplateOrder) {
  std::vector<int> expected = {IDC_EXIT};
  for (int id = IDC_LAMP_FIRST; id <= IDC_SOUND_LAST; ++id) expected.push_back(id);
  for (int id : {IDC_STATUS, IDC_STAT_READ, IDC_RESET, IDC_SOUND_OFF, IDC_PORT, IDC_UNIT_ADDRESS,
                 IDC_EXIT}) {
    expected.push_back(id);
  }
  std::vector<int> visited = {lamptest::FocusedId(console)};
  for (std::size_t i = 1; i < expected.size(); ++i) {
    lamptest::Key(console, Qt::Key_Tab);
    visited.push_back(lamptest::FocusedId(console));
  }
  EXPECT_EQ(visited, expected);
}

TEST_F(ConsoleTest, MinimisedWindowShowsItsIconCentred) {
  console.Window()->showMinimized();
  QImage painted(console.Window()->size(), QImage::Format_RGB32);
  console.Window()->render(&painted, QPoint(), QRegion(), QWidget::DrawWindowBackground);
  // The icon's 32 x 32 field is the only silver there.
  QRect icon;
  for (int y = 0; y < painted.height(); ++y) {
    for (int x = 0; x < painted.width(); ++x) {
      if (painted.pixel(x, y) == qRgb(192, 192, 192)) icon |= QRect(x, y, 1, 1);
    }
  }
  ASSERT_EQ(icon.size(), QSize(32, 32));
  const int freeWidth = painted.width() - 32;
  const int freeHeight = painted.height() - 32;
  EXPECT_EQ(icon.left(), (freeWidth + 1) / 2);
  EXPECT_EQ(icon.top(), (freeHeight + 1) / 2);
  EXPECT_EQ(icon.left() - (freeWidth - icon.left()), freeWidth % 2);
}

TEST(ConsoleStartUp, DoesNotStartWithoutASocketLayer) {
  auto run = lamptest::RunProgram({LAMPPANEL_PATH}, {"LAMPTEST_FAIL_SOCKET=1"}, true, 20s);
  EXPECT_FALSE(run.killed);  // a shown dialog would wait for the user
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("Windows 소켓 초기화에 실패하였습니다."), std::string::npos) << run.err;
}

TEST(ConsoleStartUp, ShowsTheMessageBoxWhereADisplayExists) {
  // The box waits for OK, so the program is still there to be looked at.
  auto shown = lamptest::RunOnOwnDisplay(
      LAMPPANEL_PATH, {"LAMPTEST_FAIL_SOCKET=1"},
      [](const std::string& windows) { return windows.find("\"LampLink\"") != std::string::npos; });
  ASSERT_TRUE(shown.displayStarted);
  EXPECT_TRUE(shown.seen) << shown.windows << "status " << shown.run.status << ": "
                          << shown.run.err;
  EXPECT_TRUE(shown.run.killed);
  EXPECT_NE(shown.run.err.find("Windows 소켓 초기화에 실패하였습니다."), std::string::npos);
  // The library refused to load, so the console never opened.
  EXPECT_EQ(shown.windows.find("LampPanel [Ethernet-type]v1.2"), std::string::npos);
}

}  // namespace
