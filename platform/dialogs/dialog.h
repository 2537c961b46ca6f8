// A modal dialog built from a dialog template, with the framework's OK and
// Cancel, a message map routing button clicks by id or id range, and field
// exchange between the dialog's members and its controls.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "controls.h"
#include "dialog_template.h"

namespace platform {

class CDataExchange;
class DialogWindow;

#ifndef _WIN32  // Windows' own, from windows.h
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
#endif

class CDialog {
 public:
  explicit CDialog(const DialogTemplate& dialogTemplate);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Builds the window, runs OnInitDialog and the dialog until it ends; its result.
  int DoModal();
  // Builds and shows the window without waiting (for tests and pictures).
  void Create();
  void EndDialog(int result);

  bool UpdateData(bool saveAndValidate = true);

  NativeDialog Window() const;
  NativeWindow GetDlgItem(int id) const;
  void SetDlgItemText(int id, const std::string& text);
  std::string GetDlgItemText(int id) const;
  void SetIcon(const CIcon& icon, bool bigIcon);
  bool IsIconic() const;
  const DialogTemplate& Template() const { return template_; }
  // Ids of the radio group that starts at firstId, in template order.
  std::vector<int> RadioGroup(int firstId) const;

 protected:
  virtual bool OnInitDialog();
  virtual void DoDataExchange(CDataExchange& exchange);
  virtual void OnOK();
  virtual void OnCancel();
  virtual void OnPaint(CPaintDC& dc);
  // The icon at the system's icon size in the middle of the client area;
  // where the free space is odd, the left and top margins get the extra pixel.
  void DrawIconCentred(CPaintDC& dc, const CIcon& icon) const;

  // Message map entries.
  template <typename Dialog>
  void OnCommand(int id, void (Dialog::*handler)()) {
    routes_.push_back({id, id, [this, handler](int) { (static_cast<Dialog*>(this)->*handler)(); }});
  }
  template <typename Dialog>
  void OnCommandRange(int firstId, int lastId, void (Dialog::*handler)(int)) {
    routes_.push_back(
        {firstId, lastId, [this, handler](int id) { (static_cast<Dialog*>(this)->*handler)(id); }});
  }

 private:
  friend class DialogWindow;
  struct Route {
    int firstId, lastId;
    std::function<void(int)> handler;
  };

  // A click (or Enter, Esc) on control id, as the message map routes it.
  void OnCommandMessage(int id);

  const DialogTemplate& template_;
  std::vector<Route> routes_;
#ifdef _WIN32
  // The dialog is made by Windows from the program's template resource.
  static INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  HWND window_ = nullptr;
  bool modeless_ = false;  // made by Create: destroyed rather than ended
#else
  void BuildWindow();
  void FocusFirstTabStop();
  std::unique_ptr<DialogWindow> window_;
  std::map<int, QWidget*> controls_;
#endif
};

}  // namespace platform
