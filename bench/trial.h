// One run of a case, made before its threads start and gone after they
// end: the workload (the lock and what one acquisition does), the threads'
// records, the flags they share, the clock and the limit. Every case runs
// the same sequence through it: the timed loop, cut when it overruns, then
// the counting pass, then the figures.
#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "clock.h"
#include "names.h"

// What one thread of the run records, on lines of its own.
struct alignas(64) record {
  std::uint64_t start = 0, stop = 0;    // the timed loop, in clock ticks
  long acquisitions = 0, handoffs = 0;  // in the counting pass
  std::vector<std::uint64_t> waits;     // ticks, of one acquisition in `every`
  // With reads: the waits of the reads among those, and of every write
  // (writes may be one in a hundred); the writes made, and whether the
  // thread was still waiting for one when the pass ended; the most readers
  // it saw inside at once.
  std::vector<std::uint64_t> read_waits, write_waits;
  long writes = 0;
  bool write_waiting = false;
  int readers_max = 0;
  bool broke = false;  // a lock watched in the pass let another in beside it
};

// Two clock readings cost about a third of an uncontended acquisition here
// (the context block's "clock"), so the pass times one acquisition in 8, and
// always a thread's first, which is where a starved thread waits.
constexpr long every = 8;

// The first thread's start of the timed loop and the last one's stop.
inline std::pair<std::uint64_t, std::uint64_t> loops(const std::vector<record>& threads) {
  std::uint64_t first = UINT64_MAX, last = 0;
  for (const record& r : threads) {
    first = std::min(first, r.start);
    last = std::max(last, r.stop);
  }
  return {first, last};
}
// The ticks between them.
inline std::uint64_t span_ticks(const std::vector<record>& threads) {
  auto [first, last] = loops(threads);
  return last > first ? last - first : 0;
}

// The figures of a run from its threads' records: overlap and span_ns for
// every case, and with the pass, its handoffs, fairness, starved threads
// and wait percentiles (ns); with reads (mixes), the waits by role, the
// share of writes made and the most readers inside at once. per_thread:
// each thread's timed acquisitions.
std::vector<std::pair<const char*, double>> figures(std::vector<record>& threads, bool pass,
                                                    bool mixes, double ns_per_tick,
                                                    double per_thread);

// W, the workload, has `waits` (whether an acquisition can wait for another
// thread) and `mixes` (whether some are reads), a `thread` of its own for
// each with its `walk`, step<count> and timed_step<count> for one
// acquisition, writes_next, and think for the work between two.
template <class W>
struct trial {
  W work;
  const tick_clock& clock;
  const std::uint64_t cut;  // ticks a timed loop may take, UINT64_MAX: no limit
  const bool counting;      // whether the counting pass runs
  std::vector<record> threads;
  alignas(64) std::atomic<bool> stop{false};  // the counting pass is over
  std::atomic<bool> failed{false};            // a thread could not finish the run
  std::atomic<int> done{0};                   // threads that have filed their record
  std::atomic<bool> overran{false};           // the limit passed: set by the watchdog

 private:
  std::thread watchdog;
  std::mutex ending;
  std::condition_variable ended;
  bool over = false;  // the trial ends; under `ending`

 public:

  // A run that may be cut has a watchdog: a thread that sleeps until the
  // limit, or until the trial ends, and raises `overran` if the limit
  // comes first. A thread waiting its turn for a preempted lock owner may
  // take milliseconds an acquisition: one looking at the clock itself
  // would see the limit long after it passed.
  // across: for processes, in memory they share; the parent waits for them,
  // and no watchdog runs.
  trial(int n, const tick_clock& c, std::uint64_t cut_ticks, bool pass, bool across = false)
      : work(across), clock(c), cut(cut_ticks), counting(pass && W::waits), threads(n) {
    if (across) return;
    if (!W::waits || cut == UINT64_MAX) return;
    std::chrono::nanoseconds limit(std::uint64_t(double(cut) * clock.ns_per_tick));
    watchdog = std::thread([this, limit] {
      std::unique_lock<std::mutex> l(ending);
      if (!ended.wait_for(l, limit, [this] { return over; })) overran = true;
    });
  }
  ~trial() {
    if (!watchdog.joinable()) return;
    {
      std::lock_guard<std::mutex> l(ending);
      over = true;
    }
    ended.notify_one();
    watchdog.join();
  }
  trial(const trial&) = delete;
  trial& operator=(const trial&) = delete;

