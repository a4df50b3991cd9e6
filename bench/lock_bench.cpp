// Which lock, for which critical section? spin_or_mutex's sweep for every
// lock kind, across the time the lock is held, the time between
// acquisitions, the thread count and where the threads run.
#include "lock_bench.h"

#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "locks.h"
#include "pass.h"
#include "place.h"
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
// minimum time, and the case reported as skipped. A case of a fixed
// iteration count asked for its length, and is never cut.
double limit_s() { return config.min_time * 10; }
std::string too_slow() {
  char s[160];
  std::snprintf(s, sizeof s,
                "cut: a run took over %g s, ten times --benchmark_min_time; threads wait for "
                "preempted lock owners",
                limit_s());
  return s;
}

// One iteration is one acquisition, so Google Benchmark's real time per
// iteration of a threaded run (the mean of the threads' own times, over all
// threads' iterations) is the wall-clock cost of one acquisition. The loop
// is one batch, so that each thread can note when its loop began and ended.
template <class L>
void sweep(benchmark::State& st, placement where, long hold, long think, bool cut = true) {
  arena<L>& a = shared<L>;
  if (a.error) return st.SkipWithError(std::strerror(a.error));
  int me = st.thread_index();
  pin p(where, me, st.threads());
  if (!p.error.empty()) {
    run.failed = true;
    run.done.fetch_add(1);
    return st.SkipWithError(p.error.c_str());
  }
  std::uint64_t x = me;
  walker<L, false> timed{a, me};
  while (st.KeepRunningBatch(st.max_iterations)) {
    std::uint64_t start = config.clock.now();
    std::uint64_t limit = cut && limit_s() > 0
                              ? start + std::uint64_t(limit_s() * 1e9 / config.clock.ns_per_tick)
                              : UINT64_MAX;
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
        st.SkipWithError(too_slow().c_str());
        break;
      }
    }
    run.threads[me].start = start;
    run.threads[me].stop = config.clock.now();
  }
  // Google Benchmark's threads have all left the timed loop here.
  if (run.failed) return;
  bool pass = L::excludes && config.counting_pass;
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

// Every placement at every thread count; a pair only where this machine
// has it, and only for two threads. One family per hold: Google Benchmark
// warns about families of over 100 cases, which a machine of 33 CPUs or
// more would reach.
template <class L>
void add(const std::vector<int>& threads) {
  for (int w = unpinned; w <= package; ++w) {
    placement where = placement(w);
    if (is_pair(where) && plan(where, 2, machine().pus).empty()) continue;
    std::string name = std::string(L::name) + "/" + placement_names[where];
    for (long hold : holds) {
      auto* b = benchmark::RegisterBenchmark(name.c_str(), [where](benchmark::State& st) {
        sweep<L>(st, where, st.range(0), st.range(1));
      });
      b->Setup(init<L>)->Teardown(fini<L>)->ArgNames({"hold", "think"});
      b->ArgsProduct({{hold}, thinks})->UseRealTime();
      if (is_pair(where))
        b->Threads(2);
      else
        for (int t : threads) b->Threads(t);
    }
  }
}

template <class... K>
void add_all(std::tuple<K...>*, const std::vector<int>& threads) {
  (add<K>(threads), ...);
}

// The ping-pong: one cache line bounced between two threads pinned on CPUs
// a and b, the floor under a lock handoff between them. Thread 0 writes the
// odd numbers, thread 1 the even ones, each after it has seen the other's:
// every write is one transfer of the line.
struct alignas(64) court {
  std::atomic<long> ball;
  alignas(64) std::atomic<bool> failed;  // a thread could not be pinned
};
court table;

void serve(const benchmark::State&) {
  table.ball = 0;
  table.failed = false;
}

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// One iteration is one transfer, as Google Benchmark counts the iterations
// of both threads: Time is nanoseconds per one-way transfer, and so is
// transfer_ns, thread 0's wall time over all transfers. A waiter pauses,
// then yields: on one CPU the other thread can write only then. Between
// two CPUs it yields only after a long wait, when the other thread was
// preempted.
void pingpong(benchmark::State& st, int a, int b) {
  int me = st.thread_index();
  pin p(me == 0 ? a : b);
  if (!p.error.empty()) {
    table.failed = true;
    return st.SkipWithError(p.error.c_str());
  }
  const int patience = a == b ? 4 : 1 << 14;
  while (st.KeepRunningBatch(st.max_iterations)) {
    auto start = std::chrono::steady_clock::now();
    for (benchmark::IterationCount k = 0; k < st.max_iterations; ++k) {
      long mine = 2 * k + me + 1;
      bool failed = false;
      for (int spins = 0; table.ball.load(std::memory_order_acquire) != mine - 1;) {
        if (++spins < patience) {
          relax();
          continue;
        }
        spins = 0;
        if ((failed = table.failed.load(std::memory_order_relaxed))) break;
        sched_yield();
      }
      if (failed) {
        st.SkipWithError("the other thread could not be pinned");
        break;
      }
      table.ball.store(mine, std::memory_order_release);
    }
    std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    if (me == 0) st.counters["transfer_ns"] = took.count() / (2.0 * double(st.max_iterations));
  }
}

// pingpong/cpu:A/cpu:B, B from A on. One family per A: Google Benchmark
// copies all cases found so far for each family that --benchmark_filter=all
// takes, and 2,080 families of one case each would take it half a minute.
void add_pingpong() {
  std::vector<int> cpus = matrix_cpus(machine().pus);
  for (std::size_t i = 0; i < cpus.size(); ++i) {
    int a = cpus[i];
    std::string name = "pingpong/cpu:" + std::to_string(a);
    auto* b = benchmark::RegisterBenchmark(name.c_str(), [a](benchmark::State& st) {
      pingpong(st, a, int(st.range(0)));
    });
    b->Setup(serve)->ArgName("cpu")->UseRealTime()->Threads(2);
    for (std::size_t j = i; j < cpus.size(); ++j) b->Arg(cpus[j]);
  }
}

}  // namespace

void register_cases() {
  add_all(static_cast<kinds*>(nullptr), thread_counts(int(machine().pus.size())));
  // spin_or_mutex's own experiment, to set beside its Result: the default
  // mutex, two unpinned threads, one pass of 10,000,000 acquisitions each.
  benchmark::RegisterBenchmark("classic", [](benchmark::State& st) {
    sweep<mutex>(st, unpinned, 0, 0, false);
  })->Setup(init<mutex>)->Teardown(fini<mutex>)->Iterations(size)->UseRealTime()->Threads(2);
  add_pingpong();
}

// Every kind at every thread count, unpinned, with no think time and with
// no hold and a 1 us hold, and classic: the main question in under three
// minutes on two CPUs.
const char* const default_filter = "^[a-z_]+/unpinned/hold:(0|1000)/think:0/|^classic/";
