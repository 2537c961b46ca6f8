// A status reply from a unit, decoded into the six words, and frames built
// from any command. Each word follows its own byte alone, and a frame built
// from any lamp number stays inside its eight bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/lamp_frame.h"

using namespace protocol;

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kFrameSize + 4) return 0;
  LampFrame reply{};
  for (int i = 0; i < kFrameSize; ++i) reply[i] = data[i];

  const std::string words = DecodeStatusWords(reply);
  static constexpr const char* kLetters = "RYGBW";
  std::string expected;
  for (int lamp = 0; lamp < kLampCount; ++lamp) {
    const std::uint8_t state = reply[kFirstLampByte + lamp];
    expected += kLetters[lamp];
    expected += state == 0 ? "-OF/" : state == 1 ? "-ON/" : "-BL/";
  }
  expected += reply[kSoundByte] == 0 ? "(S)-OF/" : "(S)-ON/";
  Check(words == expected);

  const int lamp = static_cast<std::int8_t>(data[8]) * 3;  // any number, negative too
  const int value = data[9] * 7;
  const bool read = data[10] & 1, reset = data[10] & 2;
  const LampFrame built = BuildLampFrame(lamp, value, data[11], read, reset);
  Check(built[kOperationByte] == (read ? 0 : 1));
  Check(built[kModelByte] == data[11]);
  int changed = 0;
  for (int i = kFirstLampByte; i <= kSoundByte; ++i) {
    if (reset) Check(built[i] == 0);
    if (!reset && built[i] != kLeaveUnchanged) ++changed;
  }
  Check(changed <= 1);
  return 0;
}
