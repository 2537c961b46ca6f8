#pragma once

// String table of the library.
namespace lamplink {

inline constexpr int IDS_SOCKET_INIT_FAILED = 101;
inline constexpr const char* kSocketInitFailedText = "Windows 소켓 초기화에 실패하였습니다.";

}  // namespace lamplink
