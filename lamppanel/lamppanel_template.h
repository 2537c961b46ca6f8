#pragma once

#include "dialogs/dialog_template.h"

namespace lamppanel {

extern const platform::DialogTemplate kLampPanelTemplate;

}  // namespace lamppanel
