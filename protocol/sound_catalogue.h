// The models the console drives and the five stored sounds of each.
#pragma once

#include <string>
#include <vector>

namespace protocol {

inline constexpr int kModelCount = 8;
inline constexpr int kSoundsPerModel = 5;

// The captions of the eight models, index 0 to 7: "Type-A" ... "Type-D(8)".
extern const char* const kModelNames[kModelCount];

// The 40 sound names, model-major: entry 5 * model + (sound - 1).
std::vector<std::string> MakeSoundNames();

// Sound 1 to 5 of a model, from those names; empty where the model or the
// sound is not one of the catalogue's (a unit may answer with any byte).
std::string SoundNameOf(const std::vector<std::string>& names, int model, int sound);

}  // namespace protocol
