// The console's program-wide objects besides the application object: the
// sound-name table and the holders of the button pictures. Built at program
// start, before the dialog, and gone at program end.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "dialogs/controls.h"

namespace lamppanel {

inline constexpr int kButtonCount = 20;

extern const std::vector<std::string> soundNames;
extern std::array<platform::CBitmap, kButtonCount> buttonBitmaps;

}  // namespace lamppanel
