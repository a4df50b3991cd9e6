// One run of a case without Google Benchmark: the cut of a run that
// overruns, the counting pass with one thread and with a lock that starves
// all threads but one, and the figures: Jain's index and the wait
// percentiles on known inputs.
#include "trial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "locks.h"
#include "stats.h"
#include "sweep.h"

namespace {

TEST(stats, jain_index) {
  EXPECT_DOUBLE_EQ(jain({7, 7, 7, 7}), 1);
  EXPECT_DOUBLE_EQ(jain({0, 12, 0, 0}), 0.25) << "one thread took all of four";
  EXPECT_DOUBLE_EQ(jain({1, 3}), 0.8);
  EXPECT_DOUBLE_EQ(jain({5}), 1);
  EXPECT_DOUBLE_EQ(jain({0, 0}), 0) << "nobody got anything";
}

TEST(stats, percentiles_by_nearest_rank) {
  std::vector<int> one{42};
  for (double p : {0.5, 0.99, 0.999, 1.0}) EXPECT_EQ(percentile(one, p), 42);
  std::vector<int> hundred;
  for (int v = 100; v >= 1; --v) hundred.push_back(v);
  EXPECT_EQ(percentile(hundred, 0.5), 50);
  EXPECT_EQ(percentile(hundred, 0.99), 99);
  EXPECT_EQ(percentile(hundred, 0.999), 100);
  EXPECT_EQ(percentile(hundred, 1.0), 100);
  std::vector<int> thousand;
  for (int v = 1; v <= 1000; ++v) thousand.push_back(v);
  EXPECT_EQ(percentile(thousand, 0.999), 999);
  std::vector<int> ties{5, 1, 5, 5};
  EXPECT_EQ(percentile(ties, 0.5), 5);
  EXPECT_EQ(percentile(ties, 0.25), 1);
  std::vector<int> none;
  EXPECT_EQ(percentile(none, 0.5), 0);
}

const tick_clock& clock() {
  static tick_clock c = make_clock();
  return c;
}

// Runs trial t's counting pass on its threads, as if their timed loops of
// 0.2 s ended 50 ms from now (a pass of 20 ms after that), and returns its
// figures by name. The 50 ms are for starting the threads: under an
// emulator that took a fifth of the pass, whose waits then fell short.
template <class W>
std::map<std::string, double> pass_of(trial<W>& t, int read = 0) {
  std::uint64_t ms = std::uint64_t(1e6 / clock().ns_per_tick), now = clock().now() + 50 * ms;
  for (record& r : t.threads) r.start = now - 200 * ms, r.stop = now;
  std::vector<std::thread> threads;
  for (int i = 0; i < int(t.threads.size()); ++i)
    threads.emplace_back([&t, i, read] {
      auto mine = t.work.join(i, 0, 0, read);
      auto [first, last] = loops(t.threads);
      t.pass(mine, first, last);
    });
  for (auto& th : threads) th.join();
  auto f = t.figures(1000);
  return {f.begin(), f.end()};
}

TEST(pass, one_thread_is_fair_and_never_hands_off) {
  trial<exclusive<mutex>> t(1, clock(), UINT64_MAX, true);
  auto f = pass_of(t);
  EXPECT_EQ(f[counter::fairness], 1);
  EXPECT_EQ(f[counter::handoffs], 0);
  EXPECT_EQ(f[counter::starved], 0);
  EXPECT_GT(t.threads[0].acquisitions, 0);
  EXPECT_EQ(t.threads[0].waits.size(), std::size_t((t.threads[0].acquisitions + every - 1) / every))
      << "one acquisition in every is timed, the first and the last included";
  EXPECT_LE(f[counter::wait_p50], f[counter::wait_p99]);
  EXPECT_LE(f[counter::wait_p99], f[counter::wait_max]);
}

// The first thread to ask keeps the lock to itself: the others wait until
// the pass is over.
struct favourite : kind {
  static constexpr const char* name = "favourite";
  std::mutex m;
  std::atomic<bool> chosen{false};
  const std::atomic<bool>* over = nullptr;  // the trial's stop
  static thread_local bool mine;
  void lock(local&) {
    if (!mine && !chosen.exchange(true)) mine = true;
    while (!mine && !over->load()) std::this_thread::yield();
    m.lock();
  }
  void unlock(local&) { m.unlock(); }
};
thread_local bool favourite::mine = false;

TEST(pass, ends_when_threads_are_starved_and_says_so) {
  trial<exclusive<favourite>> t(3, clock(), UINT64_MAX, true);
  t.work.lock.over = &t.stop;
  auto f = pass_of(t);
  EXPECT_EQ(f[counter::starved], 2);
  EXPECT_DOUBLE_EQ(f[counter::fairness], 1.0 / 3);
  EXPECT_EQ(f[counter::handoffs], 0) << "the lock never changed hands in the pass";
}

// A shared lock that keeps writers out until `until` (set to 300 ms after
// the pass starts, well after its end) or until the pass is over: the first
// writer to get in ends the pass, and every other writer starves.
struct no_writers : shared_mutex {
  static constexpr const char* name = "no_writers";
  const std::atomic<bool>* over = nullptr;  // the trial's stop
  std::chrono::steady_clock::time_point until;
  void lock(local& l) {
    while (!over->load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    shared_mutex::lock(l);
  }
};

// The figures of a pass with reads: the waits by role, and the writes made
// of those asked for, all of them under a sound lock and none where every
// writer starves; reads only ask for no writes.
TEST(pass, with_reads_counts_by_role_and_the_writes_made) {
  trial<mixed<shared_mutex>> sound(2, clock(), UINT64_MAX, true);
  auto f = pass_of(sound, 50);
  for (const char* name : mix_counters) EXPECT_EQ(f.count(name), 1u) << name;
  EXPECT_GT(f[counter::writes_share], 0.9) << "at most one write per thread is left waiting";
  EXPECT_LE(f[counter::write_wait_p99], f[counter::write_wait_max]);
  EXPECT_GE(f[counter::readers_max], 1);

  trial<mixed<no_writers>> starving(3, clock(), UINT64_MAX, true);
  starving.work.lock.over = &starving.stop;
  starving.work.lock.until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  f = pass_of(starving, 50);
  EXPECT_DOUBLE_EQ(f[counter::writes_share], 1.0 / 3) << "one write made of three asked";
  EXPECT_GE(f[counter::write_wait_max], 2e7) << "the writers waited out the pass of 20 ms";

  trial<mixed<shared_mutex>> reading(2, clock(), UINT64_MAX, true);
  f = pass_of(reading, 100);
  EXPECT_EQ(f.count(counter::writes_share), 0u) << "reads only ask for no writes";
  EXPECT_EQ(f.count(counter::write_wait_p99), 0u);
  EXPECT_EQ(f.count(counter::read_wait_p99), 1u);
}

// A lock that takes a tenth of a millisecond to get: 2,000 acquisitions
// take at least 0.2 s.
struct slow : kind {
  static constexpr const char* name = "slow";
  std::mutex m;
  std::atomic<long> taken{0};
  void lock(local&) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    m.lock();
    ++taken;
  }
  void unlock(local&) { m.unlock(); }
};

// Each thread's timed loop of n acquisitions under limit `cut` (ticks):
// whether each ended whole.
template <class W>
std::vector<bool> timed_loops(trial<W>& t, long n) {
  std::vector<char> whole(t.threads.size());
  std::vector<std::thread> threads;
  for (int i = 0; i < int(t.threads.size()); ++i)
    threads.emplace_back([&, i] {
      auto mine = t.work.join(i, 0, 0);
      whole[i] = t.timed(mine, n);
    });
  for (auto& th : threads) th.join();
  return {whole.begin(), whole.end()};
}

// A run that overruns its limit is cut in every thread, long before its
// acquisitions are done; without a limit, or without a lock to wait for,
// none is.
TEST(trial, cuts_a_run_that_overruns_its_limit_in_every_thread) {
  std::uint64_t ms = std::uint64_t(1e6 / clock().ns_per_tick);
  trial<exclusive<slow>> cut(2, clock(), 5 * ms, true);
  EXPECT_EQ(timed_loops(cut, 2000), (std::vector<bool>{false, false}));
  EXPECT_TRUE(cut.failed);
  // The watchdog raises its flag after 50 acquisitions of each thread;
  // each looks at it every 64 (a thread that read the clock itself every
  // 256 would make twice these).
  EXPECT_LE(cut.work.lock.taken, 2 * 192);
  trial<exclusive<slow>> whole(2, clock(), UINT64_MAX, true);
  EXPECT_EQ(timed_loops(whole, 300), (std::vector<bool>{true, true}));
  EXPECT_EQ(whole.work.lock.taken, 600) << "exactly the acquisitions asked, over whole chunks and a part";
  // A run of one acquisition a thread, past its limit, is cut too.
  trial<exclusive<slow>> one(2, clock(), 1, true);
  while (!one.overran) std::this_thread::yield();
  EXPECT_EQ(timed_loops(one, 1), (std::vector<bool>{false, false}));
  trial<exclusive<none>> baseline(2, clock(), 0, true);
  EXPECT_EQ(timed_loops(baseline, 1000), (std::vector<bool>{true, true}));
  EXPECT_FALSE(baseline.counting) << "a baseline has no lock to count";
}

// A workload whose think ends the pass, as another thread's deadline would
// while this one thinks.
struct stopped_in_think {
  static constexpr bool waits = true, mixes = false;
  struct walk {};
  struct thread {
    int me;
    walk at;
    long handoffs;
    bool wrote;
    int readers_max;
    bool broke;
  };
  static inline std::atomic<bool>* over;
  explicit stopped_in_think(bool = false) {}
  thread join(int me, long, long, int = 0) { return {me, {}, 0, false, 0, false}; }
  static bool writes_next(const thread&, const walk&) { return true; }
  template <bool count>
  void step(thread&, walk&) {}
  template <bool count, class C>
  std::uint64_t timed_step(thread&, walk&, const C&) {
    return 0;
  }
  static void think(walk&) { over->store(true); }
};

// A thread that comes to its pass only after the deadline (held up on a
// loaded machine) still counts the acquisition it made: one thread alone is
// never starved.
TEST(pass, counts_the_acquisition_that_ends_it) {
  trial<exclusive<mutex>> t(1, clock(), UINT64_MAX, true);
  std::uint64_t now = clock().now(), ms = std::uint64_t(1e6 / clock().ns_per_tick);
  t.threads[0].start = now - 1002 * ms, t.threads[0].stop = now - 1000 * ms;
  auto mine = t.work.join(0, 0, 0);
  auto [first, last] = loops(t.threads);
  t.pass(mine, first, last);
  EXPECT_EQ(t.threads[0].acquisitions, 1);
  auto f = t.figures(1000);
  std::map<std::string, double> by(f.begin(), f.end());
  EXPECT_EQ(by[counter::starved], 0);
  EXPECT_EQ(by[counter::fairness], 1);
}

// An acquisition made before the pass ended counts, though the end came
// while its thread thought after it.
TEST(pass, counts_an_acquisition_made_before_the_end) {
  trial<stopped_in_think> t(1, clock(), UINT64_MAX, true);
  stopped_in_think::over = &t.stop;
  pass_of(t);
  EXPECT_EQ(t.threads[0].acquisitions, 1);
}

TEST(pass, overlap_and_span_of_the_timed_loops) {
  std::vector<record> r(2);
  r[0].start = 0, r[0].stop = 100;
  r[1].start = 20, r[1].stop = 60;  // ran alone with the other from 60 on
  std::map<std::string, double> f;
  for (auto [name, value] : figures(r, false, false, 2.0, 10)) f[name] = value;
  EXPECT_DOUBLE_EQ(f[counter::overlap], 0.4);
  EXPECT_DOUBLE_EQ(f[counter::span_ns], 100 * 2.0 / 20);
  EXPECT_EQ(f.count(counter::fairness), 0u) << "a baseline has no lock figures";
  r[1].start = 100, r[1].stop = 150;
  for (auto [name, value] : figures(r, false, false, 1, 10)) f[name] = value;
  EXPECT_EQ(f[counter::overlap], 0) << "one loop ended before the other began";
}

}  // namespace
