// Resource ids of the console: dialog template, controls, pictures, strings.
#pragma once

namespace lamppanel {

inline constexpr const char* kResourceModule = "lamppanel";  // where its resources are named

inline constexpr int IDD_LAMPPANEL_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;  // the icon

inline constexpr int IDC_EXIT = 1;
inline constexpr int IDC_LAMP_FIRST = 1000;   // 1000..1014: five rows of ON, ON/OFF, OFF
inline constexpr int IDC_SOUND_FIRST = 1015;  // 1015..1019: sounds 1 to 5
inline constexpr int IDC_SOUND_LAST = 1019;
inline constexpr int IDC_MODEL_FIRST = 1020;  // 1020..1027: Type-A .. Type-D(8)
inline constexpr int IDC_MODEL_LAST = 1027;
inline constexpr int IDC_STATUS = 1032;
inline constexpr int IDC_STAT_READ = 1033;
inline constexpr int IDC_RESET = 1034;
inline constexpr int IDC_SOUND_OFF = 1053;
inline constexpr int IDC_PORT = 1067;
inline constexpr int IDC_SOUND_LABEL_FIRST = 1068;  // 1068..1072: names of sounds 1 to 5
inline constexpr int IDC_UNIT_ADDRESS = 1073;

inline constexpr int IDB_LAMP_FIRST = 131;  // 131..145: the lamp buttons' pictures
inline constexpr int IDB_SOUND = 146;       // the loudspeaker

}  // namespace lamppanel
