// What a simulated unit remembers: its model, five lamps and the sound.
#pragma once

#include <array>
#include <cstdint>

#include "lamp_frame.h"

namespace lampunit {

class LampState {
 public:
  explicit LampState(std::uint8_t model) : model_(model) {}

  // Applies the lamp and sound codes of a 'W' frame; 0x64 leaves a field as it is.
  void ApplyWrite(const protocol::LampFrame& request);

  // The unit's answer: operation letter, model, five lamps, sound.
  protocol::LampFrame Reply(std::uint8_t operation) const;

 private:
  std::uint8_t model_;
  std::array<std::uint8_t, protocol::kLampCount + 1> fields_{};  // five lamps, then the sound
};

}  // namespace lampunit
