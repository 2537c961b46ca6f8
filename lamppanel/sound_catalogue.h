// The models the console drives and the five stored sounds of each.
#pragma once

#include <string>
#include <vector>

namespace lamppanel {

inline constexpr int kModelCount = 8;
inline constexpr int kSoundsPerModel = 5;

// The 40 sound names, model-major: entry 5 * model + (sound - 1).
std::vector<std::string> MakeSoundNames();

}  // namespace lamppanel
