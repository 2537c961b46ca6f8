// lampunit: a simulated lamp unit (or many) for tests, benchmarks and demos.
// Serves the TCP lamp port and the UDP settings port on its own address and
// logs every frame that crosses the wire.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "unit_engine.h"
#include "unit_options.h"

int main(int argc, char** argv) {
  CLI::App app{
      "lampunit: one or many simulated lamp units, for tests, benchmarks and demos. Each serves "
      "its TCP lamp port on its own address and the UDP settings port 50000, and writes a line "
      "for every frame it receives and sends. Run it on a network of your own: "
      "scripts/private-net gives one.",
      "lampunit"};
  app.set_version_flag("--version", std::string(LAMP_VERSION), "Print the version and exit");
  lampunit::UnitOptions options;
  lampunit::AddUnitOptions(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& failure) {
    if (failure.get_exit_code() == 0) return app.exit(failure);  // --help, --version
    std::fprintf(stderr, "lampunit: %s\nRun 'lampunit --help' for the options.\n", failure.what());
    return 2;
  }
  if (const std::string error = lampunit::CheckUnitOptions(options); !error.empty()) {
    std::fprintf(stderr, "lampunit: %s\n", error.c_str());
    return 2;
  }

  lampunit::UnitEngine engine(options);
  std::string error;
  if (!engine.Open(error)) {
    std::fprintf(stderr, "lampunit: %s\n", error.c_str());
    return 1;
  }
  engine.Run();
  return 0;
}
