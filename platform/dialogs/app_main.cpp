// The program's main: makes the Qt application, then runs the program-wide
// application object's InitInstance. When that returns false the program
// ends; no event loop follows the dialog.
#include <QApplication>

#include "dialog_font.h"
#include "winapp.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  platform::RegisterDialogFontSubstitutes();
  platform::CWinApp* app = platform::CWinApp::Current();
  if (!app) return 1;
  if (app->InitInstance()) application.exec();
  return app->ExitInstance();
}
