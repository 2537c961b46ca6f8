#include "lamp_state.h"

namespace lampunit {

void LampState::ApplyWrite(const protocol::LampFrame& request) {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const std::uint8_t code = request[protocol::kFirstLampByte + i];
    if (code != protocol::kLeaveUnchanged) fields_[i] = code;
  }
  if (observer_) observer_(Reply(protocol::kWireWrite));
}

protocol::LampFrame LampState::Reply(std::uint8_t operation) const {
  protocol::LampFrame reply{};
  reply[protocol::kOperationByte] = operation;
  reply[protocol::kModelByte] = model_;
  for (std::size_t i = 0; i < fields_.size(); ++i) reply[protocol::kFirstLampByte + i] = fields_[i];
  return reply;
}

}  // namespace lampunit
