// The program's main: answers --help and --version, refuses any other
// argument with the usage (before it looks for a display), makes the Qt
// application (or says in one line why there is no display), then runs the
// program-wide application object's InitInstance. When that returns false
// the program ends; no event loop follows the dialog.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>

#include "dialog_font.h"
#include "display.h"
#include "net/winapp.h"
#include "protocol/text_format.h"

namespace {

std::string ProgramName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

}  // namespace

int main(int argc, char** argv) {
  platform::CWinApp* app = platform::CWinApp::Current();
  if (!app) return 1;
  const std::string program = ProgramName(argv[0]);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("usage: %s [--help | --version]\n%s\n", program.c_str(),
                  app->Description() ? app->Description() : "");
      std::printf("It takes no other arguments: everything is done in its one window.\n");
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s %s\n", program.c_str(), LAMP_VERSION);
      return 0;
    }
  }
  if (argc > 1) {
    std::fprintf(stderr, "%s: unknown argument '%s'\nusage: %s [--help | --version]\n",
                 program.c_str(), protocol::PrintableText(argv[1]).c_str(), program.c_str());
    return 2;
  }
  if (!platform::PrepareDisplay(program)) return 1;
  QApplication application(argc, argv);
  platform::DisplayPrepared();
  platform::RegisterDialogFontSubstitutes();
  if (app->InitInstance()) application.exec();
  return app->ExitInstance();
}
