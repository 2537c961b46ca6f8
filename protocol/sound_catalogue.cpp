#include "sound_catalogue.h"

namespace protocol {

const char* const kModelNames[kModelCount] = {"Type-A", "Type-B", "Type-C(1)", "Type-D(1)",
                                              "Type-E", "Type-F", "Type-C(8)", "Type-D(8)"};

// clang-format off
const char* const kSoundNames[kModelCount][kSoundsPerModel] = {
    // 0 Type-A
    {"Fire A-WANG", "Emergency", "Ambulance", "PI-PI-PI  ", "PI_contiune"},
    // 1 Type-B
    {"Fire A_WANG", "Abandon Alarm", "PI-PI-PI", "PI_contiune", "General Alarm"},
    // 2 Type-C(1)
    {"Sweet Home", "For Elise", "Cukoos Waltaz", "Piano Sonata", "Turkish March"},
    // 3 Type-D(1)
    {"Beep_intermittent", "Door Chime", "Phone Ring   ", "PI-PI-PI", "Tripping Bead"},
    // 4 Type-E
    {"PI --  --  --", "PI -- - -- - --", "PI -- - - -- -", "PI - - - - -", "PI ----------"},
    // 5 Type-F
    {"PI --  --  --", "PI -- - -- - --", "PI -- - - -- -", "PI - - - - -", "PI ----------"},
    // 6 Type-C(8)
    {"Sweet Home", "For Elise", "Cukoos Waltaz", "Piano Sonata", "Turkish March"},
    // 7 Type-D(8)
    {"Beep_intermittent", "Door Chime", "Phon Ring   ", "PI-PI-PI", "Tripping Bead"},
};
// clang-format on

std::vector<std::string> MakeSoundNames() {
  std::vector<std::string> names;
  for (const auto& model : kSoundNames)
    names.insert(names.end(), std::begin(model), std::end(model));
  return names;
}

std::string_view SoundNameOf(int model, int sound) {
  if (model < 0 || model >= kModelCount || sound < 1 || sound > kSoundsPerModel) return "";
  return kSoundNames[model][sound - 1];
}

}  // namespace protocol
