// Which lock, for which critical section? spin_or_mutex's sweep for every
// lock kind, across the time the lock is held, the time between
// acquisitions, the thread count and where the threads run.
#include "lock_bench.h"

#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "locks.h"
#include "names.h"
#include "place.h"
#include "plugin.h"
#include "sweep.h"
#include "trial.h"

settings config;

namespace {

// The running case's trial. Google Benchmark calls Setup and Teardown as
// plain functions around the threads of a run, so the trial is reached
// through this pointer, one per workload: made in Setup, gone in Teardown.
template <class W>
std::unique_ptr<trial<W>> running;

// Google Benchmark picks a run's iterations from shorter runs before it. A
// FIFO lock whose next owner is preempted (more threads than CPUs, or other
// load) waits a time slice at every handoff, and may turn a run planned for
// a fifth of a second into minutes. Such a run is cut at ten times the
// minimum time, and the case reported as skipped. A case of a fixed
// iteration count (classic, or --benchmark_min_time=100x) asked for its
// length, and is never cut.
template <class W, bool may_cut = true>
void setup(const benchmark::State& st) {
  double limit_ns = config.min_time * 10 * 1e9;
  std::uint64_t cut =
      may_cut && limit_ns > 0 ? std::uint64_t(limit_ns / config.clock.ns_per_tick) : UINT64_MAX;
  running<W> = std::make_unique<trial<W>>(st.threads(), config.clock, cut, config.counting_pass);
}

// The cases cut, or failed, in a run, by name and thread count: every later
// run of theirs is skipped. Google Benchmark 1.7 crashes making the
// aggregates of a case whose first repetition failed and whose later ones
// did not (it reads statistics the failed run never set), and aborts on
// one whose runs report different iteration counts, failed ones included.
// So a cut or skipped run finishes its batch as a whole run does, and a
// case once cut fails in every later run: it is no choice for that many
// threads anyway, and its later runs, of the cut run's iteration count,
// would be too short to tell anything.
std::set<std::string> cut_cases;
// The running case's name and thread count, and whether it is in
// cut_cases: set by its thread 0 before the timed loop, whose start all
// threads pass together. (The others allocate nothing before that: where
// memory is short, a thread that cannot start is what fails.)
std::string running_case;
std::atomic<bool> skipping{false};

// Tells config.ran about a run that Google Benchmark reports: one that
// failed, or timed at least (nearly) the minimum time; the shorter runs
// before it only find how many iterations it takes.
void count(const benchmark::State& st, double timed_s) {
  if (config.ran && (st.error_occurred() || timed_s >= 0.9 * config.min_time)) config.ran();
}

template <class W>
void teardown(const benchmark::State& st) {
  trial<W>& t = *running<W>;
  if (t.failed) cut_cases.insert(running_case);
  count(st, double(span_ticks(t.threads)) * t.clock.ns_per_tick / 1e9);
  running<W>.reset();
}

std::string too_slow() {
  char s[160];
  std::snprintf(s, sizeof s,
                "cut: a run took over %g s, ten times --benchmark_min_time; threads wait for "
                "preempted lock owners",
                config.min_time * 10);
  return s;
}

// One iteration is one acquisition, so Google Benchmark's real time per
// iteration of a threaded run (the mean of the threads' own times, over all
// threads' iterations) is the wall-clock cost of one acquisition. The loop
// is one batch, so that each thread can note when its loop began and ended.
// Hold and think are times; each thread turns them into work steps on the
// CPU it runs on. The figures of the whole run are thread 0's counters
// (Google Benchmark adds up the threads' counters).
template <class W>
void measure(benchmark::State& st, const std::string& name, placement where, int read, long hold,
             long think) {
  trial<W>& t = *running<W>;
  if (t.work.error) return st.SkipWithError(std::strerror(t.work.error));
  int me = st.thread_index();
  if (me == 0) {
    running_case = name + "/threads:" + std::to_string(st.threads());
    skipping = cut_cases.count(running_case) > 0;
  }
  pin p(where, me, st.threads());
  if (!p.error.empty()) {
    t.file(me, false);
    return st.SkipWithError(p.error.c_str());
  }
  double rate = step_rate(t.clock);
  auto mine = t.work.join(me, std::lround(hold * rate), std::lround(think * rate), read);
  bool whole = true, skip = false;
  while (st.KeepRunningBatch(st.max_iterations))
    if (!(skip = skipping)) whole = t.timed(mine, st.max_iterations);
  if (skip) return st.SkipWithError("cut or failed in an earlier run of this case");
  if (!whole) st.SkipWithError(too_slow().c_str());
  // Google Benchmark's threads have all left the timed loop here.
  if (t.failed) return;
  t.pass(mine);
  benchmark::DoNotOptimize(mine.at.x);
  if (t.file(mine))
    for (auto [name, value] : t.figures(double(st.iterations()))) st.counters[name] = value;
}

std::vector<listed> cases;

// The values a family of cases is made from.
struct grid {
  std::vector<placement> places;
  std::vector<int> reads;
  std::vector<long> holds, thinks;
  std::vector<int> threads;
};

// The exclusive kinds the default set runs with reads, beside the kinds
// that share: mutex, what a program has when it does not choose, and
// tbb_spin, the fastest of the exclusive kinds on this project's machines.
const std::vector<std::string> mix_exclusive = {"mutex", "tbb_spin"};

// Every placement of g at every thread count; a pair only where this
// machine has it, and only for two threads. One family per hold: Google
// Benchmark warns about families of over 100 cases, which a machine of 33
// CPUs or more would reach.
template <class W>
void add(const std::string& kind, int read, const grid& g) {
  for (placement where : g.places) {
    if (is_pair(where) && plan(where, 2, machine().pus).empty()) continue;
    for (long hold : g.holds) {
      for (long think : g.thinks) {
        std::string name = case_name(kind, placement_names[where], read, hold, think);
        auto* b = benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
          measure<W>(st, name, where, read, hold, think);
        });
        b->Setup(setup<W>)->Teardown(teardown<W>)->UseRealTime();
        for (int t : is_pair(where) ? std::vector<int>{2} : g.threads) {
          b->Threads(t);
          cases.push_back({name + "/real_time/threads:" + std::to_string(t), name, kind,
                           placement_names[where], read, hold, think, t});
        }
      }
    }
  }
}

