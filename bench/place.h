// Where the threads of one benchmark run.
#pragma once
#include <sched.h>

enum placement {
  unpinned = 0,  // wherever the scheduler puts them, as spin_or_mutex runs
  spread = 1,    // thread t on the t-th CPU the process may use, round robin
  one_cpu = 2,   // all on the first CPU the process may use
};

// Pins the calling thread for as long as it lives, then gives back the
// affinity it had: Google Benchmark runs thread 0 on its own main thread.
class pin {
 public:
  pin(placement p, int thread);
  ~pin();
  pin(const pin&) = delete;
  pin& operator=(const pin&) = delete;

 private:
  cpu_set_t saved_;
  bool pinned_ = false;
};
