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

// Work: none (spin_or_mutex's loop), then 100 and 1000 steps of private work
// outside the lock, about 0.1 and 1 us here, as contention falls away.
// Threads: 8 is four times the CPUs here, where a spinning waiter burns the
// time slice that the preempted holder needs.
void all(benchmark::internal::Benchmark* b) {
  b->ArgNames({"work", "pin"})
      ->ArgsProduct({{0, 100, 1000}, {unpinned, spread, one_cpu}})
      ->Threads(1)
      ->Threads(2)
      ->Threads(4)
      ->Threads(8)
      ->UseRealTime();
}

// The inline count is priced where handoffs are most frequent: no work.
void no_work(benchmark::internal::Benchmark* b) {
  b->ArgNames({"work", "pin"})
      ->Args({0, unpinned})
      ->Threads(1)
      ->Threads(2)
      ->Threads(4)
      ->Threads(8)
      ->UseRealTime();
}

#define LOCK(L)                                                                \
  BENCHMARK_TEMPLATE(sweep, L)->Setup(init<L>)->Teardown(fini<L>)->Apply(all); \
  BENCHMARK_TEMPLATE(inline_count, L)->Setup(init<L>)->Teardown(fini<L>)->Apply(no_work)

LOCK(mutex);
LOCK(adaptive);
LOCK(spin);
LOCK(std_mutex);
BENCHMARK_TEMPLATE(sweep, none)->Setup(init<none>)->Teardown(fini<none>)->Apply(all);
BENCHMARK_TEMPLATE(sweep, atomic)->Setup(init<atomic>)->Teardown(fini<atomic>)->Apply(all);

// spin_or_mutex's own experiment, to set beside its Result: the default
// mutex, two unpinned threads, one pass of 10,000,000 acquisitions each.
BENCHMARK_TEMPLATE(sweep, mutex)
    ->Name("classic")
    ->Setup(init<mutex>)
    ->Teardown(fini<mutex>)
    ->ArgNames({"work", "pin"})
    ->Args({0, unpinned})
    ->Iterations(size)
    ->Threads(2)
    ->UseRealTime();

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
