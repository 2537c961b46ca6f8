// Part of every dialog program: a library that cannot start while the
// program loads it shows its message box through this.
#include "message_box.h"

// Shows the box of a library whose start-up fails while this program loads it.
extern "C" __attribute__((visibility("default"))) void LampShowStartupMessageBox(const char* title,
                                                                                 const char* text) {
  platform::ShowMessageBox(title, text, platform::MB_OK | platform::MB_ICONEXCLAMATION);
}
