#pragma once

#include <string>

namespace platform {

inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;

// The text on standard error and, where a display exists, in a message box
// titled with the program's name: exclamation icon and OK.
void AfxMessageBox(const std::string& text, unsigned type = MB_OK | MB_ICONEXCLAMATION);

// The box alone, with the given title.
void ShowMessageBox(const std::string& title, const std::string& text, unsigned type);

}  // namespace platform
