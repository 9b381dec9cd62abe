// The C source array (".CPP", ".CXX"), written only: the samples as a
// `const unsigned char ___image [w * h * c]` initialiser, one line per row.
#pragma once

#include <cstdio>

#include "image/image.h"

namespace Common {

// False when the stream reports an error.
bool WriteCArray(const CImage& image, FILE* stream);

}  // namespace Common
