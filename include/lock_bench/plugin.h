/* A lock for lock_bench, in a shared object of its own:

     lock_bench --lock=./libmylock.so

   The object defines the symbols below, with C linkage. lock_bench makes
   one lock for each run of a case and destroys it after; each thread of
   the run attaches to it before its first acquisition and detaches after
   its last. A lock that can be shared by readers defines both
   lock_bench_lock_shared and lock_bench_unlock_shared; one without them
   takes lock_bench_lock for reads too.

   Before anything is timed, lock_bench checks in a child process that the
   lock lets one thread in at a time (and, for readers, no reader beside a
   writer). A lock that fails, crashes or hangs there is refused. */
#ifndef LOCK_BENCH_PLUGIN_H
#define LOCK_BENCH_PLUGIN_H

/* The interface's version: lock_bench_abi must equal the version of the
   lock_bench that loads the object. */
#define LOCK_BENCH_ABI 1

#ifdef __cplusplus
extern "C" {
#endif

/* Defined as: const int lock_bench_abi = LOCK_BENCH_ABI; */
extern const int lock_bench_abi;

/* The kind's name in lock_bench's cases and results: lower-case letters,
   digits and '_', starting with a letter, at most 32 characters, and not
   the name of a kind lock_bench has built in. */
extern const char lock_bench_name[];

/* A new, unlocked lock, or NULL when none can be made. */
void *lock_bench_make(void);
void lock_bench_destroy(void *lock);

/* Optional, both or neither: what a thread keeps of its own while it
   uses the lock (a queue lock's node, say). Attach cannot fail. Without
   them, self is NULL. */
void *lock_bench_attach(void *lock);
void lock_bench_detach(void *lock, void *self);

/* self is what lock_bench_attach returned to the calling thread. */
void lock_bench_lock(void *lock, void *self);
void lock_bench_unlock(void *lock, void *self);

/* Optional: shared acquisition by readers. */
void lock_bench_lock_shared(void *lock, void *self);
void lock_bench_unlock_shared(void *lock, void *self);

#ifdef __cplusplus
}
#endif

#endif
