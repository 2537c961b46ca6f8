#include "lamppanel_app.h"

#include "lamppanel_dialog.h"
#include "sound_catalogue.h"

namespace lamppanel {

// Built at program start in this order, before the dialog.
LampPanelApp theApp;
const std::vector<std::string> soundNames = MakeSoundNames();
std::array<platform::CBitmap, kButtonCount> buttonBitmaps;

bool LampPanelApp::InitInstance() {
  LampPanelDialog dialog;
  dialog.DoModal();
  return false;  // the program ends with the dialog
}

}  // namespace lamppanel
