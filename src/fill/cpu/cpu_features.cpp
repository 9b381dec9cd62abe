#include "fill/cpu/cpu_features.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace pw {

namespace {

std::atomic<int> g_limit{-1};

SimdLevel EnvironmentLimit() {
  const char* env = std::getenv("PATCHWELL_SIMD");
  if (env != nullptr && std::strcmp(env, "scalar") == 0) return SimdLevel::Scalar;
  return SimdLevel::Avx2;
}

}  // namespace

SimdLevel DetectedSimdLevel() {
#if defined(__x86_64__) || defined(__i386__)
  static const SimdLevel detected =
      __builtin_cpu_supports("avx2") ? SimdLevel::Avx2 : SimdLevel::Scalar;
  return detected;
#else
  return SimdLevel::Scalar;
#endif
}

SimdLevel ActiveSimdLevel() {
  int level = static_cast<int>(DetectedSimdLevel());
  const int env = static_cast<int>(EnvironmentLimit());
  if (env < level) level = env;
  const int limit = g_limit.load();
  if (limit >= 0 && limit < level) level = limit;
  return static_cast<SimdLevel>(level);
}

void LimitSimdLevel(SimdLevel limit) { g_limit.store(static_cast<int>(limit)); }

const char* SimdLevelName(SimdLevel level) {
  return level == SimdLevel::Avx2 ? "avx2" : "scalar";
}

}  // namespace pw
