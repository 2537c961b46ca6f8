// The Qt widget that stands for each kind of dialog template control.
#pragma once

#include "dialog_template.h"

class QWidget;

namespace platform {

// Makes the widget of one template control, owned by `parent`; its place and
// tab order are the dialog's business.
QWidget* MakeControl(const DialogControl& control, QWidget* parent);

bool IsPushButton(ControlKind kind);
// Whether the kind of control can hold the keyboard focus at all.
bool TakesFocus(ControlKind kind);

}  // namespace platform
