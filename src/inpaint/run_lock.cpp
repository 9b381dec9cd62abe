#include "inpaint/run_lock.h"

namespace pw {

std::mutex& InpaintRunMutex() {
  static std::mutex m;
  return m;
}

}  // namespace pw
