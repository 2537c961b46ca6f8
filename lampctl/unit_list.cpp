#include "unit_list.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace lampctl {
namespace {

std::string Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return "";
  const auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

std::string SystemReason(int number) {
  std::string text = std::strerror(number);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(text[0]));
  return text;
}

}  // namespace

bool ReadUnitFile(const std::string& path, std::vector<protocol::UnitAddress>& units,
                  std::string& error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) {
    error = "cannot read " + path + ": " + SystemReason(errno);
    return false;
  }
  struct stat status {};
  if (::fstat(::fileno(file.get()), &status) == 0 && S_ISDIR(status.st_mode)) {
    error = path + " is a directory";
    return false;
  }
  const std::size_t before = units.size();
  std::string line;
  int number = 1;
  // Takes the line read so far; false with `error` when it does not parse.
  auto take = [&] {
    const std::string entry = Trimmed(std::string_view(line).substr(0, line.find('#')));
    line.clear();
    if (entry.empty()) return true;
    if (!protocol::ParseUnit(entry, true, units, error)) {
      error = path + ":" + std::to_string(number) + ": " + error;
      return false;
    }
    if (units.size() > kUnitLimit) {
      error = path + ":" + std::to_string(number) + ": more than " + std::to_string(kUnitLimit) +
              " units";
      return false;
    }
    return true;
  };
  std::size_t bytes = 0;
  for (int c; (c = std::getc(file.get())) != EOF;) {
    if (++bytes > kUnitFileByteLimit) {
      error = path + ":" + std::to_string(number) + ": file longer than " +
              std::to_string(kUnitFileByteLimit >> 20) + " MiB";
      return false;
    }
    if (c == '\n') {
      if (!take()) return false;
      ++number;
      continue;
    }
    if (c == '\0') {
      error = path + ":" + std::to_string(number) + ": not a text file (a NUL byte)";
      return false;
    }
    if (line.size() >= kUnitFileLineLimit) {
      error = path + ":" + std::to_string(number) + ": line longer than " +
              std::to_string(kUnitFileLineLimit) + " bytes";
      return false;
    }
    line += static_cast<char>(c);
  }
  if (std::ferror(file.get())) {
    error = "cannot read " + path + ": " + SystemReason(errno);
    return false;
  }
  if (!take()) return false;
  if (units.size() == before) {
    error = "no units in " + path;
    return false;
  }
  return true;
}

}  // namespace lampctl
