#pragma once

#include <string>

namespace platform {

// The current local time formatted with strftime, e.g. "%H:%M:%S".
std::string FormatLocalTime(const char* format);

}  // namespace platform
