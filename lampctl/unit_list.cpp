#include "unit_list.h"

#include <fstream>
#include <string_view>

namespace lampctl {
namespace {

std::string Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return "";
  const auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace

bool ReadUnitFile(const std::string& path, std::vector<protocol::UnitAddress>& units,
                  std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = "cannot read " + path;
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const std::string entry = Trimmed(line.substr(0, line.find('#')));
    if (entry.empty()) continue;
    if (!protocol::ParseUnit(entry, true, units, error)) {
      error = path + ":" + std::to_string(number) + ": " + error;
      return false;
    }
  }
  return true;
}

}  // namespace lampctl
