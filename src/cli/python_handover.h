// `patchwell batch ...` is written in Python (the module patchwell.batch);
// the native command hands it to the interpreter of its own installation.
#pragma once

#include <string>
#include <vector>

namespace pw::cli {

// The interpreter to run: $PATCHWELL_PYTHON when set, else python3 or
// python in the folder of `executable` (where pip installs both). Empty
// when there is none; `looked_for` then says where it looked.
std::string FindInstallationPython(const std::string& executable,
                                   std::string& looked_for);

// Replaces the process with `PYTHON -m patchwell.batch ARGS...`. Returns
// only when that cannot be done, with the exit status, after printing why.
int HandOverToPython(const std::vector<std::string>& args);

}  // namespace pw::cli
