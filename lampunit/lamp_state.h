// What a simulated unit remembers: its model, five lamps and the sound.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "protocol/lamp_frame.h"

namespace lampunit {

class LampState {
 public:
  explicit LampState(std::uint8_t model) : model_(model) {}

  // Applies the lamp and sound codes of a 'W' frame; 0x64 leaves a field as it is.
  void ApplyWrite(const protocol::LampFrame& request);

  // The unit's answer: operation letter, model, five lamps, sound.
  protocol::LampFrame Reply(std::uint8_t operation) const;

  // Told of every write applied, with the state it left (as a 'W' reply),
  // before the unit answers it: what watches the unit never lags its answers.
  void OnChange(std::function<void(const protocol::LampFrame&)> observer) {
    observer_ = std::move(observer);
  }

 private:
  std::uint8_t model_;
  std::array<std::uint8_t, protocol::kLampCount + 1> fields_{};  // five lamps, then the sound
  std::function<void(const protocol::LampFrame&)> observer_;
};

}  // namespace lampunit
