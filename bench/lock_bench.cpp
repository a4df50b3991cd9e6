// Which lock, for which critical section? spin_or_mutex's sweep for every
// lock kind, across the time the lock is held, the time between
// acquisitions, the thread count and where the threads run.
#include "lock_bench.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "locks.h"
#include "place.h"
#include "pass.h"
#include "sweep.h"

settings config;

namespace {

template <class L>
void init(const benchmark::State& st) {
  shared<L>.init();
  run.reset(st.threads());
}

template <class L>
void fini(const benchmark::State&) {
  shared<L>.fini();
}

// The figures of the whole run, as thread 0's counters (Google Benchmark
// adds up the threads' counters).
void report(benchmark::State& st, bool excludes) {
  double per_thread = double(st.iterations());
  for (auto [name, value] : figures(run.threads, excludes, config.clock.ns_per_tick, per_thread))
    st.counters[name] = value;
}

// Google Benchmark picks a run's iterations from shorter runs before it. A
// FIFO lock whose next owner is preempted (more threads than CPUs, or other
// load) waits a time slice at every handoff, and may turn a run planned for
// a fifth of a second into minutes. Such a run is cut at ten times the
// minimum time, and the case reported as skipped.
std::uint64_t limit_ticks() {
  return std::uint64_t((config.min_time * 10) * 1e9 / config.clock.ns_per_tick);
}
const char* const too_slow =
    "cut: a run took over ten times the minimum time; threads wait for preempted lock owners";

// Google Benchmark reports a run that lasted its minimum time and discards
// the shorter ones that led up to it, so those need no counting pass. Its
// timer runs a few nanoseconds longer than the threads' own clocks.
bool reported() {
  double ticks = 0;
  for (const record& r : run.threads) ticks += double(r.stop - r.start);
  return ticks / run.threads.size() * config.clock.ns_per_tick >= 0.99e9 * config.min_time;
}

// One iteration is one acquisition, so Google Benchmark's real time per
// iteration of a threaded run (the mean of the threads' own times, over all
// threads' iterations) is the wall-clock cost of one acquisition. The loop
// is one batch, so that each thread can note when its loop began and ended.
// `fixed`: Google Benchmark reports the run whatever its length.
template <class L>
void sweep(benchmark::State& st, placement where, long hold, long think, bool fixed = false) {
  arena<L>& a = shared<L>;
  if (a.error) return st.SkipWithError(std::strerror(a.error));
  int me = st.thread_index();
  pin p(where, me);
  if (p.error) {
    run.failed = true;
    run.done.fetch_add(1);
    return st.SkipWithError(std::strerror(p.error));
  }
  std::uint64_t x = me;
  walker<L, false> timed{a, me};
  while (st.KeepRunningBatch(st.max_iterations)) {
    std::uint64_t start = config.clock.now(), limit = start + limit_ticks();
    // In chunks of 64 acquisitions; a look at the shared flag after each and
    // at the clock after every fourth cost about 0.05 ns an acquisition.
    for (benchmark::IterationCount left = st.max_iterations, chunk = 0; left > 0; ++chunk) {
      benchmark::IterationCount n = std::min<benchmark::IterationCount>(left, 64);
      for (benchmark::IterationCount k = n; k > 0; --k) {
        timed.step(hold, x);
        x = work(think, x);
      }
      left -= n;
      if (!L::excludes || left == 0) continue;  // a baseline never waits
      if (chunk % 4 == 3 && config.clock.now() > limit) run.failed = true;
      if (run.failed.load(std::memory_order_relaxed)) {
        st.SkipWithError(too_slow);
        break;
      }
    }
    run.threads[me].start = start;
    run.threads[me].stop = config.clock.now();
  }
  // Google Benchmark's threads have all left the timed loop here.
  if (run.failed) return;
  bool pass = L::excludes && config.counting_pass && (fixed || reported());
  if (pass) count_pass(a, me, hold, think, x, config.clock);
  benchmark::DoNotOptimize(x);
  run.done.fetch_add(1);
  if (me != 0) return;
  while (run.done.load() < st.threads()) std::this_thread::yield();
  report(st, pass);
}

// Work steps inside the lock: none, then about 0.1, 1 and 10 us here, where
// a waiter that sleeps starts to pay for its wake-up less than a spinner
// pays for its spinning.
const std::vector<long> holds = {0, 100, 1000, 10000};
// Work steps between acquisitions: none (spin_or_mutex's loop), then about
// 0.1 and 1 us, as contention falls away.
const std::vector<long> thinks = {0, 100, 1000};

template <class L>
void add(const std::vector<int>& threads) {
  for (placement where : {unpinned, spread, one_cpu}) {
    std::string name = std::string(L::name) + "/" + placement_names[where];
    auto* b = benchmark::RegisterBenchmark(name.c_str(), [where](benchmark::State& st) {
      sweep<L>(st, where, st.range(0), st.range(1));
    });
    b->Setup(init<L>)->Teardown(fini<L>)->ArgNames({"hold", "think"});
    b->ArgsProduct({holds, thinks})->UseRealTime();
    for (int t : threads) b->Threads(t);
  }
}

template <class... K>
void add_all(std::tuple<K...>*, const std::vector<int>& threads) {
  (add<K>(threads), ...);
}

}  // namespace

void register_cases() {
  add_all(static_cast<kinds*>(nullptr), thread_counts(allowed_cpus()));
  // spin_or_mutex's own experiment, to set beside its Result: the default
  // mutex, two unpinned threads, one pass of 10,000,000 acquisitions each.
  benchmark::RegisterBenchmark("classic", [](benchmark::State& st) {
    sweep<mutex>(st, unpinned, 0, 0, true);
  })->Setup(init<mutex>)->Teardown(fini<mutex>)->Iterations(size)->UseRealTime()->Threads(2);
}

// Every kind at every thread count, unpinned, with no think time and with
// no hold and a 1 us hold, and classic: the main question in under three
// minutes on two CPUs.
const char* const default_filter = "^[a-z_]+/unpinned/hold:(0|1000)/think:0/|^classic/";
