// The control classes the dialogs hold as members, attached to the
// control of their template by the dialog's data exchange, and the
// program's pictures and icon. One interface, two systems' windows behind
// it: Qt's widgets (controls.cpp) and Windows' own controls
// (windows/controls.cpp); only these headers name either.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <QIcon>
#include <QImage>
class QComboBox;
class QDialog;
class QPainter;
class QPushButton;
class QWidget;
#endif

namespace platform {

#ifdef _WIN32
using NativeWindow = HWND;
using NativeDialog = HWND;
#else
class IpAddressWidget;
using NativeWindow = QWidget*;
using NativeDialog = QDialog*;
#endif

// A picture loaded from the program's resources by id.
class CBitmap {
 public:
  CBitmap() = default;
  ~CBitmap();
  CBitmap(const CBitmap&) = delete;
  CBitmap& operator=(const CBitmap&) = delete;
  bool LoadBitmap(int resourceId);
#ifdef _WIN32
  bool IsLoaded() const { return bitmap_ != nullptr; }
  HBITMAP Handle() const { return bitmap_; }

 private:
  HBITMAP bitmap_ = nullptr;
#else
  bool IsLoaded() const { return !image_.isNull(); }
  const QImage& Image() const { return image_; }

 private:
  QImage image_;  // plain memory: a holder may outlive the Qt application
#endif
};

// The program's icon `resourceId`. `module` names the program's resources
// where one process holds several programs' (Qt's resources are one tree);
// Windows takes it from the program's own file.
class CIcon {
 public:
  CIcon(int resourceId, const char* module);
  ~CIcon();
  CIcon(const CIcon&) = delete;
  CIcon& operator=(const CIcon&) = delete;
#ifdef _WIN32
  HICON Handle() const { return icon_; }

 private:
  HICON icon_ = nullptr;
#else
  const QIcon& Icon() const { return icon_; }

 private:
  QIcon icon_;
#endif
};

// What a dialog's OnPaint draws with.
class CPaintDC {
 public:
#ifdef _WIN32
  explicit CPaintDC(HDC dc) : dc_(dc) {}
  HDC Handle() const { return dc_; }

 private:
  HDC dc_;
#else
  explicit CPaintDC(QPainter& painter) : painter_(painter) {}
  QPainter& Painter() const { return painter_; }

 private:
  QPainter& painter_;
#endif
};

class CWnd {
 public:
  void Attach(NativeWindow window) { widget_ = window; }
  bool IsAttached() const { return widget_ != nullptr; }
  NativeWindow Widget() const { return widget_; }
  bool IsWindowEnabled() const;

 protected:
  NativeWindow widget_ = nullptr;
};

class CButton : public CWnd {
 public:
  // Shows the picture on the button itself; the button keeps a copy.
  void SetBitmap(const CBitmap& bitmap);
  bool HasBitmap() const;
#ifndef _WIN32
  QPushButton* Button() const;
#endif
};

class CIPAddressCtrl : public CWnd {
 public:
  // Number of fields that are not blank; blank fields give 0.
  int GetAddress(std::uint8_t& b0, std::uint8_t& b1, std::uint8_t& b2, std::uint8_t& b3) const;
  void SetAddress(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3);
  void ClearAddress();
  bool IsBlank() const;
#ifndef _WIN32
  IpAddressWidget* Control() const;
#endif
};

// A drop-down list; a sorted one keeps its entries in text order.
class CComboBox : public CWnd {
 public:
  static constexpr int kNoSelection = -1;

  int AddString(const std::string& text);
  // The index of the entry that is exactly `text`, searching after
  // `indexStart` (-1: the whole list); kNoSelection when there is none.
  int FindStringExact(int indexStart, const std::string& text) const;
  void ResetContent();
  int GetCount() const;
  int GetCurSel() const;
  void SetCurSel(int index);
  std::string GetLBText(int index) const;
#ifndef _WIN32
  QComboBox* Combo() const;
#endif
};

}  // namespace platform
