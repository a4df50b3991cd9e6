// The lock kinds under test. Each is a small adapter around a library's own
// lock: init and fini around a run, lock and unlock around each element.
// A thread keeps what its lock needs of its own (a queue node, a scoped
// lock) in the kind's `local`, made once per thread by join(). A kind that
// can be shared says so, and has lock_shared and unlock_shared for readers;
// the others take their one lock for reads too. init(true) makes the lock
// for processes that share the memory it is in; a kind that cannot work
// across processes says why in `one_process`.
#pragma once
#include <absl/synchronization/mutex.h>
#include <oneapi/tbb/mutex.h>
#include <oneapi/tbb/queuing_mutex.h>
#include <oneapi/tbb/queuing_rw_mutex.h>
#include <oneapi/tbb/rw_mutex.h>
#include <oneapi/tbb/spin_mutex.h>
#include <oneapi/tbb/spin_rw_mutex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ck.h"
#include "clock.h"

// What most kinds share: they exclude, readers take the lock as writers do,
// a thread needs nothing of its own, setting up cannot fail, the lock holds
// nothing that belongs to one process, and it is not robust. init returns 0
// or the errno that says why this machine cannot make the lock.
struct kind {
  static constexpr bool excludes = true;
  static constexpr bool shares = false;
  static constexpr const char* one_process = nullptr;
  static constexpr bool recovers = false;  // from an owner's death: robust
  struct local {};
  local join() { return {}; }
  int init(bool = false) { return 0; }
  void fini() {}
};

// A pthread mutex made with the attribute that `set` sets, and across
// processes, shared (glibc then waits on futexes the kernel finds by their
// physical page, not by the process's address).
template <int (*set)(pthread_mutexattr_t*)>
struct mutex_with : kind {
  pthread_mutex_t m;
  int init(bool across = false) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    int e = set(&a);
    if (e == 0 && across) e = pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    if (e == 0) e = pthread_mutex_init(&m, &a);
    pthread_mutexattr_destroy(&a);
    return e;
  }
  void fini() { pthread_mutex_destroy(&m); }
  void lock(local&) { pthread_mutex_lock(&m); }
  void unlock(local&) { pthread_mutex_unlock(&m); }
};

