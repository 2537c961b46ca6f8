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
// A multi-line edit that shows a log: as DDX_Text, but a refresh appends to
// the control what the log gained since the last exchange, so that a line
// costs the same however long the log is. The whole text is set instead
// when the log got shorter or the user has edited the control since.
void DDX_LogText(CDataExchange& exchange, int id, std::string& log);
// The position of the selected radio button of the group starting at
// firstId, or -1 when none is selected.
void DDX_Radio(CDataExchange& exchange, int firstId, int& index);

}  // namespace platform
