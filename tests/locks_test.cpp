// The suite's parts: every lock kind of the registry excludes, the sweep
// stores and counts what it should, and pinning puts threads where their
// placement's plan says, then gives the affinity back.
#include "locks.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "place.h"
#include "sweep.h"

namespace {

template <class T>
struct types_of;
template <class... K>
struct types_of<std::tuple<K...>> {
  using type = testing::Types<K...>;
};
using every_kind = types_of<kinds>::type;

template <class L>
class kind_test : public testing::Test {};
struct kind_name {
  template <class L>
  static std::string GetName(int) {
    return L::name;
  }
};
TYPED_TEST_SUITE(kind_test, every_kind, kind_name);

// FIFO spinlocks hand the lock to one waiter in turn; when that waiter is
// preempted (by other load, or by more threads than CPUs), each handoff waits
// a time slice. The contended checks are kept short for that reason.
constexpr int threads = 2;

// A plain counter read, worked on and written back under the lock: a lock
// that lets two threads in loses increments. The work widens the window.
TYPED_TEST(kind_test, excludes_with_a_held_lock) {
  if constexpr (!TypeParam::excludes) GTEST_SKIP() << "a baseline, not a lock";
  exclusive<TypeParam> a;
  ASSERT_EQ(a.error, 0);
  long counter = 0;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      auto mine = a.lock.join();
      std::uint64_t x = 1;
      for (int k = 0; k < 5000; ++k) {
        a.lock.lock(mine);
        long c = counter;
        x = work(200, x);
        asm volatile("" : "+r"(x));  // the work stays between the read and the write
        counter = c + 1;
        a.lock.unlock(mine);
      }
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(counter, threads * 5000);
}

// Counts every acquisition of the lock it wraps.
template <class L>
struct counted : L {
  std::atomic<long> acquisitions{0};
  void lock(typename L::local& t) {
    L::lock(t);
    acquisitions.fetch_add(1, std::memory_order_relaxed);
  }
};

// n threads take `steps` steps each; returns the handoffs of all threads.
template <class L>
long sweep_with(int n, long steps) {
  exclusive<counted<L>> a;
  std::vector<long> handoffs(n);
  std::vector<std::thread> workers;
  for (int t = 0; t < n; ++t)
    workers.emplace_back([&, t] {
      auto w = a.join(t, 1, 0);
      for (long s = 0; s < steps; ++s) a.template step<true>(w, w.at);
      handoffs[t] = w.handoffs;
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(a.lock.acquisitions.load(), n * steps);
  long total = 0;
  for (long h : handoffs) total += h;
  // The first acquisition of all finds no earlier holder.
  EXPECT_LT(total, n * steps);
  return total;
}

// One thread takes a whole pass and a few steps more, so the walk wraps.
TYPED_TEST(kind_test, sweep_stores_every_element_and_counts_every_acquisition) {
  EXPECT_EQ(sweep_with<TypeParam>(1, size + 3), 0) << "one thread never hands off";
  EXPECT_TRUE(std::all_of(std::begin(data), std::end(data), [](auto& d) { return d == 0; }))
      << "an element was never stored";
  sweep_with<TypeParam>(threads, 20000);
  EXPECT_EQ(data[19999], 0);
  EXPECT_EQ(data[20000], 1) << "stored past the steps taken";
}

// Two walkers taking turns on one thread: every acquisition after the first
// finds the lock last held by the other.
TEST(walker, counts_every_alternation_as_a_handoff) {
  exclusive<mutex> a;
  auto first = a.join(0, 0, 0), second = a.join(1, 0, 0);
  for (int k = 0; k < 100; ++k) {
    a.step<true>(first, first.at);
    a.step<true>(second, second.at);
  }
  EXPECT_EQ(first.handoffs + second.handoffs, 199);
}

TEST(walker, wraps_to_the_first_element) {
  exclusive<mutex> a;
  auto w = a.join(0, 0, 0);
  for (int s = 0; s < size; ++s) a.step<false>(w, w.at);
  data[0] = data[1] = data[2] = 1;
  a.step<false>(w, w.at);
  a.step<false>(w, w.at);
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(data[1], 0);
  EXPECT_EQ(data[2], 1) << "stored past the steps taken";
}

TEST(thread_counts, from_the_machine) {
  using v = std::vector<int>;
  EXPECT_EQ(thread_counts(1), (v{1, 2, 4}));
  EXPECT_EQ(thread_counts(2), (v{1, 2, 4, 8}));
  EXPECT_EQ(thread_counts(6), (v{1, 2, 4, 6, 12, 24}));
  EXPECT_EQ(thread_counts(16), (v{1, 2, 4, 8, 16, 32, 64}));
  EXPECT_EQ(thread_counts(48), (v{1, 2, 4, 8, 16, 32, 48, 96, 192}));
}

cpu_set_t affinity() {
  cpu_set_t s;
  pthread_getaffinity_np(pthread_self(), sizeof s, &s);
  return s;
}

std::vector<int> cpus_of(const cpu_set_t& s) {
  std::vector<int> cpus;
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &s)) cpus.push_back(c);
  return cpus;
}

// hwloc's view of this process holds exactly the CPUs it may use, and a
// pin puts the thread where the plan says, then gives the affinity back.
TEST(pin, pins_where_the_plan_says_and_gives_the_affinity_back) {
  cpu_set_t before = affinity();
  std::vector<int> mine;
  for (const pu& p : machine().pus) mine.push_back(p.os);
  std::sort(mine.begin(), mine.end());
  ASSERT_EQ(mine, cpus_of(before));
  for (int w = spread; w <= package; ++w) {
    placement p = placement(w);
    int threads = is_pair(p) ? 2 : 3;
    std::vector<int> cpus = plan(p, threads, machine().pus);
    if (is_pair(p) && cpus.empty()) continue;  // a pair this machine lacks
    ASSERT_EQ(cpus.size(), std::size_t(threads)) << placement_names[p];
    for (int thread = 0; thread < threads; ++thread) {
      {
        pin pinned(p, thread, threads);
        ASSERT_EQ(pinned.error, "");
        EXPECT_EQ(cpus_of(affinity()), std::vector<int>{cpus[thread]})
            << "thread " << thread << " placement " << placement_names[p];
      }
      cpu_set_t after = affinity();
      EXPECT_TRUE(CPU_EQUAL(&before, &after));
    }
  }
  pin left(unpinned, 1, 2);
  cpu_set_t now = affinity();
  EXPECT_TRUE(CPU_EQUAL(&before, &now));
}

TEST(pin, says_why_it_cannot_pin_and_changes_nothing) {
  cpu_set_t before = affinity();
  for (int cpu : {-1, CPU_SETSIZE - 1, CPU_SETSIZE}) {
    {
      pin nowhere(cpu);
      EXPECT_NE(nowhere.error.find("cannot pin a thread to CPU " + std::to_string(cpu)),
                std::string::npos)
          << nowhere.error;
    }
    cpu_set_t after = affinity();
    EXPECT_TRUE(CPU_EQUAL(&before, &after));
  }
}

}  // namespace
