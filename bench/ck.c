#include "ck.h"

#include <ck_pflock.h>
#include <ck_rwlock.h>
#include <ck_spinlock.h>
#include <ck_tflock.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

/* Queue nodes move between threads (CLH) or outlive no thread (MCS), so the
 * lock keeps them all and frees them with itself. */
struct node {
  union {
    ck_spinlock_mcs_context_t mcs;
    ck_spinlock_clh_t clh;
  } u; /* first, so a CLH node pointer is its struct node's */
  struct node *next;
} __attribute__((aligned(64)));

struct lock {
  union {
    ck_spinlock_fas_t fas;
    ck_spinlock_ticket_t ticket;
    ck_spinlock_mcs_t mcs;
    ck_spinlock_clh_t *clh;
    ck_rwlock_t rw;
    ck_pflock_t pf;
    struct ck_tflock_ticket tf;
  } u;
  char queue; /* hands out nodes: 0, 'm' (MCS) or 'c' (CLH) */
  pthread_mutex_t nodes_lock; /* only while threads start, never in a sweep */
  struct node *nodes;
} __attribute__((aligned(64)));

static struct node *add_node(struct lock *l) {
  struct node *n = aligned_alloc(64, sizeof *n);
  if (!n) return NULL;
  memset(n, 0, sizeof *n);
  pthread_mutex_lock(&l->nodes_lock);
  n->next = l->nodes;
  l->nodes = n;
  pthread_mutex_unlock(&l->nodes_lock);
  return n;
}

_Static_assert(sizeof(struct lock) <= CK_ROOM, "CK_ROOM is too small");

int ck_init(void *lock, const char *kind) {
  struct lock *l = lock;
  memset(l, 0, sizeof *l);
  pthread_mutex_init(&l->nodes_lock, NULL);
  if (!strcmp(kind, "fas")) {
    ck_spinlock_fas_init(&l->u.fas);
  } else if (!strcmp(kind, "ticket")) {
    ck_spinlock_ticket_init(&l->u.ticket);
  } else if (!strcmp(kind, "rw")) {
    ck_rwlock_init(&l->u.rw);
  } else if (!strcmp(kind, "pf")) {
    ck_pflock_init(&l->u.pf);
  } else if (!strcmp(kind, "tf")) {
    ck_tflock_ticket_init(&l->u.tf);
  } else if (!strcmp(kind, "mcs")) {
    l->queue = 'm';
    ck_spinlock_mcs_init(&l->u.mcs);
  } else if (!strcmp(kind, "clh")) {
    struct node *unowned = add_node(l);
    if (!unowned) return -1;
    l->queue = 'c';
    ck_spinlock_clh_init(&l->u.clh, &unowned->u.clh);
  } else {
    return -1;
  }
  return 0;
}

void ck_fini(void *lock) {
  struct lock *l = lock;
  while (l->nodes) {
    struct node *n = l->nodes;
    l->nodes = n->next;
    free(n);
  }
  pthread_mutex_destroy(&l->nodes_lock);
}

void *ck_node(void *lock) {
  struct lock *l = lock;
  return l->queue ? add_node(l) : NULL;
}

void ck_fas_lock(void *lock) { ck_spinlock_fas_lock(&((struct lock *)lock)->u.fas); }
void ck_fas_unlock(void *lock) { ck_spinlock_fas_unlock(&((struct lock *)lock)->u.fas); }
void ck_ticket_lock(void *lock) { ck_spinlock_ticket_lock(&((struct lock *)lock)->u.ticket); }
void ck_ticket_unlock(void *lock) { ck_spinlock_ticket_unlock(&((struct lock *)lock)->u.ticket); }
void ck_mcs_lock(void *lock, void *node) { ck_spinlock_mcs_lock(&((struct lock *)lock)->u.mcs, node); }
void ck_mcs_unlock(void *lock, void *node) { ck_spinlock_mcs_unlock(&((struct lock *)lock)->u.mcs, node); }
void ck_clh_lock(void *lock, void **node) { ck_spinlock_clh_lock(&((struct lock *)lock)->u.clh, *node); }
void ck_clh_unlock(void **node) { ck_spinlock_clh_unlock((ck_spinlock_clh_t **)node); }

#define LOCK(l) (&((struct lock *)(l))->u)
void ck_rw_write_lock(void *lock) { ck_rwlock_write_lock(&LOCK(lock)->rw); }
void ck_rw_write_unlock(void *lock) { ck_rwlock_write_unlock(&LOCK(lock)->rw); }
void ck_rw_read_lock(void *lock) { ck_rwlock_read_lock(&LOCK(lock)->rw); }
void ck_rw_read_unlock(void *lock) { ck_rwlock_read_unlock(&LOCK(lock)->rw); }
void ck_pf_write_lock(void *lock) { ck_pflock_write_lock(&LOCK(lock)->pf); }
void ck_pf_write_unlock(void *lock) { ck_pflock_write_unlock(&LOCK(lock)->pf); }
void ck_pf_read_lock(void *lock) { ck_pflock_read_lock(&LOCK(lock)->pf); }
void ck_pf_read_unlock(void *lock) { ck_pflock_read_unlock(&LOCK(lock)->pf); }
void ck_tf_write_lock(void *lock) { ck_tflock_ticket_write_lock(&LOCK(lock)->tf); }
void ck_tf_write_unlock(void *lock) { ck_tflock_ticket_write_unlock(&LOCK(lock)->tf); }
void ck_tf_read_lock(void *lock) { ck_tflock_ticket_read_lock(&LOCK(lock)->tf); }
void ck_tf_read_unlock(void *lock) { ck_tflock_ticket_read_unlock(&LOCK(lock)->tf); }
