// A loop over chunks that one thread owns and runs, and that other threads
// with nothing else to do may join. Targets filled side by side each search
// on a thread of their own; when the next targets all wait for the one
// being searched, the idle thread takes chunks of that search instead of
// sleeping. Chunks are claimed one at a time, so the owner waits only for a
// chunk a helper has actually started.
//
// The loop number and the next chunk share one atomic word: a helper's
// claim succeeds only while the loop it read is still the current one, and
// the owner closes a finished loop before it publishes the next, so no
// helper ever runs a chunk of a loop with another loop's body.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace pw {

class SharedLoop {
 public:
  // Runs body(chunk) for every chunk in [0, chunks) on this thread and on
  // any helper that joins; returns when every chunk is done. The body must
  // not throw.
  template <class Body>
  void Run(int chunks, const Body& body) {
    const uint64_t loop = Publish(chunks, &body, [](const void* b, int chunk) {
      (*static_cast<const Body*>(b))(chunk);
    });
    RunChunks(loop);
    for (int spins = 0; done_.load(std::memory_order_acquire) != chunks; ++spins) {
      Relax();
      // A helper that lost its core mid-chunk: give it the core back.
      if ((spins & 1023) == 1023) std::this_thread::yield();
    }
  }

  // Runs chunks of the current loop while any is left; false when it found
  // none to run.
  bool Help() { return RunChunks(ticket_.load(std::memory_order_acquire) >> kChunkBits); }

 private:
  using Trampoline = void (*)(const void* body, int chunk);
  static constexpr int kChunkBits = 24;
  static constexpr uint64_t kChunkMask = (uint64_t{1} << kChunkBits) - 1;
  static constexpr uint64_t kClosed = kChunkMask;  // no chunk to claim

  uint64_t Publish(int chunks, const void* body, Trampoline call) {
    const uint64_t loop = (ticket_.load(std::memory_order_relaxed) >> kChunkBits) + 1;
    // Closed first: a helper still holding the last loop's ticket can no
    // longer claim, whatever body it reads from now on.
    // The fields are released and acquired: a helper that reads any of the
    // new values also sees the close, and its claim on the old loop fails.
    ticket_.store(loop << kChunkBits | kClosed, std::memory_order_relaxed);
    body_.store(body, std::memory_order_release);
    call_.store(call, std::memory_order_release);
    chunks_.store(chunks, std::memory_order_release);
    done_.store(0, std::memory_order_relaxed);
    ticket_.store(loop << kChunkBits, std::memory_order_release);
    return loop;
  }

  // Claims and runs chunks of `loop` while it is current and has any left.
  bool RunChunks(uint64_t loop) {
    bool ran = false;
    uint64_t ticket = ticket_.load(std::memory_order_acquire);
    for (;;) {
      if ((ticket >> kChunkBits) != loop || (ticket & kChunkMask) == kClosed) return ran;
      const void* body = body_.load(std::memory_order_acquire);
      const Trampoline call = call_.load(std::memory_order_acquire);
      const int chunk = static_cast<int>(ticket & kChunkMask);
      if (chunk >= chunks_.load(std::memory_order_acquire)) return ran;
      // Fails when the ticket moved on: then `ticket` holds its new value.
      if (!ticket_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_acq_rel)) continue;
      call(body, chunk);
      done_.fetch_add(1, std::memory_order_release);
      ran = true;
      ticket = ticket_.load(std::memory_order_acquire);
    }
  }

  static void Relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  std::atomic<uint64_t> ticket_{kClosed};  // loop << kChunkBits | next chunk
  std::atomic<const void*> body_{nullptr};
  std::atomic<Trampoline> call_{nullptr};
  std::atomic<int> chunks_{0};
  std::atomic<int> done_{0};
};

}  // namespace pw
