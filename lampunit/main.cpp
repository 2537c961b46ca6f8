// lampunit: a simulated lamp unit (or many) for tests, benchmarks and demos.
// Serves the TCP lamp port and the UDP settings port on its own address and
// logs every frame that crosses the wire.
#include <cstdio>
#include <string>

#include "unit_engine.h"
#include "unit_options.h"

int main(int argc, char** argv) {
  lampunit::UnitOptions options;
  const int status = lampunit::ParseUnitCommandLine(
      argc, argv, "lampunit",
      "lampunit: one or many simulated lamp units, for tests, benchmarks and demos. Each serves "
      "its TCP lamp port on its own address and the UDP settings port 50000, and writes a line "
      "for every frame it receives and sends. Run it on a network of your own: "
      "scripts/private-net gives one.",
      options);
  if (status >= 0) return status;

  lampunit::UnitEngine engine(options);
  std::string error;
  if (!engine.Open(error)) {
    std::fprintf(stderr, "lampunit: %s\n", error.c_str());
    return 1;
  }
  engine.Run();
  return 0;
}
