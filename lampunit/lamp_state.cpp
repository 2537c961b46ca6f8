#include "lamp_state.h"

namespace lampunit {

void LampState::ApplyWrite(const lamp::LampFrame& request) {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const std::uint8_t code = request[lamp::kFirstLampByte + i];
    if (code != lamp::kLeaveUnchanged) fields_[i] = code;
  }
}

lamp::LampFrame LampState::Reply(std::uint8_t operation) const {
  lamp::LampFrame reply{};
  reply[lamp::kOperationByte] = operation;
  reply[lamp::kModelByte] = model_;
  for (std::size_t i = 0; i < fields_.size(); ++i) reply[lamp::kFirstLampByte + i] = fields_[i];
  return reply;
}

}  // namespace lampunit
