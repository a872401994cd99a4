// Threads behind one small interface: POSIX threads, or CreateThread / WaitForSingleObject under
// _WIN32. A thread can be waited for with a time-out and asked whether it has ended.
#ifndef MDUMP_PLATFORM_THREAD_H
#define MDUMP_PLATFORM_THREAD_H

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

typedef int (*plat_thread_fn)(void *arg);

// Lives where the thread's owner keeps it (a session slot) and must stay in place until the
// thread has been waited for: the thread itself marks `ended` as its very last action.
struct plat_thread {
#if defined(_WIN32)
  HANDLE handle;
#else
  pthread_t handle;
#endif
  plat_thread_fn fn;
  void *arg;
  std::atomic<int> ended;
  int joined;
};

// Starts fn(arg) on a new thread with default attributes. Returns 0, or -1 when no thread could
// be created.
int plat_thread_start(plat_thread *t, plat_thread_fn fn, void *arg);

// Waits up to timeout_ms for the thread to end (0: just look). Returns 1 once it has ended and
// its resources are reclaimed, 0 if it still runs.
int plat_thread_wait(plat_thread *t, int timeout_ms);

// Releases the handle of a thread that plat_thread_wait reported ended.
void plat_thread_close(plat_thread *t);

void plat_sleep_ms(int ms);

#endif
