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
  if (env != nullptr && std::strcmp(env, "avx2") == 0) return SimdLevel::Avx2;
  return SimdLevel::Avx512;
}

}  // namespace

SimdLevel DetectedSimdLevel() {
#if defined(__x86_64__) || defined(__i386__)
  static const SimdLevel detected =
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512f") &&
              __builtin_cpu_supports("avx512vl")
          ? SimdLevel::Avx512
      : __builtin_cpu_supports("avx2") ? SimdLevel::Avx2
                                       : SimdLevel::Scalar;
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
  switch (level) {
    case SimdLevel::Avx512: return "avx512";
    case SimdLevel::Avx2: return "avx2";
    case SimdLevel::Scalar: break;
  }
  return "scalar";
}

}  // namespace pw
