#pragma once

#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

#ifndef _WIN32  // Windows' own, from windows.h
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;
#endif

// The text on standard error and, where a display exists, in a message box
// titled with the program's name: exclamation icon and OK.
void AfxMessageBox(const std::string& text, unsigned type = MB_OK | MB_ICONEXCLAMATION);
// String `stringId` of the program's string table.
void AfxMessageBox(int stringId, unsigned type = MB_OK | MB_ICONEXCLAMATION);

// A text of the program's string table: Windows loads it from the
// program's resources; elsewhere the table is ours (string_table.cpp).
std::string LoadResourceString(int stringId);

// The box alone, with the given title.
void ShowMessageBox(const std::string& title, const std::string& text, unsigned type);

}  // namespace platform