  // Thread t's timed loop of n acquisitions; false when the run was cut,
  // by the watchdog, or failed in another thread. In chunks of 64
  // acquisitions, or of one where an acquisition is long (a few
  // microseconds of work), with a look at the shared flags after each, the
  // last included: a run of one acquisition a thread is cut too. A
  // baseline never waits and is never cut.
  bool timed(typename W::thread& t, long n) {
    std::uint64_t start = clock.now();
    auto w = t.at;
    bool whole = true;
    const long chunk = w.hold + w.think > 4096 ? 1 : 64;
    for (long left = n; left > 0;) {
      long k = std::min(left, chunk);
      left -= k;
      for (; k > 0; --k) {
        work.template step<false>(t, w);
        W::think(w);
      }
      if (!W::waits) continue;
      if (overran.load(std::memory_order_relaxed) || failed.load(std::memory_order_relaxed)) {
        failed = true;
        whole = false;
        break;
      }
    }
    threads[t.me].start = start;
    threads[t.me].stop = clock.now();
    t.at = w;
    return whole;
  }

  // Thread t's counting pass, after every thread's timed loop (the first of
  // which started at tick `first`, and the last stopped at `last`): all
  // threads sweep again for a fixed wall time, a tenth of the timed loops' span and
  // at least 20 ms (or as long as the loops, if that was shorter), and count
  // what each got: a fixed count per thread, as the timed loop does, could
  // not show one thread kept waiting. Google Benchmark reports some short
  // runs (repetitions after the first keep its iteration count), so every
  // run gets its pass. It ends by a flag that the threads check outside the
  // lock; a thread that sees the time is up raises it.
  void pass(typename W::thread& t, std::uint64_t first, std::uint64_t last) {
    if (!counting) return;
    std::uint64_t span = last - first, least = std::uint64_t(20e6 / clock.ns_per_tick);
    std::uint64_t deadline = last + std::max(span / 10, std::min(span, least));
    record& mine = threads[t.me];
    auto w = t.at;
    t.handoffs = 0;
    for (long k = 0; !stop.load(std::memory_order_relaxed); ++k) {
      long handoffs = t.handoffs;
      bool sampled = k % every == 0;
      if (sampled || (W::mixes && W::writes_next(t, w))) {
        std::uint64_t waited = work.template timed_step<true>(t, w, clock);
        if (sampled) mine.waits.push_back(waited);
        if (W::mixes && t.wrote) mine.write_waits.push_back(waited);
        if (W::mixes && !t.wrote && sampled) mine.read_waits.push_back(waited);
        // The thread that ends the pass made this acquisition before the
        // end: a thread held up until after the deadline (a loaded machine,
        // a short run) still counts the one it made.
        if (clock.now() >= deadline && !stop.exchange(true)) {
          ++mine.acquisitions;
          mine.writes += t.wrote;
          break;
        }
      } else {
        work.template step<true>(t, w);
      }
      // An acquisition that ends after another thread's stop was not made
      // in the pass; a write among them was asked for in it.
      if (stop.load(std::memory_order_relaxed)) {
        t.handoffs = handoffs;
        mine.write_waiting = t.wrote;
        break;
      }
      ++mine.acquisitions;
      mine.writes += t.wrote;
      W::think(w);
    }
    mine.handoffs = t.handoffs;
    mine.readers_max = t.readers_max;
    mine.broke = t.broke;
    t.at = w;
  }

  // Files thread t's record, or, with failed, says the thread could not
  // run. True for the thread that reports, once every record is in.
  bool file(typename W::thread& t, bool ok = true) { return file(t.me, ok); }
  bool file(int me, bool ok) {
    if (!ok) failed = true;
    done.fetch_add(1);
    if (me != 0 || !ok) return false;
    while (done.load() < int(threads.size())) std::this_thread::yield();
    return !failed;
  }

  std::vector<std::pair<const char*, double>> figures(double per_thread) {
    return ::figures(threads, counting, W::mixes, clock.ns_per_tick, per_thread);
  }
};
