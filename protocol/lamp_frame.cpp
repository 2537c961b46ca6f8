#include "lamp_frame.h"

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
