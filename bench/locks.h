// The lock kinds under test. Each is a small adapter around the platform's
// own lock: init and fini around a run, lock and unlock around each element.
#pragma once
#include <pthread.h>

#include <atomic>
#include <mutex>

// The default pthread mutex: the one spin_or_mutex measures.
struct mutex {
  static constexpr bool excludes = true;
  pthread_mutex_t m;
  void init() { pthread_mutex_init(&m, nullptr); }
  void fini() { pthread_mutex_destroy(&m); }
  void lock() { pthread_mutex_lock(&m); }
  void unlock() { pthread_mutex_unlock(&m); }
};

// glibc's adaptive mutex spins a bounded while before it sleeps.
struct adaptive : mutex {
  void init() {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&m, &a);
    pthread_mutexattr_destroy(&a);
  }
};

// Spins until the lock is free and never sleeps.
struct spin {
  static constexpr bool excludes = true;
  pthread_spinlock_t s;
  void init() { pthread_spin_init(&s, PTHREAD_PROCESS_PRIVATE); }
  void fini() { pthread_spin_destroy(&s); }
  void lock() { pthread_spin_lock(&s); }
  void unlock() { pthread_spin_unlock(&s); }
};

struct std_mutex {
  static constexpr bool excludes = true;
  std::mutex m;
  void init() {}
  void fini() {}
  void lock() { m.lock(); }
  void unlock() { m.unlock(); }
};

// Baseline: no lock at all, the sweep loop's own cost.
struct none {
  static constexpr bool excludes = false;
  void init() {}
  void fini() {}
  void lock() {}
  void unlock() {}
};

// Baseline: one atomic exchange on a shared word per element. It moves one
// cache line between cores per step, as every lock handoff must, so no lock
// can be cheaper under contention.
struct atomic {
  static constexpr bool excludes = false;
  std::atomic<int> w{0};
  void init() {}
  void fini() {}
  void lock() { w.exchange(1, std::memory_order_acquire); }
  void unlock() {}
};
