// The settings tool's application object.
#pragma once

#include "winapp.h"

namespace netassign {

class NetAssignApp : public platform::CWinApp {
 public:
  NetAssignApp() : CWinApp("NetAssign") {}
  bool InitInstance() override;
  int ExitInstance() override;

 private:
  bool socketLayerStarted_ = false;
  bool startFailed_ = false;
};

extern NetAssignApp theApp;

}  // namespace netassign
