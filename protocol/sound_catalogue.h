// The models the console drives and the five stored sounds of each.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace protocol {

inline constexpr int kModelCount = 8;
inline constexpr int kSoundsPerModel = 5;

// The captions of the eight models, index 0 to 7: "Type-A" ... "Type-D(8)".
extern const char* const kModelNames[kModelCount];

// The 40 sound names, one model a row, sound 1 to 5. The texts are exact,
// trailing blanks included.
extern const char* const kSoundNames[kModelCount][kSoundsPerModel];

// The same names as one list, model-major: entry 5 * model + (sound - 1).
std::vector<std::string> MakeSoundNames();

// Sound 1 to 5 of a model; empty where the model or the sound is not one
// of the catalogue's (a unit may answer with any byte).
std::string_view SoundNameOf(int model, int sound);

}  // namespace protocol
