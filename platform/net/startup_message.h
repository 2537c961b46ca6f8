#pragma once

namespace platform {

// Tells the user that a library cannot start: on standard error, and in a
// message box (exclamation icon, OK) where the program loading it shows one.
void ShowStartupFailure(const char* title, const char* text);

}  // namespace platform
