#include "wait_cursor.h"

#include <QApplication>

namespace platform {

CWaitCursor::CWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }

CWaitCursor::~CWaitCursor() { QApplication::restoreOverrideCursor(); }

}  // namespace platform
