// Writes pictures of the suite for people to look at:
//   lamppanel-start.png      the console as it opens
//   lamppanel-stat-read.png  after a Stat_Read against the unit at 192.168.10.200
//   console-and-tower.png    the console beside the tower of that unit after a few presses
//   lamptower-grid.png       24 simulated units in various states
//   netassign-read.png       after a Mac Find and a READ of the first unit found
// The unit at 192.168.10.200 is a tower served in this process; the
// others are simulated units of their own (scripts/screenshots starts them,
// inside the private network).
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <cstdio>
#include <string>

#include "dialogs/dialog_font.h"
#include "lamppanel/lamppanel_dialog.h"
#include "lamppanel/lamppanel_resource.h"
#include "lamptower/tower_window.h"
#include "net/tcp_exchanges.h"
#include "netassign/netassign_dialog.h"
#include "netassign/netassign_resource.h"

namespace {

bool Save(const QPixmap& picture, const std::string& directory, const char* name) {
  const std::string path = directory + "/" + name;
  const bool saved = picture.save(QString::fromStdString(path));
  std::printf("%s %s\n", saved ? "wrote" : "could not write", path.c_str());
  return saved;
}

bool Save(QWidget* window, const std::string& directory, const char* name) {
  QApplication::processEvents();
  return Save(window->grab(), directory, name);
}

// Lets the window's events run until `done` holds, for two seconds at most.
template <typename Condition>
bool Until(Condition done) {
  QElapsedTimer waited;
  waited.start();
  while (!done() && waited.elapsed() < 2000) QApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

void Press(platform::CDialog& dialog, int id) {
  static_cast<QPushButton*>(dialog.GetDlgItem(id))->click();
}

// Two pictures side by side on the tower's background.
QPixmap SideBySide(const QPixmap& left, const QPixmap& right) {
  constexpr int kGap = 16;
  QPixmap both(left.width() + right.width() + 3 * kGap,
               std::max(left.height(), right.height()) + 2 * kGap);
  both.fill(QColor(40, 42, 46));
  QPainter painter(&both);
  painter.drawPixmap(kGap, kGap, left);
  painter.drawPixmap(left.width() + 2 * kGap, kGap, right);
  return both;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  platform::RegisterDialogFontSubstitutes();
  const std::string directory = argc > 1 ? argv[1] : ".";
  bool ok = true;

  lampunit::UnitOptions towerOptions;  // the console's default unit
  lamptower::TowerWindow tower(towerOptions);
  std::string error;
  if (!tower.Start(error)) {
    std::fprintf(stderr, "screenshots: %s\n", error.c_str());
    return 1;
  }
  tower.show();

  lamppanel::LampPanelDialog console;
  console.Create();
  ok = Save(console.Window(), directory, "lamppanel-start.png") && ok;
  Press(console, lamppanel::IDC_LAMP_FIRST);       // red on
  Press(console, lamppanel::IDC_LAMP_FIRST + 7);   // green blinking
  Press(console, lamppanel::IDC_LAMP_FIRST + 9);   // blue on
  Press(console, lamppanel::IDC_SOUND_FIRST + 2);  // sound 3
  Press(console, lamppanel::IDC_STAT_READ);
  ok = Save(console.Window(), directory, "lamppanel-stat-read.png") && ok;
  // Drawn with the blinking lamp lit, as the eye catches it.
  Until([&] {
    return tower.View().DrawnState(0)[protocol::kSoundByte] == 3 && tower.View().BlinkLit();
  });
  ok = Save(SideBySide(console.Window()->grab(), tower.grab()), directory,
            "console-and-tower.png") &&
       ok;
  console.EndDialog(platform::IDCANCEL);

  // Many units: compact towers in a grid.
  lampunit::UnitOptions gridOptions;
  gridOptions.address = "192.168.40.1";
  gridOptions.count = 24;
  gridOptions.model = 2;
  gridOptions.udp = false;
  lamptower::TowerWindow grid(gridOptions);
  if (!grid.Start(error)) {
    std::fprintf(stderr, "screenshots: %s\n", error.c_str());
    return 1;
  }
  grid.resize(6 * 118 + 24, 2 * 206 + 8);
  grid.show();
  std::vector<platform::TcpExchange> writes;
  for (int i = 0; i < 24; ++i) {
    const std::uint8_t d = protocol::kLeaveUnchanged;
    std::vector<std::uint8_t> frame = {'W', 2, d, d, d, d, d, d};
    frame[2 + i % 5] = 1;                         // one lamp on
    frame[2 + (i + 2) % 5] = i % 3 == 0 ? 2 : d;  // another blinking
    if (i % 4 == 0) frame[7] = static_cast<std::uint8_t>(1 + i % 5);
    writes.push_back(
        {platform::SocketAddress::FromDottedText("192.168.40." + std::to_string(1 + i), 20000),
         frame});
  }
  platform::RunTcpExchanges(writes, {});
  Until([&] { return grid.View().DrawnState(23)[protocol::kFirstLampByte + 3] == 1; });
  ok = Save(&grid, directory, "lamptower-grid.png") && ok;

  netassign::NetAssignDialog settings;
  settings.Create();
  Press(settings, netassign::IDC_MAC_FIND);
  static_cast<QComboBox*>(settings.GetDlgItem(netassign::IDC_MAC_LIST))->setCurrentIndex(0);
  Press(settings, netassign::IDC_READ);
  ok = Save(settings.Window(), directory, "netassign-read.png") && ok;
  return ok ? 0 : 1;
}
