// Field exchange: a dialog's DoDataExchange lists its bindings; UpdateData
// runs them one way (true takes the fields from the controls, false puts
// the fields into the controls).
#pragma once

#include <string>

namespace platform {

class CDialog;
class CWnd;

class CDataExchange {
 public:
  CDataExchange(CDialog& dialog, bool saveAndValidate)
      : dialog(dialog), saveAndValidate(saveAndValidate) {}
  CDialog& dialog;
  const bool saveAndValidate;
};

// Attaches the member to the control (once; both directions).
void DDX_Control(CDataExchange& exchange, int id, CWnd& control);
// The control's whole text and a text member.
void DDX_Text(CDataExchange& exchange, int id, std::string& value);
// The position of the selected radio button of the group starting at
// firstId, or -1 when none is selected.
void DDX_Radio(CDataExchange& exchange, int firstId, int& index);

}  // namespace platform
