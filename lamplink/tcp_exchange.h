// The exchange behind Tcp_Orvik_RW, apart from the library's start-up and
// export so that tests reach it.
#pragma once

#include <cstdint>
#include <system_error>

namespace lamplink {

// One TCP request/reply of `length` bytes of `frame` with the unit.
bool Tcp_Exchange(std::int8_t length, std::int32_t port, const std::uint8_t* address,
                  std::uint8_t* frame);

// As above; when it gives false, `reason` says why (refused, timed out,
// unreachable, reset, no socket).
bool Tcp_Exchange(std::int8_t length, std::int32_t port, const std::uint8_t* address,
                  std::uint8_t* frame, std::error_code& reason);

}  // namespace lamplink
