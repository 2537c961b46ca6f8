#pragma once

namespace platform {

// Tells the user that a program or library cannot start: on standard error,
// and in a message box (exclamation icon, OK) where the program shows one.
void ShowStartupFailure(const char* text);

}  // namespace platform
