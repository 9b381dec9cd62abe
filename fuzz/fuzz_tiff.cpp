// libFuzzer target: the tiff reader.
#include "fuzz_load.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzLoad(data, size, Common::ImageFormat::Tiff);
}
