#include "winapp.h"

namespace platform {
namespace {

// The module's one application object, as the design has it.
CWinApp* currentApp = nullptr;

}  // namespace

CWinApp::CWinApp(const char* appName, const char* description)
    : appName_(appName), description_(description) {
  currentApp = this;
}

CWinApp::~CWinApp() {
  if (currentApp == this) currentApp = nullptr;
}

CWinApp* CWinApp::Current() { return currentApp; }

}  // namespace platform
