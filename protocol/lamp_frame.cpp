#include "lamp_frame.h"

#include <algorithm>

namespace protocol {

LampFrame BuildLampFrame(int lamp, int value, int modelIndex, bool readPending, bool resetPending) {
  LampFrame frame{};
  if (resetPending) {
    for (int i = kFirstLampByte; i <= kSoundByte; ++i) frame[i] = kLampOff;
  } else {
    for (int i = kFirstLampByte; i <= kSoundByte; ++i) frame[i] = kLeaveUnchanged;
    // Only the low 8 bits of lamp and value count; a lamp beyond the sound
    // byte would land outside the frame, so it changes nothing.
    const int byte = kFirstLampByte + static_cast<std::uint8_t>(lamp);
    if (byte <= kSoundByte) frame[byte] = static_cast<std::uint8_t>(value);
  }
  frame[kOperationByte] = readPending ? kOperationRead : kOperationWrite;
  frame[kModelByte] = static_cast<std::uint8_t>(modelIndex);
  return frame;
}

LampFrame WireFrame(LampFrame built) {
  built[kOperationByte] = built[kOperationByte] == kOperationWrite ? kWireWrite : kWireRead;
  return built;
}

std::string_view LampStateName(std::uint8_t code) {
  return code == kLampOff ? "off" : code == kLampOn ? "on" : "blink";
}

std::optional<std::uint8_t> LampCodeOf(std::string_view word) {
  if (word == "off") return kLampOff;
  if (word == "on") return kLampOn;
  if (word == "blink") return kLampBlink;
  return std::nullopt;
}

std::optional<int> LampNumberOf(std::string_view name) {
  for (int lamp = 0; lamp < kLampCount; ++lamp) {
    if (kLampNames[lamp] == name) return lamp;
  }
  return std::nullopt;
}

LampFrame StatusRequest(int model) { return WireFrame(BuildLampFrame(0, 0, model, true, false)); }

LampFrame ResetRequest(int model) { return WireFrame(BuildLampFrame(0, 0, model, false, true)); }

LampFrame WriteRequest(int model, const LampCodes& codes) {
  LampFrame frame = WireFrame(BuildLampFrame(kSoundLamp, kLeaveUnchanged, model, false, false));
  std::copy(codes.begin(), codes.end(), frame.begin() + kFirstLampByte);
  return frame;
}

std::string DecodeStatusWords(const LampFrame& reply) {
  static constexpr const char* kLampLetters[kLampCount] = {"R", "Y", "G", "B", "W"};
  std::string words;
  for (int lamp = 0; lamp < kLampCount; ++lamp) {
    const std::uint8_t state = reply[kFirstLampByte + lamp];
    words += kLampLetters[lamp];
    words += state == kLampOff ? "-OF/" : state == kLampOn ? "-ON/" : "-BL/";
  }
  words += reply[kSoundByte] == kSoundOff ? "(S)-OF/" : "(S)-ON/";
  return words;
}

}  // namespace protocol
