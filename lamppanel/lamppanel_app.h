// The console's application object.
#pragma once

#include "winapp.h"

namespace lamppanel {

class LampPanelApp : public platform::CWinApp {
 public:
  LampPanelApp() : CWinApp("LampPanel") {}
  bool InitInstance() override;
};

extern LampPanelApp theApp;

}  // namespace lamppanel
