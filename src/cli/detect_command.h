// `patchwell detect IMAGE -o MASK.png [--kinds dust,scratches]
// [--overlay PREVIEW.png] [--sensitivity S]`: writes the damage found in a
// picture as a mask file (white marks damage), and optionally the picture
// with the damage drawn over it, for review before a repair.
#pragma once

#include <string>
#include <vector>

namespace pw::cli {

// The arguments after "detect"; returns the exit status.
int RunDetect(const std::vector<std::string>& args);

// Reads "dust,scratches,infrared" (any of them) into detect::Kind flags;
// false with the reason in `error` for an unknown or empty name.
bool ParseDamageKinds(const std::string& text, unsigned& kinds, std::string& error);


}  // namespace pw::cli
