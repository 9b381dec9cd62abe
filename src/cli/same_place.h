// Whether two file names lead to one place: one existing file (hard links
// and symbolic links included), or one path once links are followed, so
// that a run can refuse to write one of its files over another.
#pragma once

#include <string>

namespace pw::cli {

// True when a file written under `written` would replace the file read or
// written under `other`.
bool SamePlace(const std::string& written, const std::string& other);

}  // namespace pw::cli