// Kind L at each read share of g: without reads every kind, with reads
// every lock; the kinds asked for, or where none were, when other values
// were, those of the default set.
template <class L>
void add(const grid& g, const asked& a) {
  auto in = [](const std::vector<std::string>& names) {
    return std::find(names.begin(), names.end(), L::name) != names.end();
  };
  for (int read : g.reads) {
    if (read && !L::excludes) continue;
    if (!a.kinds.empty() ? !in(a.kinds) : a.any() && read && !L::shares && !in(mix_exclusive))
      continue;
    if (read)
      add<mixed<L>>(L::name, read, g);
    else
      add<exclusive<L>>(L::name, 0, g);
  }
}

template <class... K>
void add_all(std::tuple<K...>*, const grid& g, const asked& a) {
  (add<K>(g, a), ...);
}

// The kinds loaded from --lock objects, after the built-in ones.
template <int N = 0>
void add_loaded(const grid& g, const asked& a) {
  if constexpr (N < most_plugins) {
    if (N >= loaded_plugins) return;
    if (plugins[N].lock_shared) {
      loaded<N, true>::name = plugins[N].name.c_str();
      add<loaded<N, true>>(g, a);
    } else {
      loaded<N, false>::name = plugins[N].name.c_str();
      add<loaded<N, false>>(g, a);
    }
    add_loaded<N + 1>(g, a);
  }
}

template <class... K>
std::vector<std::string> names_of(std::tuple<K...>*) {
  std::vector<std::string> names = {K::name...};
  for (int p = 0; p < loaded_plugins; ++p) names.push_back(plugins[p].name);
  return names;
}

// The ping-pong: one cache line bounced between two threads pinned on CPUs
// a and b, the floor under a lock handoff between them. Thread 0 writes the
// odd numbers, thread 1 the even ones, each after it has seen the other's:
// every write is one transfer of the line.
struct alignas(64) court {
  std::atomic<long> ball{0};
  alignas(64) std::atomic<bool> failed{false};  // a thread could not be pinned
};
std::unique_ptr<court> table;  // the running case's, made in Setup

