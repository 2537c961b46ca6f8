// The operator console's files (its page, styles and scripts), built into
// lampd from lampd/fronts/console/page/: a plant's network has no internet, and the
// page comes from lampd itself, from nowhere else.
#pragma once

#include <string_view>
#include <vector>

namespace lampd {

struct ConsoleFile {
  std::string_view name;  // "console.js"; the page is "index.html"
  std::string_view contentType;
  std::string_view body;
};

const std::vector<ConsoleFile>& ConsoleFiles();

}  // namespace lampd
