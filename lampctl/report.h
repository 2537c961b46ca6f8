// How lampctl reports: its exit statuses, one line a problem on standard
// error, one JSON document a call on standard output.
#pragma once

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "protocol/text_format.h"

namespace lampctl {

using json = nlohmann::ordered_json;

inline constexpr int kOk = 0;
inline constexpr int kUnitFailed = 1;  // a unit did not answer, refused, or a check failed
inline constexpr int kUsage = 2;
inline constexpr int kNetworkUnusable = 3;  // no socket, nothing could be sent

// Outside bytes in it (a file's line, an argument, a name) are escaped.
inline void Warn(const std::string& text) {
  std::cerr << "lampctl: " << protocol::PrintableText(text, 400) << '\n';
}

inline void PrintJson(const json& document) { std::cout << document.dump(2) << '\n'; }

}  // namespace lampctl
