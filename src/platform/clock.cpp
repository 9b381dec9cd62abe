#include "platform/clock.h"

#include <chrono>

namespace pw {

uint32_t TickCountMs() {
  using namespace std::chrono;
  const auto ms =
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch());
  return static_cast<uint32_t>(ms.count());
}

}  // namespace pw
