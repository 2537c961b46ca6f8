// A dialog template held as data: caption, size, font and every control with
// its id, kind, text, rectangle (in dialog units) and styles, in tab order.
#pragma once

#include <span>

namespace platform {

enum class ControlKind {
  kPushButton,
  kDefPushButton,
  kBitmapButton,  // a push button showing a picture
  kGroupBox,
  kStatic,
  kBlackFrame,
  kEdit,
  kRadioButton,  // auto radio button
  kIPAddress,
  kComboBox,  // drop-down list
};

// Window styles of a control, combined with |.
enum ControlStyle : unsigned {
  kNoStyle = 0,
  kTabStop = 1u << 0,
  kGroup = 1u << 1,  // starts a group (radio buttons group until the next mark)
  kDisabled = 1u << 2,
  kBorder = 1u << 3,
  kMultiLine = 1u << 4,
  kVScroll = 1u << 5,
  kAutoHScroll = 1u << 6,
  kRightAlign = 1u << 7,
  kSunken = 1u << 8,  // static with a sunken edge
  kSorted = 1u << 9,
};

struct DialogRect {
  int x, y, width, height;
};

inline constexpr int kNoId = -1;

struct DialogControl {
  int id;
  ControlKind kind;
  const char* text;
  DialogRect rect;
  unsigned styles;
};

struct DialogTemplate {
  int id;
  const char* caption;
  int width, height;
  const char* fontName;
  int fontPoints;
  std::span<const DialogControl> controls;
};

}  // namespace platform
