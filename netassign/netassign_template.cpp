// Dialog template 102 of the settings tool.
#include "netassign_template.h"

#include <array>

#include "netassign_resource.h"

namespace netassign {
namespace {

using namespace platform;
using K = ControlKind;

constexpr std::array kControls = std::to_array<DialogControl>({
    {IDC_EXIT, K::kPushButton, "EXIT", {212, 17, 68, 28}, kTabStop},
    {IDC_MAC_FIND, K::kPushButton, "Mac Find", {131, 24, 60, 21}, kTabStop},
    {IDC_STATUS_VIEW, K::kEdit, "", {15, 205, 265, 51}, kMultiLine | kVScroll | kBorder | kTabStop},
    {IDC_MAC_LIST, K::kComboBox, "", {26, 28, 90, 50}, kSorted | kVScroll | kTabStop},
    {IDC_RESET_STATUS, K::kPushButton, "Reset Status", {225, 260, 56, 16}, kTabStop},
    {IDC_IP_ADDRESS, K::kIPAddress, "IPAddress1", {86, 76, 91, 16}, kTabStop},
    {IDC_SUBNET_MASK, K::kIPAddress, "IPAddress2", {86, 95, 90, 15}, kTabStop},
    {IDC_GATEWAY, K::kIPAddress, "IPAddress3", {86, 115, 90, 15}, kTabStop},
    {IDC_PORT, K::kEdit, "", {86, 138, 29, 16}, kRightAlign | kAutoHScroll | kBorder | kTabStop},
    {IDC_MA, K::kEdit, "", {45, 178, 77, 14}, kDisabled | kAutoHScroll | kBorder | kTabStop},
    {IDC_READ, K::kPushButton, "READ", {212, 69, 68, 39}, kTabStop},
    {IDC_WRITE, K::kPushButton, "WRITE", {212, 117, 68, 38}, kTabStop},
    {IDC_SETT, K::kPushButton, "SETT", {220, 177, 55, 17}, kDisabled | kTabStop},
    {kNoId, K::kStatic, "Status View", {19, 257, 72, 10}, kGroup},
    {IDC_MT, K::kEdit, "", {147, 176, 40, 14}, kDisabled | kAutoHScroll | kBorder | kTabStop},
    {kNoId, K::kGroupBox, "Find Mac Address / Select", {15, 13, 187, 37}, kNoStyle},
    {kNoId, K::kStatic, "IP_Address", {30, 80, 49, 11}, kGroup},
    {kNoId, K::kStatic, "Subnet Mask", {29, 101, 43, 11}, kGroup},
    {kNoId, K::kStatic, "Gateway", {30, 121, 48, 9}, kGroup},
    {kNoId, K::kStatic, "Port", {31, 140, 29, 12}, kGroup},
    {kNoId, K::kGroupBox, "Mac config Status", {15, 58, 187, 102}, kNoStyle},
    {kNoId, K::kGroupBox, "Orvik_sett", {15, 166, 265, 34}, kNoStyle},
    {kNoId, K::kStatic, "MA", {28, 180, 16, 12}, kGroup},
    {kNoId, K::kStatic, "MT", {132, 179, 13, 10}, kGroup},
});

}  // namespace

const DialogTemplate kNetAssignTemplate = {
    IDD_NETASSIGN_DIALOG, "NetAssign", 295, 277, "굴림", 9, kControls};

}  // namespace netassign
