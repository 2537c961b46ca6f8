#include "wait_cursor.h"

#include <windows.h>

namespace platform {

// The hourglass (IDC_WAIT) while a blocking exchange runs; the arrow
// (IDC_ARROW) again after.
CWaitCursor::CWaitCursor() { ::SetCursor(::LoadCursorW(nullptr, MAKEINTRESOURCEW(32514))); }

CWaitCursor::~CWaitCursor() { ::SetCursor(::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512))); }

}  // namespace platform