// The default pthread mutex: the one spin_or_mutex measures.
inline int no_attribute(pthread_mutexattr_t*) { return 0; }
struct mutex : mutex_with<no_attribute> {
  static constexpr const char* name = "mutex";
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

// A robust mutex: when its owner dies holding it, the next lock returns
// EOWNERDEAD with the lock taken. That owner makes it consistent (else the
// lock is lost to every later caller) and notes when, by the steady clock.
inline int robust_attribute(pthread_mutexattr_t* a) {
  return pthread_mutexattr_setrobust(a, PTHREAD_MUTEX_ROBUST);
}
struct robust : mutex_with<robust_attribute> {
  static constexpr const char* name = "robust";
  static constexpr bool recovers = true;
  std::atomic<long long> recovered_ns{0};
  // Where the kernel keeps no list of a thread's robust locks (an emulator
  // such as qemu-user), glibc makes the lock all the same, but no owner's
  // death would ever be noticed: ENOTSUP.
  int init(bool across = false) {
    void* head;
    std::size_t size;
    if (syscall(SYS_get_robust_list, 0, &head, &size) != 0 && errno == ENOSYS) return ENOTSUP;
    return mutex_with::init(across);
  }
  void lock(local&) {
    if (pthread_mutex_lock(&m) != EOWNERDEAD) return;
    pthread_mutex_consistent(&m);
    recovered_ns = steady_ns();
  }
};

// glibc's reader-writer lock. By default it prefers readers: a new reader
// enters while others read, though a writer waits, so a steady stream of
// readers can keep a writer out.
template <int (*set)(pthread_rwlockattr_t*)>
struct rwlock_with : kind {
  static constexpr bool shares = true;
  pthread_rwlock_t l;
  int init(bool across = false) {
    pthread_rwlockattr_t a;
    pthread_rwlockattr_init(&a);
    int e = set(&a);
    if (e == 0 && across) e = pthread_rwlockattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    if (e == 0) e = pthread_rwlock_init(&l, &a);
    pthread_rwlockattr_destroy(&a);
    return e;
  }
  void fini() { pthread_rwlock_destroy(&l); }
  void lock(local&) { pthread_rwlock_wrlock(&l); }
  void unlock(local&) { pthread_rwlock_unlock(&l); }
  void lock_shared(local&) { pthread_rwlock_rdlock(&l); }
  void unlock_shared(local&) { pthread_rwlock_unlock(&l); }
};
inline int no_attribute(pthread_rwlockattr_t*) { return 0; }
struct rwlock : rwlock_with<no_attribute> {
  static constexpr const char* name = "rwlock";
};

// The same lock preferring writers: a reader waits while a writer does.
// (glibc's PREFER_WRITER_NP is a no-op; the NONRECURSIVE one, which
// forbids a thread to take the read lock twice, is what prefers writers.)
inline int writers_first(pthread_rwlockattr_t* a) {
  return pthread_rwlockattr_setkind_np(a, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
}
struct rwlock_writer : rwlock_with<writers_first> {
  static constexpr const char* name = "rwlock_writer";
};

// A lock with the standard's four calls for exclusive and shared use.
template <class M>
struct standard_shared : kind {
  static constexpr bool shares = true;
  M m;
  void lock(local&) { m.lock(); }
  void unlock(local&) { m.unlock(); }
  void lock_shared(local&) { m.lock_shared(); }
  void unlock_shared(local&) { m.unlock_shared(); }
};

// libstdc++ builds std::shared_mutex on the default pthread_rwlock_t.
struct shared_mutex : standard_shared<std::shared_mutex> {
  static constexpr const char* name = "shared_mutex";
  static constexpr const char* one_process =
      "std::shared_mutex is made private to one process, with no way to share it";
};

// Spins until the lock is free and never sleeps.
struct spin : kind {
  static constexpr const char* name = "spin";
  pthread_spinlock_t s;
  int init(bool across = false) {
    return pthread_spin_init(&s, across ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
  }
  void fini() { pthread_spin_destroy(&s); }
  void lock(local&) { pthread_spin_lock(&s); }
  void unlock(local&) { pthread_spin_unlock(&s); }
};

struct std_mutex : kind {
  static constexpr const char* name = "std_mutex";
  static constexpr const char* one_process =
      "std::mutex is made private to one process, with no way to share it";
  std::mutex m;
  void lock(local&) { m.lock(); }
  void unlock(local&) { m.unlock(); }
};

// Why a queue lock works in one process only.
constexpr const char* queue_nodes =
    "its waiters link queue nodes that are in each process's own memory";

// Concurrency Kit's spinlocks (ck.h): test-and-set, the FIFO ticket lock,
// and the MCS and CLH queue locks, whose waiters each spin on a line of
// their own. The lock is made in place: all of it is integers, so it works
// across processes; the queue locks' nodes are not.
struct ck_lock : kind {
  alignas(64) unsigned char l[CK_ROOM];
  int make(const char* which) { return ck_init(l, which) ? ENOMEM : 0; }
  void fini() { ck_fini(l); }
};
struct ck_fas : ck_lock {
  static constexpr const char* name = "ck_fas";
  int init(bool = false) { return make("fas"); }
  void lock(local&) { ck_fas_lock(l); }
  void unlock(local&) { ck_fas_unlock(l); }
};
struct ck_ticket : ck_lock {
  static constexpr const char* name = "ck_ticket";
  int init(bool = false) { return make("ticket"); }
  void lock(local&) { ck_ticket_lock(l); }
  void unlock(local&) { ck_ticket_unlock(l); }
};
struct ck_queue : ck_lock {
  static constexpr const char* one_process = queue_nodes;
  struct local {
    void* node;
  };
  local join() { return {ck_node(l)}; }
};
struct ck_mcs : ck_queue {
  static constexpr const char* name = "ck_mcs";
  int init(bool = false) { return make("mcs"); }
  void lock(local& t) { ck_mcs_lock(l, t.node); }
  void unlock(local& t) { ck_mcs_unlock(l, t.node); }
};
struct ck_clh : ck_queue {
  static constexpr const char* name = "ck_clh";
  int init(bool = false) { return make("clh"); }
  void lock(local& t) { ck_clh_lock(l, &t.node); }
  void unlock(local& t) { ck_clh_unlock(&t.node); }
};

// Concurrency Kit's reader-writer spinlocks: ck_rwlock prefers writers (a
// writer's flag turns new readers away, then it waits for the readers
// inside); the phase-fair lock alternates reader and writer phases, so
// neither side waits more than one phase of the other; the task-fair lock
// serves readers and writers in the order they came, by ticket.
template <void (*write)(void*), void (*write_done)(void*), void (*read)(void*),
          void (*read_done)(void*)>
struct ck_shared : ck_lock {
  static constexpr bool shares = true;
  void lock(local&) { write(l); }
  void unlock(local&) { write_done(l); }
  void lock_shared(local&) { read(l); }
  void unlock_shared(local&) { read_done(l); }
};
struct ck_rw : ck_shared<ck_rw_write_lock, ck_rw_write_unlock, ck_rw_read_lock, ck_rw_read_unlock> {
  static constexpr const char* name = "ck_rw";
  int init(bool = false) { return make("rw"); }
};
struct ck_pflock
    : ck_shared<ck_pf_write_lock, ck_pf_write_unlock, ck_pf_read_lock, ck_pf_read_unlock> {
  static constexpr const char* name = "ck_pflock";
  int init(bool = false) { return make("pf"); }
};
struct ck_tflock
    : ck_shared<ck_tf_write_lock, ck_tf_write_unlock, ck_tf_read_lock, ck_tf_read_unlock> {
  static constexpr const char* name = "ck_tflock";
  int init(bool = false) { return make("tf"); }
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
  static constexpr const char* one_process = queue_nodes;
  struct local {
    oneapi::tbb::queuing_mutex::scoped_lock s;
  };
  local join() { return {}; }
  oneapi::tbb::queuing_mutex m;
  void lock(local& t) { t.s.acquire(m); }
  void unlock(local& t) { t.s.release(); }
};
// A sleeper waits in a table that libtbb keeps in each process: a wakeup
// from another process finds nobody.
constexpr const char* tbb_sleeps =
    "its sleepers wait in a table that libtbb keeps in each process, so a wakeup from another "
    "process is lost";
struct tbb_mutex : kind {
  static constexpr const char* name = "tbb_mutex";
  static constexpr const char* one_process = tbb_sleeps;
  oneapi::tbb::mutex m;
  void lock(local&) { m.lock(); }
  void unlock(local&) { m.unlock(); }
};

// oneTBB's reader-writer locks: spin_rw_mutex spins with backoff and
// prefers writers (a waiting writer turns new readers away); rw_mutex does
// the same, then sleeps; queuing_rw_mutex queues readers and writers in
// order, each spinning on its own node, and lets readers next in the queue
// in together.
struct tbb_spin_rw : standard_shared<oneapi::tbb::spin_rw_mutex> {
  static constexpr const char* name = "tbb_spin_rw";
};
struct tbb_rw : standard_shared<oneapi::tbb::rw_mutex> {
  static constexpr const char* name = "tbb_rw";
  static constexpr const char* one_process = tbb_sleeps;
};
struct tbb_queuing_rw : kind {
  static constexpr const char* name = "tbb_queuing_rw";
  static constexpr const char* one_process = queue_nodes;
  static constexpr bool shares = true;
  struct local {
    oneapi::tbb::queuing_rw_mutex::scoped_lock s;
  };
  local join() { return {}; }
  oneapi::tbb::queuing_rw_mutex m;
  void lock(local& t) { t.s.acquire(m, true); }
  void unlock(local& t) { t.s.release(); }
  void lock_shared(local& t) { t.s.acquire(m, false); }
  void unlock_shared(local& t) { t.s.release(); }
};

// absl::Mutex is a reader-writer lock too: ReaderLock shares it. Waiters
// spin briefly, then sleep; its header promises no strict fairness, but no
// starvation of readers or writers at one priority.
struct absl_mutex : kind {
  static constexpr const char* name = "absl_mutex";
  static constexpr const char* one_process =
      "it queues its waiters through pointers into each thread's own memory";
  static constexpr bool shares = true;
  absl::Mutex m;
  void lock(local&) { m.Lock(); }
  void unlock(local&) { m.Unlock(); }
  void lock_shared(local&) { m.ReaderLock(); }
  void unlock_shared(local&) { m.ReaderUnlock(); }
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
// was compiled with it: Concurrency Kit's is inline assembly, Debian's
// abseil is built without it, and oneTBB's queuing_rw_mutex does its work
// inside libtbb, so under TSan those kinds would be reported as racing
// whatever they do; they stay out of that build.
using kinds = std::tuple<mutex, adaptive, pi_mutex, robust, rwlock, rwlock_writer, shared_mutex, spin,
                         std_mutex,
#ifndef __SANITIZE_THREAD__
                         ck_fas, ck_ticket, ck_mcs, ck_clh, ck_rw, ck_pflock, ck_tflock,
                         absl_mutex,
#endif
                         tbb_spin, tbb_queuing, tbb_mutex, tbb_spin_rw,
#ifndef __SANITIZE_THREAD__
                         tbb_queuing_rw,
#endif
                         tbb_rw, none, atomic>;

// Sets every library as a production build runs it, before any case, and
// says how: (context key, value) pairs for the record of the run.
std::vector<std::pair<std::string, std::string>> as_shipped();
