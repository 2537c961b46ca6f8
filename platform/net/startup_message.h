#pragma once

namespace platform {

// What the library (its string 101) and the settings tool (its string 103)
// say when the socket layer cannot start: the same words in both.
inline constexpr const char* kSocketStartupFailedText = "Windows 소켓 초기화에 실패하였습니다.";
inline constexpr int kLibraryStartupFailedString = 101;  // in the library's string table
inline constexpr int kProgramStartupFailedString = 103;  // in the settings tool's

// Tells the user that a library cannot start: on standard error, and in a
// message box (exclamation icon, OK) where the program loading it shows one.
void ShowStartupFailure(const char* title, const char* text);

}  // namespace platform
