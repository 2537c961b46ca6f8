// Who sends each HTTP request: a person of the users file by a session
// (signed in with a name and a password), by a token of its own line, or
// named by a trusted proxy's header. Passwords are checked off the loop;
// sign-in attempts are limited per address and per name; sessions and the
// tallies of wrong attempts are bounded in number. Without a users file or
// token file lampd asks nobody who they are, as before.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "access_rules.h"
#include "http_server.h"
#include "lampd/config/config.h"
#include "lampd/core/background.h"
#include "lampd/core/log.h"
#include "lampd/core/metrics.h"
#include "net/event_loop.h"
#include "people.h"

namespace lampd {

class Access {
 public:
  static constexpr std::size_t kMostSessions = 4096;
  static constexpr std::size_t kMostTallies = 4096;  // of addresses, and of names
  static constexpr const char* kCookie = "lampd_session";

  Access(platform::EventLoop& loop, const HttpConfig& config, LogLimiter& log);
  // Reads the users file; false with "FILE:LINE: why".
  bool Load(std::string& error);
  // The users file again (SIGHUP): a bad one is told and the people stay as
  // they were; the sessions of people no longer in it end.
  void Reload();
  // Nobody is asked who they are.
  bool Open() const { return people_.empty() && config_.usersFile.empty(); }
  // People sign in with a name and a password (a users file).
  bool SignInOffered() const { return !config_.usersFile.empty(); }

  struct Identity {
    std::optional<Person> person;  // nothing while Open()
    int status = 0;                // 401 or 403 when refused
    std::string why;
  };
  Identity Identify(const HttpRequest& request) const;

  // POST /api/session {"name", "password"}: a session cookie, or why not.
  void SignIn(const HttpRequest& request, std::function<void(HttpAnswer)> answer);
  // DELETE /api/session.
  HttpAnswer SignOut(const HttpRequest& request);
  void WriteMetrics(MetricsText& out) const;

 private:
  struct Session {
    std::string name;
    std::chrono::steady_clock::time_point ends;
  };
  const Person* Named(const std::string& name) const;
  std::string SessionOf(const HttpRequest& request) const;
  Failures& Tally(std::map<std::string, Failures>& tallies, const std::string& key);
  void Signed(const std::string& name, const std::string& peer, bool good,
              const std::function<void(HttpAnswer)>& answer);

  std::string Secure() const;  // the cookie's attribute under HTTPS

  platform::EventLoop& loop_;
  const HttpConfig& config_;
  LogLimiter& log_;
  Background checks_;  // password hashes take tens of milliseconds each
  std::vector<Person> people_;
  std::map<std::string, Session> sessions_;
  std::map<std::string, Failures> byAddress_, byName_;
  std::uint64_t signedIn_ = 0, wrong_ = 0, held_ = 0;
};

}  // namespace lampd
