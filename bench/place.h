// Where the threads of one benchmark run, and how many there are.
#pragma once
#include <sched.h>

#include <vector>

enum placement {
  unpinned,  // wherever the scheduler puts them, as spin_or_mutex runs
  spread,    // thread t on the t-th CPU the process may use, round robin
  one_cpu,   // all on the first CPU the process may use
};
inline const char* const placement_names[] = {"unpinned", "spread", "one_cpu"};

// Pins the calling thread for as long as it lives, then gives back the
// affinity it had: Google Benchmark runs thread 0 on its own main thread.
// error is 0, or the errno of a placement this machine cannot apply.
class pin {
 public:
  pin(placement p, int thread);
  ~pin();
  pin(const pin&) = delete;
  pin& operator=(const pin&) = delete;
  int error = 0;

 private:
  cpu_set_t saved_;
  bool pinned_ = false;
};

// The CPUs this process may use.
int allowed_cpus();

// Thread counts for a machine of `cpus` CPUs: 1, the powers of two below
// it, the CPU count itself, then two and four times it, where waiters
// outnumber the CPUs and a spinning waiter burns the time slice that a
// preempted holder needs.
std::vector<int> thread_counts(int cpus);
