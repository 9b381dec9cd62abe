// How many threads the CPU backend runs: set by the program, else the
// PATCHWELL_NUM_THREADS environment variable, else every core the process
// may use (its CPU affinity and its cgroup's CPU quota). Batch workers
// and cluster workers share a machine's cores by setting it.
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "fill/cpu/thread_count.h"

namespace pw {
namespace {

std::atomic<int> g_thread_override{0};  // 0: not set

// The first line of a small file, or nothing.
std::string FirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// CPUs a cgroup's quota allows (quota over period, rounded down, at least
// 1); 0 when there is no quota. cgroup v2 first, then v1.
int CgroupQuotaCpus() {
  long long quota = -1, period = 0;
  std::istringstream v2(FirstLine("/sys/fs/cgroup/cpu.max"));
  std::string quota_text;
  if (v2 >> quota_text >> period && quota_text != "max") {
    quota = std::atoll(quota_text.c_str());
  } else if (quota_text.empty()) {
    quota = std::atoll(FirstLine("/sys/fs/cgroup/cpu/cpu.cfs_quota_us").c_str());
    period = std::atoll(FirstLine("/sys/fs/cgroup/cpu/cpu.cfs_period_us").c_str());
    if (quota == 0) quota = -1;
  }
  if (quota <= 0 || period <= 0) return 0;
  return static_cast<int>(std::max(1LL, quota / period));
}

}  // namespace

UsableCpus QueryUsableCpus() {
  UsableCpus u;
  const unsigned n = std::thread::hardware_concurrency();
  u.cores = n == 0 ? 1 : static_cast<int>(n);
  u.count = u.cores;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int allowed = CPU_COUNT(&set);
    if (allowed > 0 && allowed < u.count) {
      u.count = allowed;
      u.limit = "CPU affinity";
    }
  }
  const int quota = CgroupQuotaCpus();
  if (quota > 0 && quota < u.count) {
    u.count = quota;
    u.limit = "cgroup CPU quota";
  }
  return u;
}

namespace {

int AllCores() { return std::min(QueryUsableCpus().count, kMaxCpuThreads); }

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
