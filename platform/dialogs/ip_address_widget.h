// The four-field IPv4 entry: four numbers 0..255 behind dots, each field
// possibly blank. Typing three digits or '.' moves to the next field.
#pragma once

#include <QFrame>
#include <QLineEdit>
#include <array>
#include <cstdint>

namespace platform {

class IpAddressWidget : public QFrame {
 public:
  explicit IpAddressWidget(QWidget* parent);

  // Number of fields that are not blank; blank fields read as 0.
  int GetAddress(std::array<std::uint8_t, 4>& address) const;
  void SetAddress(const std::array<std::uint8_t, 4>& address);
  void ClearAddress();
  bool IsBlank() const;

  QLineEdit* Field(int index) const { return fields_[index]; }

 private:
  std::array<QLineEdit*, 4> fields_{};
};

}  // namespace platform
