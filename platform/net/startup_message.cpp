#include "startup_message.h"

#include <cstdio>

// A program with a user interface defines this to show the message box; a
// library loaded by a program without one only writes the text.
extern "C" void LampShowStartupMessageBox(const char* title, const char* text)
    __attribute__((weak));

namespace platform {

void ShowStartupFailure(const char* title, const char* text) {
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
  if (LampShowStartupMessageBox) LampShowStartupMessageBox(title, text);
}

}  // namespace platform
