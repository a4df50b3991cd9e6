/* A reader-writer spinlock for lock_bench's tests of loaded kinds, with a
   node per thread it checks: destroy aborts unless every thread that
   attached detached, and an acquisition without its thread's node aborts.
   Each macro but SLOW (a lock far behind any real one) makes one way to
   be refused. With WHEN_PINNED, CRASHES, EXITS, LETS_TWO_IN and HANGS
   misbehave only in a thread pinned to one CPU: never in lock_bench's
   check, which pins nothing, and only in a run with --place=one_cpu.
   FOUR_SLOTS is sound for up to four threads, and hangs with more. */
#define _GNU_SOURCE
#include <lock_bench/plugin.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#if defined(WRONG_ABI)
const int lock_bench_abi = LOCK_BENCH_ABI + 1;
#elif defined(ABSOLUTE_ABI)
/* A symbol that is an address, not data of the object's. */
__asm__(".globl lock_bench_abi\n.set lock_bench_abi, 0x10");
#else
const int lock_bench_abi = LOCK_BENCH_ABI;
#endif

/* Constructors and a destructor that misbehave as the object loads and
   as the process ends. */
#if defined(CTOR_EXITS) || defined(CTOR_ABORTS) || defined(CTOR_CRASHES)
#include <signal.h>
__attribute__((constructor)) static void misbehave_on_load(void) {
#if defined(CTOR_EXITS)
  _exit(0);
#elif defined(CTOR_ABORTS)
  abort();
#else
  raise(SIGSEGV);
#endif
}
#endif
#ifdef DTOR_PRINTS
#include <stdio.h>
__attribute__((destructor)) static void print_on_exit(void) { puts("goodbye from rw_test"); }
#endif

#if defined(ABSOLUTE_NAME)
__asm__(".globl lock_bench_name\n.set lock_bench_name, 0x20");
#elif defined(CLASH)
const char lock_bench_name[] = "mutex";
#elif defined(BAD_NAME)
const char lock_bench_name[] = "My lock";
#elif defined(SLOW)
const char lock_bench_name[] = "slow_test";
#else
const char lock_bench_name[] = "rw_test";
#endif

#ifdef WHEN_PINNED
#define EXIT_STATUS 0 /* the quietest way out: success, and no results */
static inline int misbehaves(void) {
  cpu_set_t s;
  return sched_getaffinity(0, sizeof s, &s) == 0 && CPU_COUNT(&s) == 1;
}
#else
#define EXIT_STATUS 3
static inline int misbehaves(void) { return 1; }
#endif

struct lock {
  atomic_int state; /* -1: a writer inside; n > 0: n readers */
  atomic_int attached;
};

void *lock_bench_make(void) {
#ifdef NO_LOCK
  return NULL;
#endif
  struct lock *l = calloc(1, sizeof *l);
  return l;
}

void lock_bench_destroy(void *lock) {
  struct lock *l = lock;
  if (atomic_load(&l->attached) != 0) abort();
  free(l);
}

void *lock_bench_attach(void *lock) {
  atomic_fetch_add(&((struct lock *)lock)->attached, 1);
  return malloc(64);
}

#ifndef HALF_ATTACH
void lock_bench_detach(void *lock, void *self) {
  atomic_fetch_sub(&((struct lock *)lock)->attached, 1);
  free(self);
}
#endif

void lock_bench_lock(void *lock, void *self) {
  struct lock *l = lock;
  if (!self) abort();
#ifdef CRASHES
  if (misbehaves()) *(volatile int *)0 = 1;
#endif
#ifdef EXITS
  /* _exit: exit() from one thread runs the process's destructors under the
     others, which may then crash instead. Once pinned, it ends with 0. */
  if (misbehaves()) _exit(EXIT_STATUS);
#endif
#ifdef LETS_TWO_IN
  if (misbehaves()) return;
#endif
#ifdef FOUR_SLOTS
  if (atomic_load(&l->attached) > 4)
    for (;;) sched_yield();
#endif
  for (int free_ = 0;; free_ = 0)
    if (atomic_compare_exchange_weak(&l->state, &free_, -1)) break;
#ifdef SLOW
  /* Far behind any real lock: 2 us inside each acquisition. */
  struct timespec t0, t;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  do clock_gettime(CLOCK_MONOTONIC, &t);
  while ((t.tv_sec - t0.tv_sec) * 1000000000L + (t.tv_nsec - t0.tv_nsec) < 2000);
#endif
}

#ifndef NO_UNLOCK
void lock_bench_unlock(void *lock, void *self) {
  (void)self;
#ifdef HANGS
  if (misbehaves()) return;
#endif
  atomic_store(&((struct lock *)lock)->state, 0);
}
#endif

/* The lock that lets two in has no readers: two writers are what the check
   must catch. */
#ifndef LETS_TWO_IN
void lock_bench_lock_shared(void *lock, void *self) {
  struct lock *l = lock;
  if (!self) abort();
#ifdef READS_BESIDE_WRITES
  atomic_fetch_add(&l->state, 0);
  return;
#endif
  for (;;) {
    int n = atomic_load(&l->state);
    if (n >= 0 && atomic_compare_exchange_weak(&l->state, &n, n + 1)) return;
  }
}

#endif

#if !defined(HALF_SHARED) && !defined(LETS_TWO_IN)
void lock_bench_unlock_shared(void *lock, void *self) {
  (void)self;
#ifndef READS_BESIDE_WRITES
  atomic_fetch_sub(&((struct lock *)lock)->state, 1);
#else
  (void)lock;
#endif
}
#endif
