#include "state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "state_document.h"
#include "time_text.h"

namespace lampd {
namespace {

// 1 wrote the sound "off" as 0; 3 keeps calls: their start, answer and escalation.
constexpr int kVersion = 3;
constexpr std::size_t kLargestFile = 64 << 20;  // 2,000 units of 64 leases is 20 MB

std::string ErrnoText() { return std::strerror(errno); }

// Version 1 wrote the sound "off" as 0; read as today's.
void UpgradeSound(Json& document) {
  if (const auto sound = document.find("sound"); sound != document.end() && *sound == 0) {
    *sound = "off";
  }
}

bool ParseUnit(Json entry, int version, const ClockPair& clocks, UnitSignals& signals) {
  if (!entry.is_object()) return false;
  const auto baseline = entry.find("baseline");
  const auto leases = entry.find("leases");
  if (baseline == entry.end() || !baseline->is_object() || leases == entry.end() ||
      !leases->is_array()) {
    return false;
  }
  if (version == 1) UpgradeSound(*baseline);
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;
  std::string why;
  if (!CodesOf(*baseline, codes, why)) return false;
  signals.SetBaseline(codes);
  for (Json& item : *leases) {
    if (!item.is_object()) return false;
    if (version == 1) UpgradeSound(item);
    const auto serial = item.find("serial");
    Lease lease;
    if (serial == item.end() || !serial->is_number_unsigned() || !LeaseOf(item, clocks, lease)) {
      return false;
    }
    lease.serial = serial->get<std::uint64_t>();
    if (lease.ends > clocks.steady) signals.AddLease(std::move(lease));
  }
  return true;
}

}  // namespace

std::string SignalsText(const SavedSignals& saved, const ClockPair& clocks) {
  Json units = Json::object();
  for (const auto& [id, signals] : saved.units) {
    if (signals.Empty()) continue;
    Json leases = Json::array();
    for (const Lease& lease : signals.Leases()) {
      Json item = LeaseJson(lease, clocks);
      item["serial"] = lease.serial;
      leases.push_back(item);
    }
    units[id] = {{"baseline", CodesJson(signals.Baseline())}, {"leases", leases}};
  }
  return Json{{"version", kVersion}, {"serial", saved.serial}, {"units", units}}.dump(
             1, ' ', false, Json::error_handler_t::replace) +
         "\n";
}

bool ParseSignals(const std::string& text, const ClockPair& clocks, SavedSignals& saved) {
  Json document = Json::parse(text, nullptr, false);
  if (!document.is_object()) return false;
  const auto version = document.find("version");
  const auto serial = document.find("serial");
  const auto units = document.find("units");
  if (version == document.end() || !version->is_number_integer() || *version < 1 ||
      *version > kVersion || serial == document.end() || !serial->is_number_unsigned() ||
      units == document.end() || !units->is_object()) {
    return false;
  }
  SavedSignals parsed;
  parsed.serial = serial->get<std::uint64_t>();
  for (auto& [id, entry] : units->items()) {
    UnitSignals signals;
    if (!ParseUnit(entry, version->get<int>(), clocks, signals)) return false;
    if (!signals.Empty()) parsed.units.emplace(id, std::move(signals));
  }
  saved = std::move(parsed);
  return true;
}

bool SaveSignals(const std::string& path, const SavedSignals& saved, const ClockPair& clocks,
                 std::string& why) {
  const std::string text = SignalsText(saved, clocks);
  const std::string temporary = path + ".new";
  const int file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (file < 0) {
    why = "cannot write " + temporary + ": " + ErrnoText();
    return false;
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::write(file, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    written += static_cast<std::size_t>(count);
  }
  const bool whole = written == text.size() && ::fsync(file) == 0;
  const std::string failure = whole ? "" : ErrnoText();
  ::close(file);
  if (!whole || std::rename(temporary.c_str(), path.c_str()) != 0) {
    why = "cannot write " + path + ": " + (whole ? ErrnoText() : failure);
    std::remove(temporary.c_str());
    return false;
  }
  // The rename itself lasts once the folder is synced.
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  if (const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
  return true;
}

LoadOutcome LoadSignals(const std::string& path, const ClockPair& clocks, SavedSignals& saved,
                        std::string& note) {
  const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    if (errno == ENOENT) return LoadOutcome::kNoFile;
    note = "cannot read " + path + ": " + ErrnoText();
    return LoadOutcome::kUnreadable;
  }
  struct stat facts {};
  std::string text;
  bool tooLarge = false;
  if (::fstat(file, &facts) != 0 || !S_ISREG(facts.st_mode)) {
    note = "cannot read " + path + ": " + (S_ISDIR(facts.st_mode) ? "a directory" : "not a file");
    ::close(file);
    return LoadOutcome::kUnreadable;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(file, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      note = "cannot read " + path + ": " + ErrnoText();
      ::close(file);
      return LoadOutcome::kUnreadable;
    }
    if (count == 0) break;
    if (text.size() + static_cast<std::size_t>(count) > kLargestFile) {
      tooLarge = true;
      break;
    }
    text.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(file);
  if (!tooLarge && ParseSignals(text, clocks, saved)) return LoadOutcome::kLoaded;
  std::string stamp = TimeText(clocks.wall);
  for (char& c : stamp) {
    if (c == ':') c = '-';
  }
  const std::string aside = path + ".bad-" + stamp;
  if (std::rename(path.c_str(), aside.c_str()) != 0) {
    note = path + " is not a state file and cannot be moved aside: " + ErrnoText();
    return LoadOutcome::kUnreadable;
  }
  note = path + (tooLarge ? " is over 64 MiB" : " does not parse") + ": moved aside to " + aside +
         "; starting without leases";
  return LoadOutcome::kMovedAside;
}

}  // namespace lampd
