// The dialog on Windows: made by Windows itself from the program's dialog
// template resource (DialogBoxParam), its messages routed to the dialog's
// message map. The common controls (the IP address control) are
// registered before the first dialog is made.
#include "dialog.h"

#include <commctrl.h>

#include "data_exchange.h"
#include "windows/wide_text.h"

namespace platform {
namespace {

void RegisterCommonControls() {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                ICC_STANDARD_CLASSES | ICC_INTERNET_CLASSES};
  ::InitCommonControlsEx(&controls);
}

}  // namespace

CDialog::CDialog(const DialogTemplate& dialogTemplate) : template_(dialogTemplate) {}

CDialog::~CDialog() {
  if (window_ && modeless_) ::DestroyWindow(window_);
}

HWND CDialog::Window() const { return window_; }

INT_PTR CALLBACK CDialog::DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      self = reinterpret_cast<CDialog*>(lParam);
      ::SetWindowLongPtrW(window, DWLP_USER, lParam);
      self->window_ = window;
      return self->OnInitDialog() ? TRUE : FALSE;
    case WM_COMMAND:
      // A click, a radio button's choice, Enter (IDOK) or Esc (IDCANCEL).
      if (!self || (lParam != 0 && HIWORD(wParam) != BN_CLICKED)) return FALSE;
      self->OnCommandMessage(LOWORD(wParam));
      return TRUE;
    case WM_PAINT: {
      if (!self || !::IsIconic(window)) return FALSE;  // otherwise Windows paints
      PAINTSTRUCT paint;
      CPaintDC dc(::BeginPaint(window, &paint));
      self->OnPaint(dc);
      ::EndPaint(window, &paint);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

int CDialog::DoModal() {
  RegisterCommonControls();
  const INT_PTR result =
      ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(template_.id), nullptr,
                        &CDialog::DialogProcedure, reinterpret_cast<LPARAM>(this));
  window_ = nullptr;
  return static_cast<int>(result);
}

void CDialog::Create() {
  RegisterCommonControls();
  modeless_ = true;
  if (::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(template_.id), nullptr,
                           &CDialog::DialogProcedure, reinterpret_cast<LPARAM>(this))) {
    ::ShowWindow(window_, SW_SHOW);
  }
}

void CDialog::EndDialog(int result) {
  if (modeless_) {
    ::DestroyWindow(window_);
    window_ = nullptr;
    return;
  }
  ::EndDialog(window_, result);
}

HWND CDialog::GetDlgItem(int id) const { return ::GetDlgItem(window_, id); }

void CDialog::SetDlgItemText(int id, const std::string& text) {
  ::SetDlgItemTextW(window_, id, Wide(text).c_str());
}

std::string CDialog::GetDlgItemText(int id) const { return WindowText(GetDlgItem(id)); }

void CDialog::SetIcon(const CIcon& icon, bool bigIcon) {
  ::SendMessageW(window_, WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL,
                 reinterpret_cast<LPARAM>(icon.Handle()));
}

bool CDialog::IsIconic() const { return window_ && ::IsIconic(window_); }

void CDialog::OnPaint(CPaintDC&) {}

void CDialog::DrawIconCentred(CPaintDC& dc, const CIcon& icon) const {
  const int width = ::GetSystemMetrics(SM_CXICON);
  const int height = ::GetSystemMetrics(SM_CYICON);
  RECT client;
  ::GetClientRect(window_, &client);
  const int x = (client.right - client.left - width + 1) / 2;
  const int y = (client.bottom - client.top - height + 1) / 2;
  ::DrawIcon(dc.Handle(), x, y, icon.Handle());
}

}  // namespace platform
