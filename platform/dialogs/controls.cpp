#include "controls.h"

#include <QComboBox>
#include <QIcon>
#include <QPixmap>
#include <QPushButton>

#include "ip_address_widget.h"

namespace platform {

CBitmap::~CBitmap() = default;

CIcon::CIcon(int resourceId, const char* module)
    : icon_(QStringLiteral(":/%1/icons/%2.ico").arg(QString::fromUtf8(module)).arg(resourceId)) {}

CIcon::~CIcon() = default;

bool CBitmap::LoadBitmap(int resourceId) {
  return image_.load(QStringLiteral(":/bitmaps/%1.bmp").arg(resourceId));
}

bool CWnd::IsWindowEnabled() const { return widget_ && widget_->isEnabled(); }

QPushButton* CButton::Button() const { return static_cast<QPushButton*>(widget_); }

void CButton::SetBitmap(const CBitmap& bitmap) {
  Button()->setIcon(QIcon(QPixmap::fromImage(bitmap.Image())));
  Button()->setIconSize(bitmap.Image().size());
}

bool CButton::HasBitmap() const { return widget_ && !Button()->icon().isNull(); }

IpAddressWidget* CIPAddressCtrl::Control() const { return static_cast<IpAddressWidget*>(widget_); }

int CIPAddressCtrl::GetAddress(std::uint8_t& b0, std::uint8_t& b1, std::uint8_t& b2,
                               std::uint8_t& b3) const {
  std::array<std::uint8_t, 4> address{};
  const int filled = Control()->GetAddress(address);
  b0 = address[0];
  b1 = address[1];
  b2 = address[2];
  b3 = address[3];
  return filled;
}

void CIPAddressCtrl::SetAddress(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                                std::uint8_t b3) {
  Control()->SetAddress({b0, b1, b2, b3});
}

void CIPAddressCtrl::ClearAddress() { Control()->ClearAddress(); }

bool CIPAddressCtrl::IsBlank() const { return Control()->IsBlank(); }

QComboBox* CComboBox::Combo() const { return static_cast<QComboBox*>(widget_); }

namespace {

// The first entry of a sorted list that comes after `entry` (or, with
// `orEqual`, that does not come before it): a binary search, so that a list
// of thousands of entries fills in n log n.
int SortedPosition(const QComboBox* combo, const QString& entry, bool orEqual) {
  int low = 0, high = combo->count();
  while (low < high) {
    const int middle = low + (high - low) / 2;
    const QString text = combo->itemText(middle);
    if (text < entry || (!orEqual && text == entry)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

}  // namespace

int CComboBox::AddString(const std::string& text) {
  const QString entry = QString::fromStdString(text);
  const int selected = Combo()->currentIndex();
  int index = Combo()->count();
  if (Combo()->property("sorted").toBool()) index = SortedPosition(Combo(), entry, false);
  Combo()->insertItem(index, entry);
  // Adding never selects anything; a selection stays on its entry.
  Combo()->setCurrentIndex(selected < 0 ? -1 : (selected >= index ? selected + 1 : selected));
  return index;
}

int CComboBox::FindStringExact(int indexStart, const std::string& text) const {
  const QString entry = QString::fromStdString(text);
  if (Combo()->property("sorted").toBool() && indexStart < 0) {
    const int index = SortedPosition(Combo(), entry, true);
    return index < Combo()->count() && Combo()->itemText(index) == entry ? index : kNoSelection;
  }
  for (int index = indexStart + 1; index < Combo()->count(); ++index) {
    if (Combo()->itemText(index) == entry) return index;
  }
  return kNoSelection;
}

void CComboBox::ResetContent() { Combo()->clear(); }

int CComboBox::GetCount() const { return Combo()->count(); }

int CComboBox::GetCurSel() const { return Combo()->currentIndex(); }

void CComboBox::SetCurSel(int index) { Combo()->setCurrentIndex(index); }

std::string CComboBox::GetLBText(int index) const { return Combo()->itemText(index).toStdString(); }

}  // namespace platform
