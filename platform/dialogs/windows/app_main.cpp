// The program's entry on Windows: the program-wide application object's
// InitInstance, then its exit status. The dialog runs its own message loop.
#include <windows.h>

#include "net/winapp.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::CWinApp* app = platform::CWinApp::Current();
  if (!app) return 1;
  app->InitInstance();
  return app->ExitInstance();
}
