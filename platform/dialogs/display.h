// Whether and how a dialog program gets its display. Qt ends a program that
// cannot open one with an abort and a page of advice; ours say why in one
// line and exit with a status of their own.
#pragma once

#include <string>

namespace platform {

// True when a window can be shown: a display is named, and the platform is
// not Qt's offscreen or minimal one.
bool DisplayAvailable();

// To call before the program's Qt application is made. False, after
// "PROGRAM: no display: set DISPLAY or WAYLAND_DISPLAY" on standard error,
// when no display is named. Where one is named but cannot be reached, the
// making of the application then ends the program with one line
// ("PROGRAM: no display: cannot connect to DISPLAY=:0") and `exitStatus`.
// A platform chosen in QT_QPA_PLATFORM (offscreen, for tests) needs no display.
bool PrepareDisplay(const std::string& program, int exitStatus = 1);

// To call once the application is made: Qt's messages go their usual way.
void DisplayPrepared();

}  // namespace platform
