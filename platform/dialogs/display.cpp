#include "display.h"

#include <stdlib.h>
#include <unistd.h>

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// What the start-up handler needs; a message handler takes no context.
struct StartUp {
  std::string program;
  int exitStatus = 1;
  std::string held;  // what Qt said meanwhile, for when the start-up goes well
};
StartUp& Pending() {
  static StartUp startUp;
  return startUp;
}

// While the application is made: Qt's complaints about the display are
// ours to tell, and its fatal end becomes our one line and exit status.
void StartUpMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtFatalMsg) {
    const std::string display = !Variable("WAYLAND_DISPLAY").empty() && Variable("DISPLAY").empty()
                                    ? "WAYLAND_DISPLAY=" + Variable("WAYLAND_DISPLAY")
                                    : "DISPLAY=" + Variable("DISPLAY");
    std::fprintf(stderr, "%s: no display: cannot connect to %s\n", Pending().program.c_str(),
                 display.c_str());
    std::fflush(stderr);
    ::_exit(Pending().exitStatus);
  }
  // Said in our line if the start-up fails; said as Qt says it if it goes well.
  Pending().held += message.toLocal8Bit().toStdString() + "\n";
}

}  // namespace

bool DisplayAvailable() {
  const std::string platformName = Variable("QT_QPA_PLATFORM");
  if (platformName.starts_with("offscreen") || platformName.starts_with("minimal")) return false;
  return !Variable("DISPLAY").empty() || !Variable("WAYLAND_DISPLAY").empty();
}

bool PrepareDisplay(const std::string& program, int exitStatus) {
  if (Variable("QT_QPA_PLATFORM").empty() && Variable("DISPLAY").empty() &&
      Variable("WAYLAND_DISPLAY").empty()) {
    std::fprintf(stderr, "%s: no display: set DISPLAY or WAYLAND_DISPLAY\n", program.c_str());
    return false;
  }
  // A Wayland session without X: Qt would try X first and find nothing.
  if (Variable("QT_QPA_PLATFORM").empty() && Variable("DISPLAY").empty()) {
    ::setenv("QT_QPA_PLATFORM", "wayland", 1);
  }
  Pending() = {program, exitStatus, ""};
  qInstallMessageHandler(StartUpMessages);
  return true;
}

void DisplayPrepared() {
  qInstallMessageHandler(nullptr);
  std::fputs(Pending().held.c_str(), stderr);
  Pending().held.clear();
}

}  // namespace platform
