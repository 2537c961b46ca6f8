#pragma once

#include <cstdint>
#include <string>

namespace protocol {

// Decimal text to a number the way the tools read every number typed:
// leading white space skipped, an optional sign, digits up to the first
// other character; no digits gives 0. The result keeps the low 32 bits
// (callers keep fewer), and no text overflows.
std::int32_t DecimalTextToInt(const std::string& text);

}  // namespace protocol
