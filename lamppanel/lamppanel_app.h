// The console's application object and its program-wide objects.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "controls.h"
#include "winapp.h"

namespace lamppanel {

class LampPanelApp : public platform::CWinApp {
 public:
  LampPanelApp() : CWinApp("LampPanel") {}
  bool InitInstance() override;
};

inline constexpr int kButtonCount = 20;

extern LampPanelApp theApp;
extern const std::vector<std::string> soundNames;
extern std::array<platform::CBitmap, kButtonCount> buttonBitmaps;

}  // namespace lamppanel
