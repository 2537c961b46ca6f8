// What the dialog layer does the same way on every system: the template's
// radio groups, the message map's routing, field exchange by the dialog's
// item texts, OK and Cancel, and the message box's line on standard error.
#include <cstdio>

#include "data_exchange.h"
#include "dialog.h"
#include "message_box.h"
#include "net/winapp.h"

namespace platform {

void DDX_Control(CDataExchange& exchange, int id, CWnd& control) {
  if (!control.IsAttached()) control.Attach(exchange.dialog.GetDlgItem(id));
}

void DDX_Text(CDataExchange& exchange, int id, std::string& value) {
  if (exchange.saveAndValidate) {
    value = exchange.dialog.GetDlgItemText(id);
  } else {
    exchange.dialog.SetDlgItemText(id, value);
  }
}

void AfxMessageBox(const std::string& text, unsigned type) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  const CWinApp* app = CWinApp::Current();
  ShowMessageBox(app && app->AppName() ? app->AppName() : "", text, type);
}

void AfxMessageBox(int stringId, unsigned type) {
  AfxMessageBox(LoadResourceString(stringId), type);
}

std::vector<int> CDialog::RadioGroup(int firstId) const {
  // A group runs from its first control to the next control that starts a group.
  std::vector<int> group;
  bool inGroup = false;
  for (const DialogControl& control : template_.controls) {
    if (inGroup && (control.styles & kGroup)) break;
    if (control.id == firstId) inGroup = true;
    if (inGroup && control.kind == ControlKind::kRadioButton) group.push_back(control.id);
  }
  return group;
}

bool CDialog::OnInitDialog() {
  UpdateData(false);
  return true;
}

void CDialog::DoDataExchange(CDataExchange&) {}

bool CDialog::UpdateData(bool saveAndValidate) {
  CDataExchange exchange(*this, saveAndValidate);
  DoDataExchange(exchange);
  return true;
}

void CDialog::OnOK() {
  UpdateData(true);
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::OnCommandMessage(int id) {
  for (const Route& route : routes_) {
    if (id >= route.firstId && id <= route.lastId) {
      route.handler(id);
      return;
    }
  }
  if (id == IDOK) OnOK();
  if (id == IDCANCEL) OnCancel();
}

}  // namespace platform
