#include "browser.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_process.h"

namespace lamptest {

Browser::Browser() {
  int in[2], out[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0) return;
  pid_ = SpawnProgram({"/usr/bin/node", CONSOLE_DRIVER_PATH}, {}, false, {{in[0], 0}, {out[1], 1}});
  ::close(in[0]);
  ::close(out[1]);
  requests_ = in[1];
  answers_ = out[0];
}

Browser::~Browser() {
  if (requests_ >= 0) ::close(requests_);
  if (pid_ > 0) {
    // The driver closes the browser when its input ends; a few seconds for that.
    for (int i = 0; i < 100 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) ::usleep(50000);
    if (::kill(pid_, 0) == 0) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  if (answers_ >= 0) ::close(answers_);
}

std::optional<nlohmann::json> Browser::Do(const nlohmann::json& request,
                                          std::chrono::seconds limit) {
  const std::string line = request.dump() + "\n";
  if (pid_ <= 0 || ::write(requests_, line.data(), line.size()) != static_cast<long>(line.size())) {
    error_ = "the driver is not running";
    return std::nullopt;
  }
  const auto end = std::chrono::steady_clock::now() + limit;
  std::size_t newline;
  while ((newline = pending_.find('\n')) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd ready{answers_, POLLIN, 0};
    char buffer[4096];
    long got = 0;
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0 ||
        (got = ::read(answers_, buffer, sizeof buffer)) <= 0) {
      error_ = "no answer from the driver to " + request.dump();
      return std::nullopt;
    }
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
  const auto answer = nlohmann::json::parse(pending_.substr(0, newline), nullptr, false);
  pending_.erase(0, newline + 1);
  if (!answer.is_object() || !answer.value("ok", false)) {
    error_ = answer.is_object() ? answer.value("error", "?") : "not JSON";
    return std::nullopt;
  }
  return answer["value"];
}

int Browser::Open(const std::string& url) {
  const auto page = Do({{"do", "open"}, {"url", url}});
  return page ? page->get<int>() : -1;
}

bool Browser::Click(int page, const std::string& role, const std::string& name) {
  return Do({{"do", "click"}, {"page", page}, {"target", {{"role", role}, {"name", name}}}})
      .has_value();
}

bool Browser::Until(int page, const std::string& expression, const nlohmann::json& arg,
                    int milliseconds) {
  return Do({{"do", "until"},
             {"page", page},
             {"expression", expression},
             {"arg", arg},
             {"timeout", milliseconds}})
      .has_value();
}

nlohmann::json Browser::Evaluate(int page, const std::string& expression,
                                 const nlohmann::json& arg) {
  return Do({{"do", "evaluate"}, {"page", page}, {"expression", expression}, {"arg", arg}})
      .value_or(nullptr);
}

std::string LampIs() {
  return "const lamp = document.querySelector(`[data-unit=\"${arg[0]}\"] "
         "[data-lamp=\"${arg[1]}\"]`);"
         " return lamp !== null && lamp.dataset.state === arg[2];";
}

}  // namespace lamptest
