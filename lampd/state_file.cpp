#include "state_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "time_text.h"

namespace lampd {
namespace {

using json = nlohmann::ordered_json;

json CodesJson(const protocol::LampCodes& codes) {
  json document = json::object();
  json lamps = json::object();
  for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
    if (codes[lamp] != protocol::kLeaveUnchanged) {
      lamps[std::string(protocol::kLampNames[lamp])] =
          std::string(protocol::LampStateName(codes[lamp]));
    }
  }
  document["lamps"] = lamps;
  if (codes[protocol::kSoundLamp] != protocol::kLeaveUnchanged) {
    document["sound"] = codes[protocol::kSoundLamp];
  }
  return document;
}

// The reverse; false for anything not as CodesJson writes it.
bool CodesOf(const json& document, protocol::LampCodes& codes) {
  codes = protocol::kLeaveAllUnchanged;
  if (!document.contains("lamps") || !document["lamps"].is_object()) return false;
  for (const auto& [name, value] : document["lamps"].items()) {
    const auto lamp = protocol::LampNumberOf(name);
    const auto code =
        value.is_string() ? protocol::LampCodeOf(value.get<std::string>()) : std::nullopt;
    if (!lamp || !code) return false;
    codes[*lamp] = *code;
  }
  if (document.contains("sound")) {
    const json& sound = document["sound"];
    if (!sound.is_number_integer() || sound.get<int>() < 0 || sound.get<int>() > 5) return false;
    codes[protocol::kSoundLamp] = static_cast<std::uint8_t>(sound.get<int>());
  }
  return true;
}

std::string ErrnoText() { return std::strerror(errno); }

bool Parse(const std::string& text, WallClock::time_point now, SavedSignals& saved) {
  const json document = json::parse(text, nullptr, false);
  if (!document.is_object() || document.value("version", 0) != 1 || !document.contains("units") ||
      !document["units"].is_object() || !document.contains("serial") ||
      !document["serial"].is_number_unsigned()) {
    return false;
  }
  saved.serial = document["serial"].get<std::uint64_t>();
  for (const auto& [id, entry] : document["units"].items()) {
    UnitSignals signals;
    protocol::LampCodes baseline;
    if (!entry.is_object() || !entry.contains("baseline") ||
        !CodesOf(entry["baseline"], baseline) || !entry.contains("leases") ||
        !entry["leases"].is_array()) {
      return false;
    }
    signals.SetBaseline(baseline);
    for (const json& item : entry["leases"]) {
      Lease lease;
      if (!item.is_object() || !CodesOf(item, lease.codes) || !item.contains("source") ||
          !item["source"].is_string() || !item.contains("priority") ||
          !item["priority"].is_number_integer() || !item.contains("serial") ||
          !item["serial"].is_number_unsigned() || !item.contains("expires") ||
          !item["expires"].is_string()) {
        return false;
      }
      const auto expires = ParseTime(item["expires"].get<std::string>());
      if (!expires) return false;
      lease.source = item["source"].get<std::string>();
      lease.priority = item["priority"].get<int>();
      lease.serial = item["serial"].get<std::uint64_t>();
      lease.expires = *expires;
      if (lease.expires > now) signals.AddLease(std::move(lease));
    }
    if (!signals.Empty()) saved.units.emplace(id, std::move(signals));
  }
  return true;
}

}  // namespace

json LeaseJson(const Lease& lease) {
  json document = json::object();
  document["source"] = lease.source;
  document["priority"] = lease.priority;
  document["expires"] = TimeText(lease.expires);
  const json codes = CodesJson(lease.codes);
  document["lamps"] = codes["lamps"];
  if (codes.contains("sound")) document["sound"] = codes["sound"];
  return document;
}

bool SaveSignals(const std::string& path, const SavedSignals& saved, std::string& why) {
  json units = json::object();
  for (const auto& [id, signals] : saved.units) {
    if (signals.Empty()) continue;
    json leases = json::array();
    for (const Lease& lease : signals.Leases()) {
      json item = LeaseJson(lease);
      item["serial"] = lease.serial;
      leases.push_back(item);
    }
    units[id] = {{"baseline", CodesJson(signals.Baseline())}, {"leases", leases}};
  }
  const std::string text =
      json{{"version", 1}, {"serial", saved.serial}, {"units", units}}.dump(1) + "\n";
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

LoadOutcome LoadSignals(const std::string& path, WallClock::time_point now, SavedSignals& saved,
                        std::string& note) {
  std::ifstream file(path);
  if (!file) {
    if (errno == ENOENT) return LoadOutcome::kNoFile;
    note = "cannot read " + path + ": " + ErrnoText();
    return LoadOutcome::kUnreadable;
  }
  std::stringstream text;
  text << file.rdbuf();
  SavedSignals parsed;
  if (Parse(text.str(), now, parsed)) {
    saved = std::move(parsed);
    return LoadOutcome::kLoaded;
  }
  std::string stamp = TimeText(now);
  for (char& c : stamp) {
    if (c == ':') c = '-';
  }
  const std::string aside = path + ".bad-" + stamp;
  if (std::rename(path.c_str(), aside.c_str()) != 0) {
    note = path + " does not parse and cannot be moved aside: " + ErrnoText();
    return LoadOutcome::kUnreadable;
  }
  note = path + " does not parse: moved aside to " + aside + "; starting without leases";
  return LoadOutcome::kMovedAside;
}

}  // namespace lampd
