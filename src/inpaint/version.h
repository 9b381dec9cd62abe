// The version text that the module's version() and the command-line tool
// report.
#pragma once

namespace pw {

inline constexpr const char* kVersionText = "Patchwell 1.0.2 (gpu)";

}  // namespace pw
