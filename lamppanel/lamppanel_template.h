#pragma once

#include "dialog_template.h"

namespace lamppanel {

extern const platform::DialogTemplate kLampPanelTemplate;

}  // namespace lamppanel
