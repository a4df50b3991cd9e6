/* Concurrency Kit's spinlocks and reader-writer locks, behind plain functions. Its headers are C,
 * and its queue locks do not compile as C++, so they live in ck.c. A call
 * into it costs what a call into glibc costs the pthread kinds: the lock's
 * own code is inlined in ck.c, not in the sweep. */
#pragma once
#ifdef __cplusplus
extern "C" {
#endif

/* The room a lock takes: CK_ROOM bytes, aligned to 64. */
#define CK_ROOM 128
/* Makes a lock of KIND at LOCK: 0, or -1 when out of memory. kind is one of
 * "fas", "ticket", "mcs", "clh", "rw", "pf" (phase-fair), "tf" (task-fair). */
int ck_init(void *lock, const char *kind);
/* Frees every queue node handed out for the lock. */
void ck_fini(void *lock);
/* A thread's queue node for the lock (MCS and CLH; NULL for the others), or
 * NULL when out of memory. */
void *ck_node(void *lock);

void ck_fas_lock(void *lock);
void ck_fas_unlock(void *lock);
void ck_ticket_lock(void *lock);
void ck_ticket_unlock(void *lock);
void ck_mcs_lock(void *lock, void *node);
void ck_mcs_unlock(void *lock, void *node);
/* A CLH unlock leaves the thread with its predecessor's node: *node changes. */
void ck_clh_lock(void *lock, void **node);
void ck_clh_unlock(void **node);
void ck_rw_write_lock(void *lock);
void ck_rw_write_unlock(void *lock);
void ck_rw_read_lock(void *lock);
void ck_rw_read_unlock(void *lock);
void ck_pf_write_lock(void *lock);
void ck_pf_write_unlock(void *lock);
void ck_pf_read_lock(void *lock);
void ck_pf_read_unlock(void *lock);
void ck_tf_write_lock(void *lock);
void ck_tf_write_unlock(void *lock);
void ck_tf_read_lock(void *lock);
void ck_tf_read_unlock(void *lock);

#ifdef __cplusplus
}
#endif
