// The console's application object.
#pragma once

#include "net/winapp.h"

namespace lamppanel {

class LampPanelApp : public platform::CWinApp {
 public:
  LampPanelApp()
      : CWinApp("LampPanel",
                "LampPanel, the test console of a networked signal-lamp unit: switch each of its "
                "five lamps on, off or blinking, play or stop a sound, read its state back and "
                "reset it. Type the unit's address and port in the window.") {}
  bool InitInstance() override;
};

extern LampPanelApp theApp;

}  // namespace lamppanel