std::chrono::steady_clock::time_point served;
void serve(const benchmark::State&) {
  table = std::make_unique<court>();
  served = std::chrono::steady_clock::now();
}
void clear(const benchmark::State& st) {
  table.reset();
  count(st, std::chrono::duration<double>(std::chrono::steady_clock::now() - served).count());
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
    table->failed = true;
    return st.SkipWithError(p.error.c_str());
  }
  const int patience = a == b ? 4 : 1 << 14;
  while (st.KeepRunningBatch(st.max_iterations)) {
    auto start = std::chrono::steady_clock::now();
    for (benchmark::IterationCount k = 0; k < st.max_iterations; ++k) {
      long mine = 2 * k + me + 1;
      bool failed = false;
      for (int spins = 0; table->ball.load(std::memory_order_acquire) != mine - 1;) {
        if (++spins < patience) {
          relax();
          continue;
        }
        spins = 0;
        if ((failed = table->failed.load(std::memory_order_relaxed))) break;
        sched_yield();
      }
      if (failed) {
        st.SkipWithError("the other thread could not be pinned");
        break;
      }
      table->ball.store(mine, std::memory_order_release);
    }
    std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    if (me == 0) st.counters[counter::transfer_ns] = took.count() / (2.0 * double(st.max_iterations));
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
    b->Setup(serve)->Teardown(clear)->ArgName("cpu")->UseRealTime()->Threads(2);
    for (std::size_t j = i; j < cpus.size(); ++j) {
      b->Arg(cpus[j]);
      std::string shown = name + "/cpu:" + std::to_string(cpus[j]);
      cases.push_back({shown + "/real_time/threads:2", shown, "", "", 0, 0, 0, 2});
    }
  }
}

}  // namespace

const std::vector<listed>& registered() { return cases; }

void forget_cases() {
  benchmark::ClearRegisteredBenchmarks();
  cases.clear();
}

std::vector<std::string> kind_names() { return names_of(static_cast<kinds*>(nullptr)); }

void register_cases(const asked& a) {
  int cpus = int(machine().pus.size());
  if (a.any()) {
    // Only the cases asked for: the default set's values for the rest.
    grid g{{unpinned}, {0, 90, 100}, {0, 1000}, {0}, {cpus, 4 * cpus}};
    if (!a.places.empty()) {
      g.places.clear();
      for (const std::string& p : a.places)
        g.places.push_back(placement(
            std::find(std::begin(placement_names), std::end(placement_names), p) -
            std::begin(placement_names)));
    }
    if (!a.reads.empty()) g.reads = a.reads;
    if (!a.holds.empty()) g.holds = a.holds;
    if (!a.thinks.empty()) g.thinks = a.thinks;
    if (!a.threads.empty()) g.threads = a.threads;
    add_all(static_cast<kinds*>(nullptr), g, a);
    return add_loaded(g, a);
  }
  std::vector<placement> places;
  for (int w = unpinned; w <= package; ++w) places.push_back(placement(w));
  grid g{places, reads, holds, thinks, thread_counts(cpus)};
  add_all(static_cast<kinds*>(nullptr), g, a);
  add_loaded(g, a);
  // spin_or_mutex's own experiment, to set beside its Result: the default
  // mutex, two unpinned threads, one pass of 10,000,000 acquisitions each.
  using W = exclusive<mutex>;
  benchmark::RegisterBenchmark("classic", [](benchmark::State& st) {
    measure<W>(st, "classic", unpinned, 0, 0, 0);
  })->Setup(setup<W, false>)->Teardown(teardown<W>)->Iterations(size)->UseRealTime()->Threads(2);
  cases.push_back({"classic/iterations:" + std::to_string(size) + "/real_time/threads:2", "classic",
                   "", "", 0, 0, 0, 2});
  add_pingpong();
}

template <class... K>
std::string shared_names(std::tuple<K...>*, const std::string& between) {
  std::string names;
  ((names += K::shares ? (names.empty() ? "" : between) + K::name : ""), ...);
  for (int p = 0; p < loaded_plugins; ++p)
    if (plugins[p].lock_shared) names += (names.empty() ? "" : between) + plugins[p].name;
  return names;
}
template <class... K>
bool excluding(std::tuple<K...>*, const std::string& kind) {
  bool baseline = ((!K::excludes && kind == K::name) || ...);
  return !baseline;
}
bool excludes(const std::string& kind) { return excluding(static_cast<kinds*>(nullptr), kind); }

std::string shared_kinds(const std::string& between) {
  return shared_names(static_cast<kinds*>(nullptr), between);
}

// Unpinned, with no think time, no hold and a 1 us hold, at as many threads
// as CPUs and four times as many: every kind with writes only, the kinds
// that share and mix_exclusive with 90 and 100% reads, and classic. Both
// questions in under three minutes on two CPUs.
std::string default_filter() {
  int cpus = int(machine().pus.size());
  std::string tail = "hold:(0|1us)/think:0/real_time/threads:(" + std::to_string(cpus) + "|" +
                     std::to_string(4 * cpus) + ")$";
  return "^[a-z0-9_]+/unpinned/" + tail + "|^(" + shared_kinds("|") +
         "|" + mix_exclusive[0] + "|" + mix_exclusive[1] + ")/unpinned/read:(90|100)/" + tail +
         "|^classic/";
}
