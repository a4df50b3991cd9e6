#include "place.h"

#include <pthread.h>

pin::pin(placement p, int thread) {
  if (p == unpinned) return;
  error = pthread_getaffinity_np(pthread_self(), sizeof saved_, &saved_);
  if (error) return;
  int want = p == spread ? thread % CPU_COUNT(&saved_) : 0;
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &saved_) && seen++ == want) CPU_SET(cpu, &one);
  }
  error = pthread_setaffinity_np(pthread_self(), sizeof one, &one);
  pinned_ = error == 0;
}

pin::~pin() {
  if (pinned_) pthread_setaffinity_np(pthread_self(), sizeof saved_, &saved_);
}

int allowed_cpus() {
  cpu_set_t s;
  if (sched_getaffinity(0, sizeof s, &s) != 0) return 1;
  return CPU_COUNT(&s);
}

std::vector<int> thread_counts(int cpus) {
  std::vector<int> counts;
  for (int t = 1; t < cpus; t *= 2) counts.push_back(t);
  for (int t : {cpus, 2 * cpus, 4 * cpus})
    if (counts.empty() || t > counts.back()) counts.push_back(t);
  return counts;
}
