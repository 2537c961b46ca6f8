// lamptower: simulated lamp units, as lampunit serves them, drawn as signal
// towers in a window: what a console or lampctl sets lights up, blinks and
// sounds there. Takes lampunit's options.
#include <QApplication>
#include <cstdio>
#include <string>

#include "dialogs/display.h"
#include "lampunit/unit_options.h"
#include "tower_window.h"

int main(int argc, char** argv) {
  lampunit::UnitOptions options;
  const int status = lampunit::ParseUnitCommandLine(
      argc, argv, "lamptower",
      "lamptower: one or many simulated lamp units, served as lampunit serves them and drawn as "
      "signal towers: the lamps lit, dark or blinking, the sound playing, each unit's address, "
      "port, MAC address and model. Takes lampunit's options. Run it on a network of your own: "
      "scripts/private-net gives one.",
      options);
  if (status >= 0) return status;

  if (!platform::PrepareDisplay("lamptower")) return 1;
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  platform::DisplayPrepared();

  lamptower::TowerWindow window(options);
  std::string error;
  if (!window.Start(error)) {
    std::fprintf(stderr, "lamptower: %s\n", error.c_str());
    return 1;
  }
  window.show();
  return application.exec();
}
