// Resource ids of the settings tool.
#pragma once

namespace netassign {

inline constexpr const char* kResourceModule = "netassign";  // where its resources are named

inline constexpr int IDD_NETASSIGN_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;  // the icon

inline constexpr int IDC_EXIT = 2;
inline constexpr int IDC_MAC_FIND = 1000;
inline constexpr int IDC_STATUS_VIEW = 1002;
inline constexpr int IDC_MAC_LIST = 1003;
inline constexpr int IDC_RESET_STATUS = 1004;
inline constexpr int IDC_IP_ADDRESS = 1005;
inline constexpr int IDC_SUBNET_MASK = 1006;
inline constexpr int IDC_GATEWAY = 1007;
inline constexpr int IDC_PORT = 1008;
inline constexpr int IDC_MA = 1010;
inline constexpr int IDC_READ = 1011;
inline constexpr int IDC_WRITE = 1012;
inline constexpr int IDC_SETT = 1013;
inline constexpr int IDC_MT = 1014;

}  // namespace netassign
