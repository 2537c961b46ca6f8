// The console dialog: lamp, sound, model, Stat_Read and Reset buttons, the
// unit's address and port, and a status box with the two newest lines.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "dialogs/controls.h"
#include "dialogs/dialog.h"
#include "program_objects.h"

namespace lamppanel {

class LampPanelDialog : public platform::CDialog {
 public:
  LampPanelDialog();

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(platform::CDataExchange& exchange) override;
  void OnPaint(platform::CPaintDC& dc) override;

 private:
  void OnLampButton(int id);
  void OnModelSelect(int id);
  void OnSoundOff();
  void OnStatRead();
  void OnReset();

  void SendLampCommand(int lamp, int value);
  void ShowStatusLine();
  void FillSoundLabels(int model);

  platform::CIPAddressCtrl unitAddress;
  std::string statusText;
  int modelIndex;
  std::string portText;
  std::array<platform::CButton, kButtonCount> buttons;
  std::uint8_t resetPending = 0;
  std::uint8_t readPending = 0;
  std::string lastStatusLine;
  std::string pendingStatus;
  platform::CIcon iconHandle;
};

}  // namespace lamppanel
