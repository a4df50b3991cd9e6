// The comparison suite's parts: each lock excludes, the sweep stores and
// counts what it should, and pinning gives the affinity back.
#include "locks.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "place.h"
#include "sweep.h"

namespace {

template <class L>
class excludes : public testing::Test {};
using locking = testing::Types<mutex, adaptive, spin, std_mutex>;
TYPED_TEST_SUITE(excludes, locking);

// A plain counter, so a lock that lets two threads in loses increments.
TYPED_TEST(excludes, counter_ends_at_the_exact_total) {
  TypeParam l;
  l.init();
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int k = 0; k < 200000; ++k) {
        l.lock();
        ++counter;
        l.unlock();
      }
    });
  for (auto& t : threads) t.join();
  l.fini();
  EXPECT_EQ(counter, 800000);
}

// Counts every acquisition of the lock it wraps.
template <class L>
struct counted : L {
  std::atomic<long> acquisitions{0};
  void lock() {
    L::lock();
    acquisitions.fetch_add(1, std::memory_order_relaxed);
  }
};

template <class L>
class sweeps : public testing::Test {};
using kinds = testing::Types<mutex, adaptive, spin, std_mutex, none, atomic>;
TYPED_TEST_SUITE(sweeps, kinds);

// Each thread takes one pass and a few steps past the end, so the walk
// wraps around; returns the handoffs of all threads.
template <class L>
long sweep_with(int threads) {
  constexpr long steps = size + 3;
  arena<counted<L>>& a = shared<counted<L>>;
  a.init();
  a.lock.acquisitions = 0;
  std::vector<long> handoffs(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      walker<counted<L>, true> w{a, t};
      for (long s = 0; s < steps; ++s) w.step();
      handoffs[t] = w.handoffs;
    });
  for (auto& w : workers) w.join();
  a.lock.fini();
  EXPECT_EQ(a.lock.acquisitions.load(), threads * steps);
  EXPECT_TRUE(std::all_of(std::begin(data), std::end(data), [](auto& d) { return d == 0; }))
      << "an element was never stored";
  long total = 0;
  for (long h : handoffs) total += h;
  EXPECT_GE(total, 0);
  EXPECT_LE(total, threads * steps);
  return total;
}

TYPED_TEST(sweeps, store_every_element_and_count_every_acquisition) {
  EXPECT_EQ(sweep_with<TypeParam>(1), 0) << "one thread never hands off";
  sweep_with<TypeParam>(2);
}

TEST(walker, wraps_to_the_first_element) {
  arena<mutex>& a = shared<mutex>;
  a.init();
  walker<mutex, false> w{a, 0};
  for (int s = 0; s < size; ++s) w.step();
  data[0] = data[1] = data[2] = 1;
  w.step();
  w.step();
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(data[1], 0);
  EXPECT_EQ(data[2], 1) << "stored past the steps taken";
  a.lock.fini();
}

cpu_set_t affinity() {
  cpu_set_t s;
  pthread_getaffinity_np(pthread_self(), sizeof s, &s);
  return s;
}

TEST(pin, pins_and_gives_the_affinity_back) {
  cpu_set_t before = affinity();
  std::vector<int> cpus;
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &before)) cpus.push_back(c);
  for (int thread = 0; thread < 3; ++thread) {
    for (placement p : {spread, one_cpu}) {
      {
        pin pinned(p, thread);
        cpu_set_t now = affinity();
        ASSERT_EQ(CPU_COUNT(&now), 1);
        int want = p == spread ? cpus[thread % cpus.size()] : cpus[0];
        EXPECT_TRUE(CPU_ISSET(want, &now)) << "thread " << thread << " placement " << p;
      }
      cpu_set_t after = affinity();
      EXPECT_TRUE(CPU_EQUAL(&before, &after));
    }
  }
  pin left(unpinned, 1);
  cpu_set_t now = affinity();
  EXPECT_TRUE(CPU_EQUAL(&before, &now));
}

}  // namespace
