// The version text that the module's version() and the command-line tool
// report. PATCHWELL_VERSION comes from the build, which reads it from
// pyproject.toml.
#pragma once

#ifndef PATCHWELL_VERSION
#error "PATCHWELL_VERSION must be defined by the build"
#endif

namespace pw {

inline constexpr const char* kVersionText = "Patchwell " PATCHWELL_VERSION " (gpu)";

}  // namespace pw
