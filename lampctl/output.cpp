#include "output.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iomanip>

#include "protocol/sound_catalogue.h"
#include "protocol/text_format.h"

namespace lampctl {
namespace {

std::string LampState(std::uint8_t code) { return std::string(protocol::LampStateName(code)); }

std::string SoundText(const protocol::LampFrame& reply) {
  const std::uint8_t sound = reply[protocol::kSoundByte];
  return sound == protocol::kSoundOff ? "off" : std::to_string(sound);
}

// The name of the sound playing, for the unit's model, where both are known.
std::string SoundName(const protocol::LampFrame& reply) {
  return std::string(
      protocol::SoundNameOf(reply[protocol::kModelByte], reply[protocol::kSoundByte]));
}

std::string ModelText(std::uint8_t model) {
  std::string text = std::to_string(model);
  if (model < protocol::kModelCount) text += std::string(" (") + protocol::kModelNames[model] + ")";
  return text;
}

std::string Milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", seconds * 1e3);
  return text;
}

std::string Paint(const std::string& text, const char* code, bool colour) {
  return colour ? std::string("\033[") + code + "m" + text + "\033[0m" : text;
}

// Rows of cells printed in columns as wide as their widest cell. The last
// cell of a row is not padded and widens no column, so a row may end early
// in a long text (a reason). `painted` colours a cell after its width is taken.
void PrintColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows,
                  const std::vector<std::vector<std::string>>& painted = {}) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size());
    for (std::size_t i = 0; i + 1 < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const auto& row = rows[r];
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::string& shown =
          r < painted.size() && i < painted[r].size() && !painted[r][i].empty() ? painted[r][i]
                                                                                : row[i];
      out << shown;
      if (i + 1 < row.size()) out << std::string(widths[i] - row[i].size() + 2, ' ');
    }
    out << '\n';
  }
}

}  // namespace

bool UseColour() { return ::isatty(STDOUT_FILENO) && !std::getenv("NO_COLOR"); }

nlohmann::ordered_json SettingsJson(const UnitSettings& unit) {
  const auto& record = unit.record;
  return {{"mac", protocol::MacColonText(record.mac)},
          {"mac_dotted", protocol::DottedText(record.mac)},
          {"ip", protocol::DottedText(record.ipAddress)},
          {"mask", protocol::DottedText(record.subnetMask)},
          {"gateway", protocol::DottedText(record.gateway)},
          {"port", record.port},
          {"t", record.t},
          {"from", unit.from}};
}

nlohmann::ordered_json AnswerJson(const UnitAnswer& answer) {
  nlohmann::ordered_json json = {{"address", answer.unit.Text()},
                                 {"ok", answer.ok},
                                 {"ms", std::round(answer.seconds * 1e4) / 10}};
  if (!answer.ok) {
    json["error"] = answer.error;
    return json;
  }
  const auto& reply = answer.reply;
  json["model"] = reply[protocol::kModelByte];
  nlohmann::ordered_json lamps = nlohmann::ordered_json::object();
  for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
    lamps[std::string(protocol::kLampNames[lamp])] =
        LampState(reply[protocol::kFirstLampByte + lamp]);
  }
  json["lamps"] = lamps;
  const std::uint8_t sound = reply[protocol::kSoundByte];
  if (sound == protocol::kSoundOff) {
    json["sound"] = "off";
  } else {
    json["sound"] = sound;
  }
  if (const std::string name = SoundName(reply); !name.empty()) json["sound_name"] = name;
  json["words"] = protocol::DecodeStatusWords(reply);
  json["frame"] = protocol::HexBytes(reply);
  return json;
}

void PrintSettingsTable(std::ostream& out, const std::vector<UnitSettings>& units) {
  std::vector<std::vector<std::string>> rows = {
      {"MAC", "NETASSIGN MAC", "IP", "MASK", "GATEWAY", "PORT", "T", "FROM"}};
  for (const UnitSettings& unit : units) {
    const auto& record = unit.record;
    rows.push_back({protocol::MacColonText(record.mac), protocol::DottedText(record.mac),
                    protocol::DottedText(record.ipAddress), protocol::DottedText(record.subnetMask),
                    protocol::DottedText(record.gateway), std::to_string(record.port),
                    std::to_string(record.t), unit.from});
  }
  PrintColumns(out, rows);
}

void PrintUnitState(std::ostream& out, const UnitAnswer& answer, bool colour) {
  if (!answer.ok) {
    out << answer.unit.Text() << "  " << Paint("FAILED", "31", colour) << "  " << answer.error
        << '\n';
    return;
  }
  const auto& reply = answer.reply;
  out << answer.unit.Text() << "  model " << ModelText(reply[protocol::kModelByte]) << "  "
      << Milliseconds(answer.seconds) << '\n';
  std::vector<std::vector<std::string>> rows;
  for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
    rows.push_back({"  " + std::string(protocol::kLampNames[lamp]),
                    LampState(reply[protocol::kFirstLampByte + lamp])});
  }
  std::string sound = SoundText(reply);
  if (const std::string name = SoundName(reply); !name.empty()) sound += "  " + name;
  rows.push_back({"  sound", sound});
  rows.push_back({"  words", protocol::DecodeStatusWords(reply)});
  PrintColumns(out, rows);
}

void PrintPollTable(std::ostream& out, const std::vector<UnitAnswer>& answers, bool colour) {
  std::vector<std::vector<std::string>> rows = {
      {"UNIT", "RESULT", "TIME", "RED", "YELLOW", "GREEN", "BLUE", "WHITE", "SOUND", "WORDS"}};
  std::vector<std::vector<std::string>> painted(1);
  for (const UnitAnswer& answer : answers) {
    if (!answer.ok) {
      rows.push_back({answer.unit.Text(), "FAILED", Milliseconds(answer.seconds), answer.error});
      painted.push_back({"", Paint("FAILED", "31", colour)});
      continue;
    }
    std::vector<std::string> row = {answer.unit.Text(), "ok", Milliseconds(answer.seconds)};
    for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
      row.push_back(LampState(answer.reply[protocol::kFirstLampByte + lamp]));
    }
    row.push_back(SoundText(answer.reply));
    row.push_back(protocol::DecodeStatusWords(answer.reply));
    rows.push_back(row);
    painted.push_back({"", Paint("ok", "32", colour)});
  }
  PrintColumns(out, rows, painted);
}

}  // namespace lampctl
