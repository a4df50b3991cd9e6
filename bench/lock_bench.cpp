// Spin or mutex? spin_or_mutex's sweep for every lock kind the platform
// offers, across thread counts, private work and thread placement.
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "locks.h"
#include "place.h"
#include "sweep.h"

template <class L>
void init(const benchmark::State&) {
  shared<L>.init();
}

template <class L>
void fini(const benchmark::State&) {
  shared<L>.lock.fini();
}

// One iteration is one acquisition, so Google Benchmark's real time per
// iteration of a threaded run (wall time over all threads' iterations) is
// the wall-clock cost of one acquisition.
//
// Handoffs are counted after the timed loop, in an untimed run of one
// eighth as many acquisitions under the same threads, work and placement.
// Counted inside the timed loop (inline_count below), the owner check adds
// a cache-line transfer to handoffs and made spin locks a third slower here:
// it would change the very figure it explains.
template <class L, bool inline_count>
void run(benchmark::State& st) {
  pin p(static_cast<placement>(st.range(1)), st.thread_index());
  long steps = st.range(0);
  std::uint64_t x = st.thread_index();
  walker<L, inline_count> timed{shared<L>, st.thread_index()};
  for (auto _ : st) {
    timed.step();
    x = work(steps, x);
  }
  if constexpr (L::excludes && !inline_count) {
    walker<L, true> counted{shared<L>, st.thread_index()};
    benchmark::IterationCount n = st.iterations() / 8 + 1;
    for (benchmark::IterationCount k = 0; k < n; ++k) {
      counted.step();
      x = work(steps, x);
    }
    // Every thread makes the same n acquisitions: the mean of the threads'
    // fractions is the fraction of all acquisitions.
    st.counters["handoffs"] =
        benchmark::Counter(double(counted.handoffs) / n, benchmark::Counter::kAvgThreads);
  }
  benchmark::DoNotOptimize(x);
}

template <class L>
void sweep(benchmark::State& st) {
  run<L, false>(st);
}

// The same timed loop with the handoff count inside it, to show what
// counting there would cost.
template <class L>
void inline_count(benchmark::State& st) {
  run<L, true>(st);
}

using family = benchmark::internal::Benchmark;

// What every case of lock kind L shares: a fresh lock and array per run,
// wall-clock time, and the names of the two arguments.
template <class L>
family* kind(family* b) {
  return b->Setup(init<L>)->Teardown(fini<L>)->ArgNames({"work", "pin"})->UseRealTime();
}

// Work: none (spin_or_mutex's loop), then 100 and 1000 steps of private work
// outside the lock, about 0.1 and 1 us here, as contention falls away.
// Threads 1, 2, 4, 8: 8 is four times the CPUs here, where a spinning waiter
// burns the time slice that the preempted holder needs.
template <class L>
void all(family* b) {
  kind<L>(b)->ArgsProduct({{0, 100, 1000}, {unpinned, spread, one_cpu}})->ThreadRange(1, 8);
}

// The inline count is priced where handoffs are most frequent: no work.
template <class L>
void no_work(family* b) {
  kind<L>(b)->Args({0, unpinned})->ThreadRange(1, 8);
}

// spin_or_mutex's own experiment, to set beside its Result: the default
// mutex, two unpinned threads, one pass of 10,000,000 acquisitions each.
void classic(family* b) { kind<mutex>(b)->Args({0, unpinned})->Iterations(size)->Threads(2); }

BENCHMARK_TEMPLATE(sweep, mutex)->Apply(all<mutex>);
BENCHMARK_TEMPLATE(sweep, adaptive)->Apply(all<adaptive>);
BENCHMARK_TEMPLATE(sweep, spin)->Apply(all<spin>);
BENCHMARK_TEMPLATE(sweep, std_mutex)->Apply(all<std_mutex>);
BENCHMARK_TEMPLATE(sweep, none)->Apply(all<none>);
BENCHMARK_TEMPLATE(sweep, atomic)->Apply(all<atomic>);
BENCHMARK_TEMPLATE(inline_count, mutex)->Apply(no_work<mutex>);
BENCHMARK_TEMPLATE(inline_count, adaptive)->Apply(no_work<adaptive>);
BENCHMARK_TEMPLATE(inline_count, spin)->Apply(no_work<spin>);
BENCHMARK_TEMPLATE(inline_count, std_mutex)->Apply(no_work<std_mutex>);
BENCHMARK_TEMPLATE(sweep, mutex)->Name("classic")->Apply(classic);

// 0.2 s per case instead of Google Benchmark's 0.5 s keeps a run with no
// flags under three minutes; a --benchmark_min_time given later wins.
int main(int argc, char** argv) {
  // Until a process first starts a thread, glibc takes its mutexes without
  // the lock prefix; the first one-thread cases would then cost a third to a half of
  // the later ones. Every case runs in a multi-threaded process instead.
  std::thread([] {}).join();
  std::vector<char*> args(argv, argv + argc);
  char min_time[] = "--benchmark_min_time=0.2";
  args.insert(args.begin() + 1, min_time);
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
