// A small fork-join pool for the CPU backend: the calling thread and
// (threads - 1) helpers share the chunks of one parallel loop at a time.
// No allocation happens per loop. The caller waits only for chunks that a
// helper has taken: on a busy machine, a helper that is not scheduled in
// time simply finds no chunk left. Between loops a helper keeps looking for
// the next one for a short while before it sleeps: the loops of a run (one
// per target) follow each other within microseconds, and waking a sleeping
// thread takes longer than a small loop lasts. A pool with more threads
// than the process has usable CPUs never spins, and runs its loops on as
// many threads as there are usable CPUs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace pw {

class ThreadPool {
 public:
  // Throws std::system_error when a helper thread cannot be started (the
  // ones already started are ended first).
  explicit ThreadPool(int threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int size() const { return static_cast<int>(workers_.size()) + 1; }
  // The threads that take part in loops: no more than the usable CPUs.
  // A loop's `worker` numbers stay below this.
  int active() const { return active_; }
  // Whether its threads may poll for work before they sleep (each has a
  // CPU of its own).
  bool spins() const { return spin_; }

  // Runs body(chunk, worker) for every chunk in [0, chunks), spread over all
  // threads; worker is in [0, size()). Returns when every chunk is done.
  // The body must not throw. Nothing is allocated per call.
  template <class Body>
  void ParallelFor(int chunks, const Body& body) {
    Run(chunks, &body, [](const void* b, int chunk, int worker) {
      (*static_cast<const Body*>(b))(chunk, worker);
    });
  }

 private:
  using Trampoline = void (*)(const void* body, int chunk, int worker);
  void Run(int chunks, const void* body, Trampoline call);
  void WorkerLoop(int worker);
  // Runs chunks of loop `loop` while any is left to take.
  void RunChunks(uint32_t loop, int chunks, const void* body, Trampoline call,
                 int worker);
  void StopWorkers();

  const bool spin_;  // look before sleeping: only with a core per thread
  const int active_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;  // helpers beyond active_ wait here
  std::condition_variable finished_;
  // The current loop, published under mutex_.
  const void* body_ = nullptr;
  Trampoline call_ = nullptr;
  int chunks_ = 0;
  uint32_t loop_ = 0;
  bool stop_ = false;
  // The loop number (high half) and the next chunk to take (low half): a
  // chunk is taken only while its loop is still the current one.
  std::atomic<uint64_t> ticket_{0};
  std::atomic<int> done_{0};  // chunks of the current loop finished
  std::atomic<uint32_t> published_{0};  // loop_, for helpers that look
};

}  // namespace pw
