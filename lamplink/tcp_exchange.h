#pragma once

#include <cstdint>
#include <string>

namespace lamplink {

// Dotted text of four address bytes, first number first: 10.0.0.5.
std::string DottedAddress(const std::uint8_t* address);

// One TCP request/reply of `length` bytes of `frame` with the unit.
bool Tcp_Exchange(std::int8_t length, std::int32_t port, const std::uint8_t* address,
                  std::uint8_t* frame);

}  // namespace lamplink
