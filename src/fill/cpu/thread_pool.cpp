#include "fill/cpu/thread_pool.h"

#include <algorithm>

#include "fill/cpu/thread_count.h"

#include <chrono>
#include <system_error>
#include <thread>

namespace pw {

namespace {

// How long a thread looks for what it waits for before it sleeps.
constexpr auto kSpin = std::chrono::microseconds(50);

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Polls `ready` for up to kSpin (not at all when `spin` is off); true when
// it turned true.
template <class Ready>
bool SpinFor(bool spin, const Ready& ready) {
  if (!spin) return ready();
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (int i = 1;; ++i) {
    if (ready()) return true;
    CpuRelax();
    if ((i & 63) == 0 && std::chrono::steady_clock::now() > until) return ready();
  }
}

}  // namespace

ThreadPool::ThreadPool(int threads)
    // More threads than usable CPUs would spin against each other for the
    // cores: they sleep at once instead, and only as many as there are
    // CPUs take part in the loops (waking the others for every loop would
    // cost more than they could give).
    : spin_(threads <= QueryUsableCpus().count),
      active_(std::max(1, std::min(threads, QueryUsableCpus().count))) {
  try {
    workers_.reserve(threads > 1 ? static_cast<size_t>(threads - 1) : 0);
    for (int i = 1; i < threads; ++i)
      workers_.emplace_back([this, i] { WorkerLoop(i); });
  } catch (const std::system_error& e) {
    // The helpers already started must end before the pool goes away.
    StopWorkers();
    throw std::system_error(e.code(), "cannot start a CPU worker thread");
  }
}

ThreadPool::~ThreadPool() { StopWorkers(); }

void ThreadPool::StopWorkers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    published_.fetch_add(1, std::memory_order_release);  // ends any spin
  }
  wake_.notify_all();
  idle_.notify_all();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
}

void ThreadPool::RunChunks(uint32_t loop, int chunks, const void* body,
                           Trampoline call, int worker) {
  uint64_t ticket = ticket_.load(std::memory_order_acquire);
  for (;;) {
    if (static_cast<uint32_t>(ticket >> 32) != loop) return;  // a later loop
    const int chunk = static_cast<int>(ticket & 0xFFFFFFFFu);
    if (chunk >= chunks) return;
    if (!ticket_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_acq_rel))
      continue;  // ticket now holds the current value
    call(body, chunk, worker);
    if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == chunks) {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_.notify_one();
    }
    ticket = ticket_.load(std::memory_order_acquire);
  }
}

void ThreadPool::WorkerLoop(int worker) {
  if (worker >= active_) {
    // A helper beyond the usable CPUs: it waits for the end alone.
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [&] { return stop_; });
    return;
  }
  uint32_t seen = 0;
  for (;;) {
    const void* body;
    Trampoline call;
    int chunks;
    uint32_t loop;
    SpinFor(spin_, [&] { return published_.load(std::memory_order_acquire) != seen; });
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || loop_ != seen; });
      if (stop_) return;
      seen = loop = loop_;
      body = body_;
      call = call_;
      chunks = chunks_;
    }
    // The loop may have ended already; then no chunk of it is left to take.
    RunChunks(loop, chunks, body, call, worker);
  }
}

void ThreadPool::Run(int chunks, const void* body, Trampoline call) {
  if (chunks <= 0) return;
  if (workers_.empty() || chunks == 1) {
    for (int c = 0; c < chunks; ++c) call(body, c, 0);
    return;
  }
  uint32_t loop;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loop = ++loop_;
    body_ = body;
    call_ = call;
    chunks_ = chunks;
    done_.store(0, std::memory_order_relaxed);
    ticket_.store(uint64_t{loop} << 32, std::memory_order_release);
    published_.store(loop, std::memory_order_release);
  }
  wake_.notify_all();
  RunChunks(loop, chunks, body, call, 0);
  if (SpinFor(spin_, [&] { return done_.load(std::memory_order_acquire) == chunks; }))
    return;
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [&] { return done_.load(std::memory_order_acquire) == chunks; });
}

}  // namespace pw
