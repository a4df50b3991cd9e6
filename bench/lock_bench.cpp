// Which lock, for which critical section? spin_or_mutex's sweep for every
// lock kind, across the time the lock is held, the time between
// acquisitions, the thread count and where the threads run.
#include "lock_bench.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "locks.h"
#include "place.h"
#include "sweep.h"

namespace {

template <class L>
void init(const benchmark::State&) {
  shared<L>.init();
}

template <class L>
void fini(const benchmark::State&) {
  shared<L>.fini();
}

// One iteration is one acquisition, so Google Benchmark's real time per
// iteration of a threaded run (wall time over all threads' iterations) is
// the wall-clock cost of one acquisition.
//
// Handoffs are counted after the timed loop, in an untimed run of one
// eighth as many acquisitions under the same threads, work and placement.
// Counted inside the timed loop, the owner check adds a cache-line transfer
// to every handoff and made spin locks a third slower here: it would change
// the very figure it explains.
template <class L>
void sweep(benchmark::State& st, placement where, long hold, long think) {
  arena<L>& a = shared<L>;
  if (a.error) return st.SkipWithError(std::strerror(a.error));
  pin p(where, st.thread_index());
  if (p.error) return st.SkipWithError(std::strerror(p.error));
  std::uint64_t x = st.thread_index();
  walker<L, false> timed{a, st.thread_index()};
  for (auto _ : st) {
    timed.step(hold, x);
    x = work(think, x);
  }
  if constexpr (L::excludes) {
    walker<L, true> counted{a, st.thread_index()};
    benchmark::IterationCount n = st.iterations() / 8 + 1;
    for (benchmark::IterationCount k = 0; k < n; ++k) {
      counted.step(hold, x);
      x = work(think, x);
    }
    // Every thread makes the same n acquisitions: the mean of the threads'
    // fractions is the fraction of all acquisitions.
    st.counters["handoffs"] =
        benchmark::Counter(double(counted.handoffs) / n, benchmark::Counter::kAvgThreads);
  }
  benchmark::DoNotOptimize(x);
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
    sweep<mutex>(st, unpinned, 0, 0);
  })->Setup(init<mutex>)->Teardown(fini<mutex>)->Iterations(size)->UseRealTime()->Threads(2);
}

// Every kind at every thread count, unpinned, with no think time and with
// no hold and a 1 us hold, and classic: the main question in under three
// minutes on two CPUs.
const char* const default_filter = "^[a-z_]+/unpinned/hold:(0|1000)/think:0/|^classic/";
