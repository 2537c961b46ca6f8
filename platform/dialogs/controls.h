// The control classes the dialogs hold as members. Each is attached to the
// widget of its template control by the dialog's data exchange.
#pragma once

#include <QImage>
#include <array>
#include <cstdint>
#include <string>

class QComboBox;
class QPushButton;
class QWidget;

namespace platform {

class IpAddressWidget;

// A picture loaded from the program's resources by id.
class CBitmap {
 public:
  bool LoadBitmap(int resourceId);
  bool IsLoaded() const { return !image_.isNull(); }
  const QImage& Image() const { return image_; }

 private:
  QImage image_;  // plain memory: a holder may outlive the Qt application
};

class CWnd {
 public:
  void Attach(QWidget* widget) { widget_ = widget; }
  bool IsAttached() const { return widget_ != nullptr; }
  QWidget* Widget() const { return widget_; }
  bool IsWindowEnabled() const;

 protected:
  QWidget* widget_ = nullptr;
};

class CButton : public CWnd {
 public:
  // Shows the picture on the button itself; the button keeps a copy.
  void SetBitmap(const CBitmap& bitmap);
  bool HasBitmap() const;
  QPushButton* Button() const;
};

class CIPAddressCtrl : public CWnd {
 public:
  // Number of fields that are not blank; blank fields give 0.
  int GetAddress(std::uint8_t& b0, std::uint8_t& b1, std::uint8_t& b2, std::uint8_t& b3) const;
  void SetAddress(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3);
  void ClearAddress();
  bool IsBlank() const;
  IpAddressWidget* Control() const;
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
  QComboBox* Combo() const;
};

}  // namespace platform
