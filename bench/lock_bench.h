// What lock_bench's main needs of its cases.
#pragma once
#include <string>
#include <vector>

#include "clock.h"

// The cases a user asks for with lock_bench's own flags (--kinds, --place,
// --read, --hold, --think, --threads, --processes): a list for each flag
// given, empty for each not given. Times in ns, read shares in percent.
struct asked {
  std::vector<std::string> kinds, places;
  std::vector<int> reads, threads;
  std::vector<long> holds, thinks;
  std::vector<int> processes;
  bool any() const {
    return !kinds.empty() || !places.empty() || !reads.empty() || !threads.empty() ||
           !holds.empty() || !thinks.empty() || !processes.empty();
  }
};

// Registers the cases with Google Benchmark: the whole grid, or only the
// cases asked for, the default set's values for what is not asked.
void register_cases(const asked& a);

// Whether KIND is a lock (the baselines are not).
bool excludes(const std::string& kind);

// Why KIND cannot work across processes, or "" when it can.
std::string one_process(const std::string& kind);

// A case registered: its full name, which Google Benchmark's filter
// matches, the shorter one the console shows, and what it was made from
// (no kind for classic, the ping-pong and the death of an owner); `threads`
// counts processes where `processes` says so.
struct listed {
  std::string full, shown;
  std::string kind, place;
  int read = 0;
  long hold = 0, think = 0;
  int threads = 2;
  bool processes = false;
  bool lock() const { return !kind.empty() && excludes(kind); }
};
const std::vector<listed>& registered();
// Unregisters every case.
void forget_cases();
// Starts the process that forks the runs of loaded kinds' cases, anew for
// the cases registered now (none where there are none): "" or why not.
// Call it where lock_bench has no thread but its main one.
std::string start_runs_apart();

// The least time a run of n threads (or processes) can take, in seconds:
// each makes one acquisition of `hold` ns at least, then thinks `think` ns,
// on the CPUs there are; with in_turn, the lock held by one at a time.
double least_seconds(int n, long hold, long think, bool in_turn);
// The same for case c.
double least_seconds(const listed& c);

// The names of every kind.
std::vector<std::string> kind_names();

// The cases a run with no filter runs.
std::string default_filter();

// The names of the kinds that can be shared, with `between` between them.
std::string shared_kinds(const std::string& between);

// What main sets up for every case.
struct settings {
  tick_clock clock;  // times single acquisitions in the counting pass
  // Whether locking cases run the counting pass after the timed loop: off
  // only to show that the pass leaves the timed figure alone.
  bool counting_pass = true;
  // Google Benchmark's --benchmark_min_time in seconds, or 0 when it is an
  // iteration count, which fixes the length of every run.
  double min_time = 0.2;
  // Called after each run Google Benchmark reports (not those that only
  // find the iteration count), for the progress line; or none.
  void (*ran)() = nullptr;
};
extern settings config;
