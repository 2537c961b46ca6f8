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
#include <iostream>

#include "lampd/config/config.h"
#include "lampd/core/service.h"
#include "lampd/fronts/http/people.h"
#include "lampd/fronts/http/tls_files.h"
#include "net/socket_layer.h"

namespace {

constexpr int kUsage = 2;

int WritePersonLine(const std::string& file, const std::string& name, const std::string& roleName,
                    const std::string& groups, bool token) {
  lampd::Person person;
  person.name = name;
  const auto role = lampd::RoleNamed(roleName);
  if (!lampd::PersonNameGood(name) || !role) {
    lampd::Log(!role ? "the role must be viewer, operator, supervisor or admin"
                     : "the name must be 1 to 64 of A-Z a-z 0-9 . _ @ -");
    return kUsage;
  }
  person.role = *role;
  for (std::size_t at = 0; at < groups.size();) {
    const std::size_t end = std::min(groups.find(',', at), groups.size());
    if (end > at) person.groups.push_back(groups.substr(at, end - at));
    at = end + 1;
  }
  std::string secret;
  if (token) {
    secret = lampd::NewToken();
    person.secret = lampd::TokenSecret(secret);
  } else {
    std::string password;
    std::getline(std::cin, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.size() < 8) {
      lampd::Log("a password of 8 characters at least is read from standard input");
      return kUsage;
    }
    person.secret = lampd::PasswordHash(password);
  }
  std::string error;
  if (person.secret.empty() || !lampd::WritePerson(file, person, error)) {
    lampd::Log(error.empty() ? "the secret could not be made" : error);
    return 1;
  }
  // Shown this once: the file keeps only its hash.
  if (token) std::printf("%s\n", secret.c_str());
  return 0;
}

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
  // A person's line in the users file: a password's (read from standard input) or a token's.
  std::string usersFile, personName, roleName, groupList;
  CLI::App* passwd = app.add_subcommand(
      "passwd",
      "Write or replace a person's line in the users file, with a password read as "
      "one line from standard input");
  CLI::App* token = app.add_subcommand(
      "token", "Write or replace a line in the users file with a new token, printed once");
  for (CLI::App* command : {passwd, token}) {
    command->add_option("--users", usersFile, "The users file")->type_name("FILE")->required();
    command->add_option("NAME", personName, "The person's or system's name")->required();
    command->add_option("ROLE", roleName, "viewer, operator, supervisor or admin")->required();
    command->add_option("--groups", groupList, "An operator's groups, as G1,G2 (default: all)")
        ->type_name("G1,G2");
  }
  app.footer(
      "Exit status: 0 stopped by SIGTERM or SIGINT (or the configuration is good); 1 it "
      "could not run; 2 usage error or bad configuration. SIGHUP reads the users file again. "
      "See lampd(8), lampd.toml(5).");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& failure) {
    if (failure.get_exit_code() == 0) return app.exit(failure);
    lampd::Log(failure.what());
    return kUsage;
  }

  if (passwd->parsed() || token->parsed()) {
    return WritePersonLine(usersFile, personName, roleName, groupList, token->parsed());
  }

  lampd::Config config;
  std::string error;
  if (!lampd::LoadConfig(path, config, error)) {
    lampd::Log(error);
    return kUsage;
  }
  if (checkOnly) {
    std::vector<lampd::Person> people;
    if (!config.http.usersFile.empty() &&
        !lampd::ReadPeople(config.http.usersFile, people, error)) {
      lampd::Log(error);
      return kUsage;
    }
    lampd::TlsFiles tls;
    if (!config.http.tlsCertificate.empty() &&
        !lampd::ReadTlsFiles(config.http.tlsCertificate, config.http.tlsKey, tls, error)) {
      lampd::Log("HTTPS: " + error);
      return kUsage;
    }
    std::printf("%s: good\n", path.c_str());
    return 0;
  }

  // The signals arrive as events on the loop, where stopping is safe.
  sigset_t stopping;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGTERM);
  sigaddset(&stopping, SIGINT);
  sigaddset(&stopping, SIGHUP);
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
    if (info.ssi_signo == SIGHUP) return service.Reload();
    lampd::Log(std::string("stopping on ") + (info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT"));
    service.Stop();
    loop.Stop();
  });
  loop.Run();
  ::close(signals);
  return 0;
}
