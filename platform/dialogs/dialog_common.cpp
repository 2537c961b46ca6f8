// What the dialog does the same way on every system: its template's radio
// groups, the message map's routing, field exchange and OK and Cancel.
#include "data_exchange.h"
#include "dialog.h"

namespace platform {

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
