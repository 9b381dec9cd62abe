#include "inpaint/run_lock.h"

#include <pthread.h>

namespace pw {
namespace {

std::mutex* g_run_mutex = nullptr;
std::once_flag g_once;

// A held mutex cannot be unlocked by another thread; the child takes a new
// one and leaves the old one behind.
void RenewInChild() { g_run_mutex = new std::mutex; }

}  // namespace

std::mutex& InpaintRunMutex() {
  std::call_once(g_once, [] {
    g_run_mutex = new std::mutex;
    pthread_atfork(nullptr, nullptr, RenewInChild);
  });
  return *g_run_mutex;
}

}  // namespace pw
