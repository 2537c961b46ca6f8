#include "lamppanel_dialog.h"

#include "dialogs/data_exchange.h"
#include "dialogs/local_time.h"
#include "dialogs/wait_cursor.h"
#include "lamplink.h"
#include "lamppanel_resource.h"
#include "lamppanel_template.h"
#include "protocol/decimal_text.h"
#include "protocol/lamp_frame.h"
#include "protocol/sound_catalogue.h"
#include "protocol/text_format.h"

namespace lamppanel {

using protocol::FormatText;
using protocol::kSoundsPerModel;

LampPanelDialog::LampPanelDialog()
    : CDialog(kLampPanelTemplate), modelIndex(-1), iconHandle(IDR_MAINFRAME, kResourceModule) {
  OnCommandRange(IDC_LAMP_FIRST, IDC_SOUND_LAST, &LampPanelDialog::OnLampButton);
  OnCommandRange(IDC_MODEL_FIRST, IDC_MODEL_LAST, &LampPanelDialog::OnModelSelect);
  OnCommand(IDC_SOUND_OFF, &LampPanelDialog::OnSoundOff);
  OnCommand(IDC_STAT_READ, &LampPanelDialog::OnStatRead);
  OnCommand(IDC_RESET, &LampPanelDialog::OnReset);
}

void LampPanelDialog::DoDataExchange(platform::CDataExchange& exchange) {
  platform::DDX_Control(exchange, IDC_UNIT_ADDRESS, unitAddress);
  platform::DDX_Text(exchange, IDC_STATUS, statusText);
  platform::DDX_Radio(exchange, IDC_MODEL_FIRST, modelIndex);
  platform::DDX_Text(exchange, IDC_PORT, portText);
  for (int i = 0; i < kButtonCount; ++i) {
    platform::DDX_Control(exchange, IDC_LAMP_FIRST + i, buttons[i]);
  }
}

bool LampPanelDialog::OnInitDialog() {
  CDialog::OnInitDialog();

  SetIcon(iconHandle, true);
  SetIcon(iconHandle, false);

  for (int i = 0; i < kButtonCount; ++i) {
    const int bitmapId = i < 15 ? IDB_LAMP_FIRST + i : IDB_SOUND;
    if (buttonBitmaps[i].LoadBitmap(bitmapId)) buttons[i].SetBitmap(buttonBitmaps[i]);
  }

  resetPending = 0;
  readPending = 0;
  modelIndex = 0;
  FillSoundLabels(modelIndex);
  unitAddress.SetAddress(192, 168, 10, 200);
  portText = "20000";
  UpdateData(false);
  return true;
}

void LampPanelDialog::OnPaint(platform::CPaintDC& dc) {
  if (IsIconic()) DrawIconCentred(dc, iconHandle);  // otherwise the default painting
}

void LampPanelDialog::FillSoundLabels(int model) {
  for (int n = 1; n <= kSoundsPerModel; ++n) {
    SetDlgItemText(IDC_SOUND_LABEL_FIRST + n - 1, soundNames[kSoundsPerModel * model + n - 1]);
  }
}

void LampPanelDialog::OnLampButton(int id) {
  const int k = id - IDC_LAMP_FIRST;
  if (k >= 15) {
    const int n = k - 14;
    pendingStatus = FormatText("Sound Select %d", n);
    SendLampCommand(protocol::kSoundLamp, n);
    return;
  }
  const int lampNumber = k / 3;
  switch (k % 3) {
    case 0:
      pendingStatus = FormatText("Lamp %d ON ", lampNumber + 1);
      SendLampCommand(lampNumber, protocol::kLampOn);
      break;
    case 1:
      pendingStatus = FormatText("Lamp %d On/Off ", lampNumber + 1);
      SendLampCommand(lampNumber, protocol::kLampBlink);
      break;
    case 2:
      pendingStatus = FormatText("Lamp %d OFF ", lampNumber + 1);
      SendLampCommand(lampNumber, protocol::kLampOff);
      break;
  }
}

void LampPanelDialog::OnModelSelect(int) {
  UpdateData(true);
  FillSoundLabels(modelIndex);
  pendingStatus = FormatText("B_snd_select %d", modelIndex);
  ShowStatusLine();
}

void LampPanelDialog::OnSoundOff() {
  pendingStatus = "Buzzer OFF";
  SendLampCommand(protocol::kSoundLamp, protocol::kSoundOff);
}

void LampPanelDialog::OnStatRead() {
  readPending = 1;
  SendLampCommand(0, 0);
}

void LampPanelDialog::OnReset() {
  pendingStatus = "Reset";
  resetPending = 1;
  SendLampCommand(0, 0);
}

void LampPanelDialog::SendLampCommand(int lampNumber, int value) {
  std::string resultText;
  UpdateData(true);

  protocol::LampFrame frame =
      protocol::BuildLampFrame(lampNumber, value, modelIndex, readPending != 0, resetPending != 0);
  resetPending = 0;

  std::uint8_t address[4];
  unitAddress.GetAddress(address[0], address[1], address[2], address[3]);

  const std::int32_t port = protocol::DecimalTextToInt(portText) & 0xFFFF;

  std::uint8_t sent;
  {
    platform::CWaitCursor busy;
    sent = Tcp_Orvik_RW(port, address, frame.data());
  }

  resultText = sent ? "  [Success send] " : "  [Send  Error] ";

  if (readPending) {
    readPending = 0;
    resultText += protocol::DecodeStatusWords(frame);
  }

  pendingStatus = resultText + pendingStatus;
  ShowStatusLine();
}

void LampPanelDialog::ShowStatusLine() {
  pendingStatus = platform::FormatLocalTime("%H:%M:%S") + pendingStatus;
  statusText = lastStatusLine + "\r\n" + pendingStatus;
  lastStatusLine = pendingStatus;
  pendingStatus.clear();
  UpdateData(false);
}

}  // namespace lamppanel
