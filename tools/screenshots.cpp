// Writes pictures of the dialogs for people to look at:
//   lamppanel-start.png      the console as it opens
//   lamppanel-stat-read.png  after a Stat_Read against the unit at 192.168.10.200
//   netassign-read.png       after a Mac Find and a READ of the first unit found
// Run inside the private network with simulated units (scripts/screenshots).
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QPixmap>
#include <QPushButton>
#include <cstdio>
#include <string>

#include "dialog_font.h"
#include "lamppanel_dialog.h"
#include "lamppanel_resource.h"
#include "netassign_dialog.h"
#include "netassign_resource.h"

namespace {

bool Save(QWidget* window, const std::string& directory, const char* name) {
  QApplication::processEvents();
  const std::string path = directory + "/" + name;
  const bool saved = window->grab().save(QString::fromStdString(path));
  std::printf("%s %s\n", saved ? "wrote" : "could not write", path.c_str());
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  platform::RegisterDialogFontSubstitutes();
  const std::string directory = argc > 1 ? argv[1] : ".";

  lamppanel::LampPanelDialog console;
  console.Create();
  bool ok = Save(console.Window(), directory, "lamppanel-start.png");
  static_cast<QPushButton*>(console.GetDlgItem(lamppanel::IDC_LAMP_FIRST + 6))->click();
  static_cast<QPushButton*>(console.GetDlgItem(lamppanel::IDC_STAT_READ))->click();
  ok = Save(console.Window(), directory, "lamppanel-stat-read.png") && ok;
  console.EndDialog(platform::IDCANCEL);

  netassign::NetAssignDialog settings;
  settings.Create();
  static_cast<QPushButton*>(settings.GetDlgItem(netassign::IDC_MAC_FIND))->click();
  static_cast<QComboBox*>(settings.GetDlgItem(netassign::IDC_MAC_LIST))->setCurrentIndex(0);
  static_cast<QPushButton*>(settings.GetDlgItem(netassign::IDC_READ))->click();
  ok = Save(settings.Window(), directory, "netassign-read.png") && ok;
  return ok ? 0 : 1;
}
