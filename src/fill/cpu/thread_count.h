// How many threads the CPU backend runs on: the count a caller sets, the
// PATCHWELL_NUM_THREADS variable, and the CPUs this process may use.
#pragma once

#include <string>

namespace pw {

// Threads the CPU backend uses: the count given to SetCpuThreadCount, else
// PATCHWELL_NUM_THREADS when it is a whole number above 0, else every core;
// never more than kMaxCpuThreads.
constexpr int kMaxCpuThreads = 256;
int CpuThreadCount();

// Sets the thread count of later runs; 0 returns to the default above.
void SetCpuThreadCount(int threads);

// The CPUs this process may use: the machine's cores, narrowed by the CPU
// affinity and the cgroup's CPU quota (rounded down, at least 1).
struct UsableCpus {
  int cores = 1;      // the machine's
  int count = 1;      // usable
  std::string limit;  // what narrowed them, empty when nothing did
};
UsableCpus QueryUsableCpus();

// The count given to SetCpuThreadCount, 0 when none is set.
int CpuThreadOverride();

// The count PATCHWELL_NUM_THREADS sets (read now), 0 when it is unset or
// not a whole number above 0.
int CpuThreadVariable();

// Reads a thread count ("4"); false for anything but a whole number above 0.
// Larger values than kMaxCpuThreads give kMaxCpuThreads.
bool ParseThreadCount(const char* text, int& threads);

}  // namespace pw
