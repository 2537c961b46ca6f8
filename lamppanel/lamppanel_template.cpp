// Dialog template 102 of the console.
#include "lamppanel_template.h"

#include <array>

#include "lamppanel_resource.h"

namespace lamppanel {
namespace {

using namespace platform;
using K = ControlKind;

constexpr std::array kControls = std::to_array<DialogControl>({
    {IDC_EXIT, K::kDefPushButton, " E X I T", {355, 295, 56, 35}, kTabStop},
    {1000, K::kBitmapButton, "", {30, 25, 50, 45}, kTabStop},
    {1001, K::kBitmapButton, "", {80, 25, 50, 45}, kTabStop},
    {1002, K::kBitmapButton, "", {130, 25, 51, 45}, kTabStop},
    {1003, K::kBitmapButton, "", {30, 75, 50, 45}, kTabStop},
    {1004, K::kBitmapButton, "", {80, 75, 50, 45}, kTabStop},
    {1005, K::kBitmapButton, "", {130, 75, 51, 45}, kTabStop},
    {1006, K::kBitmapButton, "", {30, 125, 50, 45}, kTabStop},
    {1007, K::kBitmapButton, "", {80, 125, 50, 45}, kTabStop},
    {1008, K::kBitmapButton, "", {130, 125, 50, 45}, kTabStop},
    {1009, K::kBitmapButton, "", {30, 175, 50, 45}, kTabStop},
    {1010, K::kBitmapButton, "", {80, 175, 50, 45}, kTabStop},
    {1011, K::kBitmapButton, "", {130, 175, 51, 45}, kTabStop},
    {1012, K::kBitmapButton, "", {30, 225, 50, 45}, kTabStop},
    {1013, K::kBitmapButton, "", {80, 225, 50, 45}, kTabStop},
    {1014, K::kBitmapButton, "", {130, 225, 51, 45}, kTabStop},
    {1015, K::kBitmapButton, "", {220, 50, 50, 45}, kTabStop},
    {1016, K::kBitmapButton, "", {220, 95, 50, 44}, kTabStop},
    {1017, K::kBitmapButton, "", {220, 140, 50, 45}, kTabStop},
    {1018, K::kBitmapButton, "", {220, 185, 50, 45}, kTabStop},
    {1019, K::kBitmapButton, "", {220, 230, 50, 45}, kTabStop},
    {kNoId, K::kGroupBox, "Lamp Control", {15, 10, 187, 275}, kNoStyle},
    {kNoId, K::kGroupBox, "Sound Select", {212, 35, 132, 250}, kNoStyle},
    {IDC_STATUS, K::kEdit, "", {25, 304, 312, 24}, kMultiLine | kBorder | kTabStop},
    {kNoId, K::kGroupBox, "Status", {15, 290, 330, 44}, kNoStyle},
    {IDC_STAT_READ, K::kPushButton, "Stat_Read", {355, 230, 56, 27}, kTabStop},
    {IDC_RESET, K::kPushButton, "Reset", {355, 260, 56, 26}, kTabStop},
    {IDC_SOUND_OFF, K::kPushButton, "Sound OFF", {275, 50, 65, 24}, kTabStop},
    {kNoId, K::kGroupBox, "Model Select", {355, 75, 54, 129}, kNoStyle},
    {1020, K::kRadioButton, "Type-A", {363, 87, 26, 10}, kGroup},
    {1021, K::kRadioButton, "Type-B", {363, 99, 26, 10}, kNoStyle},
    {1022, K::kRadioButton, "Type-C(1)", {363, 113, 37, 10}, kNoStyle},
    {1023, K::kRadioButton, "Type-D(1)", {363, 127, 35, 10}, kNoStyle},
    {1024, K::kRadioButton, "Type-E", {363, 141, 26, 10}, kNoStyle},
    {1025, K::kRadioButton, "Type-F", {363, 161, 33, 10}, kNoStyle},
    {1026, K::kRadioButton, "Type-C(8)", {363, 175, 37, 10}, kNoStyle},
    {1027, K::kRadioButton, "Type-D(8)", {363, 189, 35, 10}, kNoStyle},
    {kNoId, K::kBlackFrame, "", {361, 155, 43, 1}, kNoStyle},
    {1068, K::kStatic, "", {272, 76, 70, 15}, kSunken | kGroup},
    {1069, K::kStatic, "", {272, 121, 70, 15}, kSunken | kGroup},
    {1070, K::kStatic, "", {272, 166, 70, 15}, kSunken | kGroup},
    {1071, K::kStatic, "", {272, 211, 70, 15}, kSunken | kGroup},
    {1072, K::kStatic, "", {272, 256, 70, 15}, kSunken | kGroup},
    {IDC_PORT, K::kEdit, "", {370, 45, 35, 15}, kBorder | kRightAlign | kAutoHScroll | kTabStop},
    {kNoId, K::kGroupBox, "TCP/ PORT", {355, 30, 55, 35}, kNoStyle},
    {IDC_UNIT_ADDRESS, K::kIPAddress, "", {295, 10, 115, 15}, kTabStop},
    {kNoId, K::kStatic, "TCT/IP", {265, 15, 25, 10}, kGroup},
});

}  // namespace

const DialogTemplate kLampPanelTemplate = {
    IDD_LAMPPANEL_DIALOG, "LampPanel [Ethernet-type]v1.2", 427, 340, "굴림", 9, kControls};

}  // namespace lamppanel
