// The controls on Windows: messages to the system's own controls.
#include "controls.h"

#include <commctrl.h>

#include "windows/wide_text.h"

namespace platform {

CBitmap::~CBitmap() {
  if (bitmap_) ::DeleteObject(bitmap_);
}

bool CBitmap::LoadBitmap(int resourceId) {
  if (bitmap_) ::DeleteObject(bitmap_);
  bitmap_ =
      static_cast<HBITMAP>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resourceId),
                                        IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
  return bitmap_ != nullptr;
}

CIcon::CIcon(int resourceId, const char*)
    : icon_(::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resourceId))) {}

CIcon::~CIcon() = default;  // an icon LoadIcon gives is shared: never destroyed

bool CWnd::IsWindowEnabled() const { return widget_ && ::IsWindowEnabled(widget_); }

void CButton::SetBitmap(const CBitmap& bitmap) {
  ::SendMessageW(widget_, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap.Handle()));
}

bool CButton::HasBitmap() const {
  return ::SendMessageW(widget_, BM_GETIMAGE, IMAGE_BITMAP, 0) != 0;
}

int CIPAddressCtrl::GetAddress(std::uint8_t& b0, std::uint8_t& b1, std::uint8_t& b2,
                               std::uint8_t& b3) const {
  DWORD address = 0;
  const auto filled =
      ::SendMessageW(widget_, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&address));
  b0 = static_cast<std::uint8_t>(FIRST_IPADDRESS(address));
  b1 = static_cast<std::uint8_t>(SECOND_IPADDRESS(address));
  b2 = static_cast<std::uint8_t>(THIRD_IPADDRESS(address));
  b3 = static_cast<std::uint8_t>(FOURTH_IPADDRESS(address));
  return static_cast<int>(filled);
}

void CIPAddressCtrl::SetAddress(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                                std::uint8_t b3) {
  ::SendMessageW(widget_, IPM_SETADDRESS, 0, MAKEIPADDRESS(b0, b1, b2, b3));
}

void CIPAddressCtrl::ClearAddress() { ::SendMessageW(widget_, IPM_CLEARADDRESS, 0, 0); }

bool CIPAddressCtrl::IsBlank() const { return ::SendMessageW(widget_, IPM_ISBLANK, 0, 0) != 0; }

int CComboBox::AddString(const std::string& text) {
  return static_cast<int>(
      ::SendMessageW(widget_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text).c_str())));
}

int CComboBox::FindStringExact(int indexStart, const std::string& text) const {
  // Windows' own search ignores case; MAC addresses are told apart as written.
  for (int index = indexStart + 1; index < GetCount(); ++index) {
    if (GetLBText(index) == text) return index;
  }
  return kNoSelection;
}

void CComboBox::ResetContent() { ::SendMessageW(widget_, CB_RESETCONTENT, 0, 0); }

int CComboBox::GetCount() const {
  return static_cast<int>(::SendMessageW(widget_, CB_GETCOUNT, 0, 0));
}

int CComboBox::GetCurSel() const {
  const auto selected = ::SendMessageW(widget_, CB_GETCURSEL, 0, 0);
  return selected == CB_ERR ? kNoSelection : static_cast<int>(selected);
}

void CComboBox::SetCurSel(int index) {
  ::SendMessageW(widget_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::string CComboBox::GetLBText(int index) const {
  const auto length = ::SendMessageW(widget_, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  ::SendMessageW(widget_, CB_GETLBTEXT, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return Narrow(text);
}

}  // namespace platform
