#include "netassign_app.h"

#include "dialogs/message_box.h"
#include "net/socket_layer.h"
#include "net/startup_message.h"
#include "netassign_dialog.h"
#include "netassign_resource.h"

namespace netassign {

NetAssignApp theApp;

bool NetAssignApp::InitInstance() {
  // The socket layer is started for the whole program and held until its end.
  if (!platform::StartSocketLayer(platform::kSocketVersion11)) {
    platform::AfxMessageBox(platform::kProgramStartupFailedString);  // exclamation icon, OK
    startFailed_ = true;
    return false;
  }
  socketLayerStarted_ = true;

  NetAssignDialog dialog;
  dialog.DoModal();
  return false;  // the program ends with the dialog
}

int NetAssignApp::ExitInstance() {
  if (socketLayerStarted_) platform::CleanupSocketLayer();
  socketLayerStarted_ = false;
  return startFailed_ ? 1 : 0;
}

}  // namespace netassign
