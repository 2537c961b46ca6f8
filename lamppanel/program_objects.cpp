// Apart from the application object (lamppanel_app.cpp), so that tests and
// tools get the dialog's program-wide objects without the program itself.
// The program links its own object file first, so the application object
// is still built before these.
#include "program_objects.h"

#include "protocol/sound_catalogue.h"

namespace lamppanel {

// Built in this order.
const std::vector<std::string> soundNames = protocol::MakeSoundNames();
std::array<platform::CBitmap, kButtonCount> buttonBitmaps;

}  // namespace lamppanel
