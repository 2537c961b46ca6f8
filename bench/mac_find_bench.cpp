// Mac Find against N simulated units answering one broadcast together:
// units found, replies lost, and the time from the press to the end of the
// collection (which includes the final 200 ms of silence). Run through
// scripts/bench, inside a private network.
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <cstdio>
#include <string>

#include "dialog_font.h"
#include "lamp_unit_process.h"
#include "netassign_dialog.h"
#include "netassign_resource.h"
#include "private_network.h"

int main(int argc, char** argv) {
  if (!lamptest::InsidePrivateNetwork()) return 3;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  platform::RegisterDialogFontSubstitutes();

  std::printf("Mac Find against N units answering together\n");
  std::printf("%6s %7s %6s %10s %16s\n", "N", "found", "lost", "time (s)", "per unit (ms)");
  bool allFound = true;
  for (int count : {10, 100, 1000}) {
    lamptest::LampUnitProcess units(
        {"--address", "192.168.20.1", "--count", std::to_string(count), "--mac", "0.80.194.0.0.1"});
    if (!units.Ready()) {
      std::fprintf(stderr, "the simulated units did not start\n");
      return 1;
    }
    netassign::NetAssignDialog tool;
    tool.Create();
    auto* find = static_cast<QPushButton*>(tool.GetDlgItem(netassign::IDC_MAC_FIND));
    const double seconds = lamptest::SecondsOf([&] { find->click(); });
    const int found = static_cast<QComboBox*>(tool.GetDlgItem(netassign::IDC_MAC_LIST))->count();
    std::printf("%6d %7d %6d %10.3f %16.3f\n", count, found, count - found, seconds,
                seconds * 1000.0 / count);
    allFound = allFound && found == count;
  }
  return allFound ? 0 : 1;
}
