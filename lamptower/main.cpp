// lamptower: simulated lamp units, as lampunit serves them, drawn as signal
// towers in a window: what a console or lampctl sets lights up, blinks and
// sounds there. Takes lampunit's options.
#include <CLI/CLI.hpp>
#include <QApplication>
#include <cstdio>
#include <string>

#include "display.h"
#include "tower_window.h"
#include "unit_options.h"

int main(int argc, char** argv) {
  CLI::App app{
      "lamptower: one or many simulated lamp units, served as lampunit serves them and drawn as "
      "signal towers: the lamps lit, dark or blinking, the sound playing, each unit's address, "
      "port, MAC address and model. Takes lampunit's options. Run it on a network of your own: "
      "scripts/private-net gives one.",
      "lamptower"};
  app.set_version_flag("--version", std::string(LAMP_VERSION), "Print the version and exit");
  lampunit::UnitOptions options;
  lampunit::AddUnitOptions(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& failure) {
    if (failure.get_exit_code() == 0) return app.exit(failure);  // --help, --version
    std::fprintf(stderr, "lamptower: %s\nRun 'lamptower --help' for the options.\n",
                 failure.what());
    return 2;
  }
  if (const std::string error = lampunit::CheckUnitOptions(options); !error.empty()) {
    std::fprintf(stderr, "lamptower: %s\n", error.c_str());
    return 2;
  }

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
