// The console's buttons as both console tests press them, Linux's Qt
// dialog and LampPanel.exe under Wine: the control, the frame the unit
// gets from a fresh console (model Type-A, a unit that holds what it was
// sent), and the newest line of the status box after it, without its time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lamptest {

struct ConsolePress {
  int id;
  std::vector<std::uint8_t> frame;
  std::string line;
};

inline const std::vector<ConsolePress>& ConsolePresses() {
  constexpr std::uint8_t D = 0x64;  // leave as it is
  static const std::vector<ConsolePress> presses = {
      {1000, {'W', 0, 1, D, D, D, D, D}, "  [Success send] Lamp 1 ON "},
      {1013, {'W', 0, D, D, D, D, 2, D}, "  [Success send] Lamp 5 On/Off "},
      {1008, {'W', 0, D, D, 0, D, D, D}, "  [Success send] Lamp 3 OFF "},
      {1004, {'W', 0, D, 2, D, D, D, D}, "  [Success send] Lamp 2 On/Off "},
      {1009, {'W', 0, D, D, D, 1, D, D}, "  [Success send] Lamp 4 ON "},
      {1019, {'W', 0, D, D, D, D, D, 5}, "  [Success send] Sound Select 5"},
      {1015, {'W', 0, D, D, D, D, D, 1}, "  [Success send] Sound Select 1"},
      {1053, {'W', 0, D, D, D, D, D, 0}, "  [Success send] Buzzer OFF"},  // Sound OFF
      {1033, {'R', 0, 0, D, D, D, D, D}, "  [Success send] R-ON/Y-BL/G-OF/B-ON/W-BL/(S)-OF/"},
      {1034, {'W', 0, 0, 0, 0, 0, 0, 0}, "  [Success send] Reset"},
      {1033, {'R', 0, 0, D, D, D, D, D}, "  [Success send] R-OF/Y-OF/G-OF/B-OF/W-OF/(S)-OF/"},
  };
  return presses;
}

}  // namespace lamptest
