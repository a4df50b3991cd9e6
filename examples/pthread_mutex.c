/* The default pthread mutex through the plug-in interface: the built-in
   kind "mutex" is the same lock called directly, so the two side by side
   give what the plug-in's indirect calls cost. Build it with

     cc -O2 -shared -fPIC -I include -o libpthread_mutex.so examples/pthread_mutex.c

   and run

     lock_bench --lock=./libpthread_mutex.so --kinds=mutex,pthread_mutex */
#include <lock_bench/plugin.h>
#include <pthread.h>
#include <stdlib.h>

const int lock_bench_abi = LOCK_BENCH_ABI;
const char lock_bench_name[] = "pthread_mutex";

/* On a cache line of its own, as the built-in kind's is. */
void *lock_bench_make(void) {
  pthread_mutex_t *m = aligned_alloc(64, 64);
  if (m && pthread_mutex_init(m, NULL) != 0) {
    free(m);
    m = NULL;
  }
  return m;
}

void lock_bench_destroy(void *lock) {
  pthread_mutex_destroy(lock);
  free(lock);
}

void lock_bench_lock(void *lock, void *self) {
  (void)self;
  pthread_mutex_lock(lock);
}

void lock_bench_unlock(void *lock, void *self) {
  (void)self;
  pthread_mutex_unlock(lock);
}
