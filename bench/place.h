// Where the threads of one benchmark run, and how many there are.
#pragma once
#include <sched.h>

#include <string>
#include <vector>

#include "topology.h"

enum placement {
  unpinned,  // wherever the scheduler puts them, as spin_or_mutex runs
  spread,    // other packages first, then other caches and cores, then
             // the cores' other hardware threads; round robin beyond
  compact,   // a core's hardware threads, then the cores of its cache,
             // then the next cache and package; round robin beyond
  one_cpu,   // all on the first CPU the process may use
  // Two threads on the pair of CPUs that decides what a handoff costs:
  smt,      // two hardware threads of one core
  core,     // two cores under one last-level cache
  cache,    // two cores under different last-level caches of one package
  package,  // two packages
};
inline const char* const placement_names[] = {"unpinned", "spread", "compact", "one_cpu",
                                              "smt",      "core",   "cache",   "package"};
constexpr bool is_pair(placement p) { return p >= smt; }

// The OS CPU of each of `threads` threads under placement `where`, on the
// PUs `pus` (in hwloc's order). Empty for unpinned, and for a pair these
// PUs do not have.
std::vector<int> plan(placement where, int threads, const std::vector<pu>& pus);

// The CPUs of the ping-pong matrix: every one up to 64 CPUs. Above that, a
// sample of at most 32: the CPUs of each pair the machine has, the first
// CPU of each package and of each last-level cache, and CPUs evenly spaced
// in compact order for the rest.
std::vector<int> matrix_cpus(const std::vector<pu>& pus);

// Pins the calling thread for as long as it lives, then gives back the
// affinity it had: Google Benchmark runs thread 0 on its own main thread.
// error is "", or why the thread could not be placed.
class pin {
 public:
  explicit pin(int cpu);
  // Thread `thread` of `threads` under placement `where` on this machine.
  pin(placement where, int thread, int threads);
  ~pin();
  pin(const pin&) = delete;
  pin& operator=(const pin&) = delete;
  std::string error;

 private:
  void to(int cpu);
  cpu_set_t saved_;
  bool pinned_ = false;
};

// Thread counts for a machine of `cpus` CPUs: 1, the powers of two below
// it, the CPU count itself, then two and four times it, where waiters
// outnumber the CPUs and a spinning waiter burns the time slice that a
// preempted holder needs.
std::vector<int> thread_counts(int cpus);
