#pragma once

#include "dialogs/dialog_template.h"

namespace netassign {

extern const platform::DialogTemplate kNetAssignTemplate;

}  // namespace netassign
