#include "fill/cpu/thread_pool.h"

#include <system_error>

namespace pw {

ThreadPool::ThreadPool(int threads) {
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
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
}

void ThreadPool::RunChunks(int worker) {
  for (;;) {
    const int chunk = next_chunk_.fetch_add(1, std::memory_order_relaxed);
    if (chunk >= chunks_) break;
    call_(body_, chunk, worker);
  }
}

void ThreadPool::WorkerLoop(int worker) {
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
    }
    RunChunks(worker);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) finished_.notify_one();
    }
  }
}

void ThreadPool::Run(int chunks, const void* body, Trampoline call) {
  if (chunks <= 0) return;
  if (workers_.empty() || chunks == 1) {
    for (int c = 0; c < chunks; ++c) call(body, c, 0);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    body_ = body;
    call_ = call;
    chunks_ = chunks;
    next_chunk_.store(0, std::memory_order_relaxed);
    busy_ = static_cast<int>(workers_.size());
    ++generation_;
  }
  wake_.notify_all();
  RunChunks(0);
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [&] { return busy_ == 0; });
  body_ = nullptr;
}

}  // namespace pw
