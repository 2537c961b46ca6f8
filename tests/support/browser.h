// Debian's Chromium driven through tests/console/driver.mjs (Playwright):
// a real browser on the test's private network, asked one thing at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace lamptest {

class Browser {
 public:
  Browser();
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // One request to the driver; its answer's value, or nothing with Error() saying why.
  std::optional<nlohmann::json> Do(const nlohmann::json& request,
                                   std::chrono::seconds limit = std::chrono::seconds(60));
  const std::string& Error() const { return error_; }

  // A page of its own at `url`; its number, or -1.
  int Open(const std::string& url);
  // Clicks the control with this role and accessible name.
  bool Click(int page, const std::string& role, const std::string& name);
  // Waits until the function body `expression` over `arg` is true in the page.
  bool Until(int page, const std::string& expression, const nlohmann::json& arg = nullptr,
             int milliseconds = 15000);
  nlohmann::json Evaluate(int page, const std::string& expression,
                          const nlohmann::json& arg = nullptr);

 private:
  pid_t pid_ = -1;
  int requests_ = -1, answers_ = -1;  // the driver's standard input and output
  std::string pending_;
  std::string error_;
};

// The function body that is true once a lamp of unit `id` shows `state`:
// Until(page, LampIs(), {id, lamp, state}).
std::string LampIs();

}  // namespace lamptest
