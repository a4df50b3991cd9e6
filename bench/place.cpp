#include "place.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

pin::pin(placement p, int thread) {
  if (p == unpinned) return;
  pthread_getaffinity_np(pthread_self(), sizeof saved_, &saved_);
  int n = CPU_COUNT(&saved_);
  int want = p == spread ? thread % n : 0;
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &saved_) && seen++ == want) CPU_SET(cpu, &one);
  }
  // A benchmark that silently ran unpinned would report the wrong case.
  if (pthread_setaffinity_np(pthread_self(), sizeof one, &one) != 0) {
    std::perror("lock_bench: pthread_setaffinity_np");
    std::exit(1);
  }
  pinned_ = true;
}

pin::~pin() {
  if (pinned_) pthread_setaffinity_np(pthread_self(), sizeof saved_, &saved_);
}
