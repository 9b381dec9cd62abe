/* Preloaded (LD_PRELOAD) by the tests of what a run does when it cannot
 * start its threads, as under a process limit: pthread_create fails with
 * EAGAIN once the allowed number of starts is used up. The environment
 * variable PW_THREAD_STARTS_ALLOWED sets that number at process start;
 * pw_fail_thread_starts_after(n) sets it later (-1: no failures). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*),
                         void*);

static atomic_int allowed = -2; /* -2: not read from the environment yet */

void pw_fail_thread_starts_after(int n) { atomic_store(&allowed, n); }

int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                   void* (*start)(void*), void* arg) {
  static create_fn real = NULL;
  if (real == NULL) real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
  int expected = -2;
  const char* env = getenv("PW_THREAD_STARTS_ALLOWED");
  atomic_compare_exchange_strong(&allowed, &expected, env ? atoi(env) : -1);
  for (;;) {
    int n = atomic_load(&allowed);
    if (n < 0) break;
    if (n == 0) return EAGAIN;
    if (atomic_compare_exchange_weak(&allowed, &n, n - 1)) break;
  }
  return real(thread, attr, start, arg);
}
