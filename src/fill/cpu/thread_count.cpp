// How many threads the CPU backend runs: set by the program, else the
// PATCHWELL_NUM_THREADS environment variable, else every core. Batch workers
// and cluster workers share a machine's cores by setting it.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "fill/engine.h"

namespace pw {
namespace {

std::atomic<int> g_thread_override{0};  // 0: not set

int AllCores() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(std::min(n, 256u));
}

}  // namespace

bool ParseThreadCount(const char* text, int& threads) {
  if (text == nullptr || *text == '\0') return false;
  long long value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = std::min(value * 10 + (*p - '0'), 1000000LL);
  }
  if (value < 1) return false;
  threads = static_cast<int>(std::min<long long>(value, kMaxCpuThreads));
  return true;
}

int CpuThreadVariable() {
  int threads = 0;
  return ParseThreadCount(std::getenv("PATCHWELL_NUM_THREADS"), threads) ? threads : 0;
}

int CpuThreadCount() {
  const int set = g_thread_override.load(std::memory_order_relaxed);
  if (set > 0) return set;
  // Read at every run, so that a change of the variable counts from the
  // next run on; a value that is not a whole number above 0 is ignored.
  const int variable = CpuThreadVariable();
  return variable > 0 ? variable : AllCores();
}

int CpuThreadOverride() {
  return g_thread_override.load(std::memory_order_relaxed);
}

void SetCpuThreadCount(int threads) {
  g_thread_override.store(std::clamp(threads, 0, kMaxCpuThreads),
                          std::memory_order_relaxed);
}

}  // namespace pw
