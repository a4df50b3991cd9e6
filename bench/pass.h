// The counting pass: after a case's timed loop, who got the lock, how
// often it changed hands and how long acquisitions waited.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "clock.h"
#include "sweep.h"

// What one thread of the running case records, on lines of its own.
struct alignas(64) record {
  std::uint64_t start = 0, stop = 0;  // the timed loop, in clock ticks
  long acquisitions = 0, handoffs = 0;  // in the counting pass
  std::vector<std::uint64_t> waits;  // ticks, of one acquisition in `every`
};

// The running case's threads. One case runs at a time.
struct run_state {
  std::vector<record> threads;
  alignas(64) std::atomic<bool> stop;  // the counting pass is over
  std::atomic<int> done;               // threads that have filed their record
  std::atomic<bool> failed;            // a thread could not finish the case

  void reset(int n) {
    threads.assign(n, {});
    stop = false;
    done = 0;
    failed = false;
  }
};
extern run_state run;

// Two clock readings cost about a third of an uncontended acquisition here
// (the context block's "clock"), so the pass times one acquisition in 8, and
// always a thread's first, which is where a starved thread waits.
constexpr long every = 8;

// After the timed loop, all threads sweep again with the same lock, hold,
// think and placement for a fixed wall time, a tenth of the timed loop's
// and at least 20 ms (or as long as the loop, if that was shorter), and
// count what each got: a fixed count per thread, as the timed loop does,
// could not show one thread kept waiting. Google Benchmark reports some
// short runs (repetitions after the first keep its iteration count), so
// every run gets its pass. The pass
// ends by a flag that the threads check outside the lock; a thread that sees
// the time is up raises it. Every thread's start and stop must be recorded.
template <class L, class C>
void count_pass(arena<L>& a, int me, long hold, long think, std::uint64_t& x, const C& clock) {
  record& mine = run.threads[me];
  std::uint64_t first = UINT64_MAX, last = 0;
  for (const record& r : run.threads) {
    first = std::min(first, r.start);
    last = std::max(last, r.stop);
  }
  // The short runs by which Google Benchmark picks its iteration count get
  // a pass no longer than themselves.
  std::uint64_t span = last - first, least = std::uint64_t(20e6 / clock.ns_per_tick);
  std::uint64_t deadline = last + std::max(span / 10, std::min(span, least));
  walker<L, true> w{a, me};
  long took = 0;
  for (long k = 0; !run.stop.load(std::memory_order_relaxed); ++k) {
    long handoffs = w.handoffs;
    if (k % every == 0) {
      mine.waits.push_back(w.timed_step(hold, x, clock));
      if (clock.now() >= deadline) run.stop.store(true, std::memory_order_relaxed);
    } else {
      w.step(hold, x);
    }
    // An acquisition that ends after the stop was not made in the pass.
    if (run.stop.load(std::memory_order_relaxed)) {
      w.handoffs = handoffs;
      break;
    }
    ++took;
    x = work(think, x);
  }
  mine.acquisitions = took;
  mine.handoffs = w.handoffs;
}

// The figures of a run from its threads' records: overlap and span_ns for
// every case, and for a lock, the counting pass's handoffs, fairness,
// starved threads and wait percentiles (ns).
std::vector<std::pair<const char*, double>> figures(std::vector<record>& threads, bool pass,
                                                    double ns_per_tick, double per_thread);
