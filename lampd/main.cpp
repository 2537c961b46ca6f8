// lampd: a plant's signal towers on MQTT. Reads its configuration (and
// stops at once, with the file and the line, when it is wrong), then serves
// until SIGTERM or SIGINT, when it says "offline" and leaves the broker
// cleanly.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "lampd/config/config.h"
#include "lampd/core/service.h"
#include "net/socket_layer.h"

namespace {

constexpr int kUsage = 2;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "lampd: keeps a plant's networked signal towers on MQTT: their states, their "
      "availability and their commands, and Home Assistant's view of them.",
      "lampd"};
  app.set_version_flag("--version", std::string(LAMP_VERSION), "Print the version and exit");
  std::string path = "/etc/lampd/lampd.toml";
  bool checkOnly = false;
  app.add_option("--config", path, "The configuration file (default /etc/lampd/lampd.toml)")
      ->type_name("FILE");
  app.add_flag("--check-config", checkOnly, "Check the configuration file, then exit");
  // Under systemd the unit's StateDirectory= says where.
  const char* stateDirectory = std::getenv("STATE_DIRECTORY");
  std::string statePath = stateDirectory ? std::string(stateDirectory) + "/leases.json" : "";
  app.add_option("--state", statePath,
                 "Where leases are kept across restarts (default $STATE_DIRECTORY/leases.json; "
                 "without either they are not kept)")
      ->type_name("FILE");
  app.footer(
      "Exit status: 0 stopped by SIGTERM or SIGINT (or the configuration is good); 1 it "
      "could not run; 2 usage error or bad configuration. See lampd(8), lampd.toml(5).");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& failure) {
    if (failure.get_exit_code() == 0) return app.exit(failure);
    lampd::Log(failure.what());
    return kUsage;
  }

  lampd::Config config;
  std::string error;
  if (!lampd::LoadConfig(path, config, error)) {
    lampd::Log(error);
    return kUsage;
  }
  if (checkOnly) {
    std::printf("%s: good\n", path.c_str());
    return 0;
  }

  // The signals arrive as events on the loop, where stopping is safe.
  sigset_t stopping;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGTERM);
  sigaddset(&stopping, SIGINT);
  sigprocmask(SIG_BLOCK, &stopping, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signals = ::signalfd(-1, &stopping, SFD_CLOEXEC | SFD_NONBLOCK);
  platform::RaiseDescriptorLimit();
  platform::EventLoop loop;
  if (!loop || signals < 0) {
    lampd::Log("cannot start the event loop: " + platform::ReasonText(loop.Reason()));
    return 1;
  }
  if (statePath.empty()) lampd::Log("no --state file: leases will not survive a restart");
  lampd::Service service(loop, config, statePath);
  if (!service.Start(error)) {
    lampd::Log(error);
    return 1;
  }
  loop.Watch(signals, POLLIN, [&](short) {
    signalfd_siginfo info{};
    if (::read(signals, &info, sizeof info) != sizeof info) return;
    lampd::Log(std::string("stopping on ") + (info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT"));
    service.Stop();
    loop.Stop();
  });
  loop.Run();
  ::close(signals);
  return 0;
}
