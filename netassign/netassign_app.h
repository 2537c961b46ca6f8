// The settings tool's application object.
#pragma once

#include "net/winapp.h"

namespace netassign {

class NetAssignApp : public platform::CWinApp {
 public:
  NetAssignApp()
      : CWinApp("NetAssign",
                "NetAssign, the network settings tool of networked signal-lamp units: find the "
                "units on the local network, and read and write a unit's IP address, subnet "
                "mask, gateway and port.") {}
  bool InitInstance() override;
  int ExitInstance() override;

 private:
  bool socketLayerStarted_ = false;
  bool startFailed_ = false;
};

extern NetAssignApp theApp;

}  // namespace netassign
