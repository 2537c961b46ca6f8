#include "lamppanel_app.h"

#include "lamppanel_dialog.h"

namespace lamppanel {

// The first of the program-wide objects (the others: program_objects.cpp).
LampPanelApp theApp;

bool LampPanelApp::InitInstance() {
  LampPanelDialog dialog;
  dialog.DoModal();
  return false;  // the program ends with the dialog
}

}  // namespace lamppanel
