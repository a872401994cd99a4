// POSIX and Windows implementations of the thread layer.
#include "platform/thread.h"

#if !defined(_WIN32)
#include <time.h>
#endif

namespace {

#if defined(_WIN32)
DWORD WINAPI trampoline(LPVOID p) {
#else
void *trampoline(void *p) {
#endif
  plat_thread *t = static_cast<plat_thread *>(p);
  t->fn(t->arg);
  t->ended.store(1, std::memory_order_release);
#if defined(_WIN32)
  return 0;
#else
  return nullptr;
#endif
}

}  // namespace

void plat_sleep_ms(int ms) {
#if defined(_WIN32)
  Sleep(static_cast<DWORD>(ms));
#else
  timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
#endif
}

int plat_thread_start(plat_thread *t, plat_thread_fn fn, void *arg) {
  t->fn = fn;
  t->arg = arg;
  t->ended.store(0, std::memory_order_relaxed);
  t->joined = 0;
#if defined(_WIN32)
  t->handle = CreateThread(nullptr, 0, trampoline, t, 0, nullptr);
  return t->handle != nullptr ? 0 : -1;
#else
  return pthread_create(&t->handle, nullptr, trampoline, t) == 0 ? 0 : -1;
#endif
}

int plat_thread_wait(plat_thread *t, int timeout_ms) {
  if (t->joined) return 1;
#if defined(_WIN32)
  if (WaitForSingleObject(t->handle, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) return 0;
#else
  // pthreads has no portable timed join: watch the flag the thread sets as it leaves, then join,
  // which then returns at once.
  for (int waited = 0; t->ended.load(std::memory_order_acquire) == 0; waited += 5) {
    if (waited >= timeout_ms) return 0;
    plat_sleep_ms(5);
  }
  pthread_join(t->handle, nullptr);
#endif
  t->joined = 1;
  return 1;
}

void plat_thread_close(plat_thread *t) {
#if defined(_WIN32)
  if (t->handle != nullptr) CloseHandle(t->handle);
  t->handle = nullptr;
#else
  (void)t;  // joining released everything
#endif
}
