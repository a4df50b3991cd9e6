// The counting pass and its figures: Jain's index and the wait percentiles
// on known inputs, and the pass itself with one thread and with a lock that
// starves all threads but one.
#include "pass.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "locks.h"
#include "stats.h"

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

// Runs the counting pass of lock L on n threads, as if their timed loops
// had just ended, and returns its figures by name.
template <class L>
std::map<std::string, double> pass_with(int n) {
  arena<L>& a = shared<L>;
  a.init();
  run.reset(n);
  // As after timed loops of 0.2 s: a pass of 20 ms.
  std::uint64_t now = clock().now();
  for (record& r : run.threads) r.start = now - std::uint64_t(2e8 / clock().ns_per_tick), r.stop = now;
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t)
    threads.emplace_back([&a, t] {
      std::uint64_t x = t;
      count_pass(a, t, 0, 0, x, clock());
    });
  for (auto& t : threads) t.join();
  a.fini();
  auto f = figures(run.threads, true, clock().ns_per_tick, 1000);
  return {f.begin(), f.end()};
}

TEST(pass, one_thread_is_fair_and_never_hands_off) {
  auto f = pass_with<mutex>(1);
  EXPECT_EQ(f["fairness"], 1);
  EXPECT_EQ(f["handoffs"], 0);
  EXPECT_EQ(f["starved"], 0);
  EXPECT_GT(run.threads[0].acquisitions, 0);
  EXPECT_EQ(run.threads[0].waits.size(), std::size_t((run.threads[0].acquisitions + 1 + every - 1) / every))
      << "one acquisition in every is timed, the first included";
  EXPECT_LE(f["wait_p50"], f["wait_p99"]);
  EXPECT_LE(f["wait_p99"], f["wait_max"]);
}

// The first thread to ask keeps the lock to itself: the others wait until
// the pass is over.
struct favourite : kind {
  static constexpr const char* name = "favourite";
  std::mutex m;
  std::atomic<bool> chosen{false};
  static thread_local bool mine;
  void lock(local&) {
    if (!mine && !chosen.exchange(true)) mine = true;
    while (!mine && !run.stop.load()) std::this_thread::yield();
    m.lock();
  }
  void unlock(local&) { m.unlock(); }
};
thread_local bool favourite::mine = false;

TEST(pass, ends_when_threads_are_starved_and_says_so) {
  auto f = pass_with<favourite>(3);
  EXPECT_EQ(f["starved"], 2);
  EXPECT_DOUBLE_EQ(f["fairness"], 1.0 / 3);
  EXPECT_EQ(f["handoffs"], 0) << "the lock never changed hands in the pass";
}

TEST(pass, overlap_and_span_of_the_timed_loops) {
  std::vector<record> r(2);
  r[0].start = 0, r[0].stop = 100;
  r[1].start = 20, r[1].stop = 60;  // ran alone with the other from 60 on
  std::map<std::string, double> f;
  for (auto [name, value] : figures(r, false, 2.0, 10)) f[name] = value;
  EXPECT_DOUBLE_EQ(f["overlap"], 0.4);
  EXPECT_DOUBLE_EQ(f["span_ns"], 100 * 2.0 / 20);
  EXPECT_EQ(f.count("fairness"), 0u) << "a baseline has no lock figures";
  r[1].start = 100, r[1].stop = 150;
  for (auto [name, value] : figures(r, false, 1, 10)) f[name] = value;
  EXPECT_EQ(f["overlap"], 0) << "one loop ended before the other began";
}

}  // namespace
