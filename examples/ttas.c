/* A test-and-test-and-set spinlock for lock_bench. Build it with

     cc -O2 -shared -fPIC -I include -o libttas.so examples/ttas.c

   and run it beside the built-in kinds:

     lock_bench --lock=./libttas.so --kinds=ttas,spin,mutex

   A waiter reads the lock until it looks free, and only then tries the
   exchange: while it reads, the line stays in its cache, shared, and the
   owner's unlock is the next write to it. */
#include <lock_bench/plugin.h>
#include <stdatomic.h>
#include <stdlib.h>

const int lock_bench_abi = LOCK_BENCH_ABI;
const char lock_bench_name[] = "ttas";

/* One lock to a cache line, so that it shares the line with nothing. */
struct ttas {
  _Alignas(64) atomic_int held;
};

void *lock_bench_make(void) {
  struct ttas *l = aligned_alloc(64, sizeof *l);
  if (l) atomic_init(&l->held, 0);
  return l;
}

void lock_bench_destroy(void *lock) { free(lock); }

static inline void relax(void) {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ volatile("yield");
#endif
}

void lock_bench_lock(void *lock, void *self) {
  struct ttas *l = lock;
  (void)self;
  for (;;) {
    if (!atomic_exchange_explicit(&l->held, 1, memory_order_acquire)) return;
    while (atomic_load_explicit(&l->held, memory_order_relaxed)) relax();
  }
}

void lock_bench_unlock(void *lock, void *self) {
  (void)self;
  atomic_store_explicit(&((struct ttas *)lock)->held, 0, memory_order_release);
}
