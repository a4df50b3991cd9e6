// The lock kinds under test. Each is a small adapter around a library's own
// lock: init and fini around a run, lock and unlock around each element.
// A thread keeps what its lock needs of its own (a queue node, a scoped
// lock) in the kind's `local`, made once per thread by join().
#pragma once
#include <absl/synchronization/mutex.h>
#include <oneapi/tbb/mutex.h>
#include <oneapi/tbb/queuing_mutex.h>
#include <oneapi/tbb/spin_mutex.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ck.h"

// What most kinds share: they exclude, a thread needs nothing of its own,
// and setting up cannot fail. init returns 0 or the errno that says why this
// machine cannot make the lock.
struct kind {
  static constexpr bool excludes = true;
  struct local {};
  local join() { return {}; }
  int init() { return 0; }
  void fini() {}
};

// The default pthread mutex: the one spin_or_mutex measures.
struct mutex : kind {
  static constexpr const char* name = "mutex";
  pthread_mutex_t m;
  int init() { return pthread_mutex_init(&m, nullptr); }
  void fini() { pthread_mutex_destroy(&m); }
  void lock(local&) { pthread_mutex_lock(&m); }
  void unlock(local&) { pthread_mutex_unlock(&m); }
};

// A mutex made with one attribute set.
template <int (*set)(pthread_mutexattr_t*)>
struct mutex_with : mutex {
  int init() {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    int e = set(&a);
    if (e == 0) e = pthread_mutex_init(&m, &a);
    pthread_mutexattr_destroy(&a);
    return e;
  }
};

// glibc's adaptive mutex spins a bounded while before it sleeps.
inline int adaptive_type(pthread_mutexattr_t* a) {
  return pthread_mutexattr_settype(a, PTHREAD_MUTEX_ADAPTIVE_NP);
}
struct adaptive : mutex_with<adaptive_type> {
  static constexpr const char* name = "adaptive";
};

// Priority inheritance: every contended lock and unlock goes to the kernel,
// which hands the lock straight to a waiter.
inline int inherit(pthread_mutexattr_t* a) {
  return pthread_mutexattr_setprotocol(a, PTHREAD_PRIO_INHERIT);
}
struct pi_mutex : mutex_with<inherit> {
  static constexpr const char* name = "pi_mutex";
};

// A reader-writer lock taken for writing only.
struct rwlock : kind {
  static constexpr const char* name = "rwlock";
  pthread_rwlock_t l;
  int init() { return pthread_rwlock_init(&l, nullptr); }
  void fini() { pthread_rwlock_destroy(&l); }
  void lock(local&) { pthread_rwlock_wrlock(&l); }
  void unlock(local&) { pthread_rwlock_unlock(&l); }
};

// Spins until the lock is free and never sleeps.
struct spin : kind {
  static constexpr const char* name = "spin";
  pthread_spinlock_t s;
  int init() { return pthread_spin_init(&s, PTHREAD_PROCESS_PRIVATE); }
  void fini() { pthread_spin_destroy(&s); }
  void lock(local&) { pthread_spin_lock(&s); }
  void unlock(local&) { pthread_spin_unlock(&s); }
};

struct std_mutex : kind {
  static constexpr const char* name = "std_mutex";
  std::mutex m;
  void lock(local&) { m.lock(); }
  void unlock(local&) { m.unlock(); }
};

// Concurrency Kit's spinlocks (ck.h): test-and-set, the FIFO ticket lock,
// and the MCS and CLH queue locks, whose waiters each spin on a line of
// their own.
struct ck_lock : kind {
  void* l = nullptr;
  int make(const char* which) { return (l = ck_new(which)) ? 0 : ENOMEM; }
  void fini() { ck_free(l); }
};
struct ck_fas : ck_lock {
  static constexpr const char* name = "ck_fas";
  int init() { return make("fas"); }
  void lock(local&) { ck_fas_lock(l); }
  void unlock(local&) { ck_fas_unlock(l); }
};
struct ck_ticket : ck_lock {
  static constexpr const char* name = "ck_ticket";
  int init() { return make("ticket"); }
  void lock(local&) { ck_ticket_lock(l); }
  void unlock(local&) { ck_ticket_unlock(l); }
};
struct ck_queue : ck_lock {
  struct local {
    void* node;
  };
  local join() { return {ck_node(l)}; }
};
struct ck_mcs : ck_queue {
  static constexpr const char* name = "ck_mcs";
  int init() { return make("mcs"); }
  void lock(local& t) { ck_mcs_lock(l, t.node); }
  void unlock(local& t) { ck_mcs_unlock(l, t.node); }
};
struct ck_clh : ck_queue {
  static constexpr const char* name = "ck_clh";
  int init() { return make("clh"); }
  void lock(local& t) { ck_clh_lock(l, &t.node); }
  void unlock(local& t) { ck_clh_unlock(&t.node); }
};

// oneTBB: a test-and-test-and-set spinlock, a queue lock whose node is the
// scoped lock on the waiter's stack, and a mutex that spins, then waits.
struct tbb_spin : kind {
  static constexpr const char* name = "tbb_spin";
  oneapi::tbb::spin_mutex m;
  void lock(local&) { m.lock(); }
  void unlock(local&) { m.unlock(); }
};
struct tbb_queuing : kind {
  static constexpr const char* name = "tbb_queuing";
  struct local {
    oneapi::tbb::queuing_mutex::scoped_lock s;
  };
  local join() { return {}; }
  oneapi::tbb::queuing_mutex m;
  void lock(local& t) { t.s.acquire(m); }
  void unlock(local& t) { t.s.release(); }
};
struct tbb_mutex : kind {
  static constexpr const char* name = "tbb_mutex";
  oneapi::tbb::mutex m;
  void lock(local&) { m.lock(); }
  void unlock(local&) { m.unlock(); }
};

struct absl_mutex : kind {
  static constexpr const char* name = "absl_mutex";
  absl::Mutex m;
  void lock(local&) { m.Lock(); }
  void unlock(local&) { m.Unlock(); }
};

// Baseline: no lock at all, the sweep loop's own cost.
struct none : kind {
  static constexpr const char* name = "none";
  static constexpr bool excludes = false;
  void lock(local&) {}
  void unlock(local&) {}
};

// Baseline: one atomic exchange on a shared word per element. It moves one
// cache line between cores per step, as every lock handoff must, so no lock
// can be cheaper under contention.
struct atomic : kind {
  static constexpr const char* name = "atomic";
  static constexpr bool excludes = false;
  std::atomic<int> w{0};
  void lock(local&) { w.exchange(1, std::memory_order_acquire); }
  void unlock(local&) {}
};

// Every kind, in the order of the output: the benchmark cases and the tests
// both come from this list. ThreadSanitizer sees only synchronisation that
// was compiled with it: Concurrency Kit's is inline assembly, and Debian's
// abseil is built without it, so under TSan those kinds would be reported as
// racing whatever they do; they stay out of that build.
using kinds = std::tuple<mutex, adaptive, pi_mutex, rwlock, spin, std_mutex,
#ifndef __SANITIZE_THREAD__
                         ck_fas, ck_ticket, ck_mcs, ck_clh, absl_mutex,
#endif
                         tbb_spin, tbb_queuing, tbb_mutex, none, atomic>;

// Sets every library as a production build runs it, before any case, and
// says how: (context key, value) pairs for the record of the run.
std::vector<std::pair<std::string, std::string>> as_shipped();
