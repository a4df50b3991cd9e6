// The suite's parts: every lock kind of the registry excludes, every kind
// that shares lets readers in together and keeps writers apart, the sweep
// stores, reads and counts what it should, and pinning puts threads where
// their placement's plan says, then gives the affinity back.
#include "locks.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "names.h"
#include "place.h"
#include "processes.h"
#include "sweep.h"

namespace {

// A lock this system cannot make is skipped: robust, where the kernel
// keeps no robust lists (qemu-user), is ENOTSUP.
#define MADE(error)                                                          \
  if ((error) == ENOTSUP) GTEST_SKIP() << "this system cannot make the lock"; \
  ASSERT_EQ((error), 0)

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

// The kinds that can be shared.
template <class T>
struct shared_of;
template <class... K>
struct shared_of<std::tuple<K...>> {
  using type = decltype(std::tuple_cat(
      std::declval<std::conditional_t<K::shares, std::tuple<K>, std::tuple<>>>()...));
};
template <class L>
class shared_kind_test : public testing::Test {};
TYPED_TEST_SUITE(shared_kind_test, types_of<shared_of<kinds>::type>::type, kind_name);

// The locks that work across processes.
template <class T>
struct across_of;
template <class... K>
struct across_of<std::tuple<K...>> {
  using type = decltype(std::tuple_cat(
      std::declval<std::conditional_t<K::excludes && !K::one_process, std::tuple<K>, std::tuple<>>>()...));
};
template <class L>
class across_kind_test : public testing::Test {};
TYPED_TEST_SUITE(across_kind_test, types_of<across_of<kinds>::type>::type, kind_name);

// FIFO spinlocks hand the lock to one waiter in turn; when that waiter is
// preempted (by other load, or by more threads than CPUs), each handoff waits
// a time slice. The contended checks are kept short for that reason.
constexpr int threads = 2;

// A plain counter read, worked on and written back under the lock: a lock
// that lets two threads in loses increments. The work widens the window.
TYPED_TEST(kind_test, excludes_with_a_held_lock) {
  if constexpr (!TypeParam::excludes) GTEST_SKIP() << "a baseline, not a lock";
  exclusive<TypeParam> a;
  MADE(a.error);
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

// A lock made for processes, with a counter beside it, in memory that
// processes forked after it share; gone with the test.
template <class L>
struct in_shared_memory {
  struct both {
    L lock;
    long counter = 0;
  };
  both* at = nullptr;
  int error = ENOMEM;  // from the lock's init(true)
  in_shared_memory() {
    void* room = mmap(nullptr, sizeof(both), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) return;
    at = new (room) both;
    error = at->lock.init(true);
  }
  ~in_shared_memory() {
    if (!at) return;
    if (error == 0) at->lock.fini();
    at->~both();
    munmap(at, sizeof(both));
  }
};

// The same counter across processes. A lock made for one process alone
// shows here too: a futex the processes do not share loses wakeups, and
// they wait until the limit; a lock kept in one process's own memory
// loses increments.
TYPED_TEST(across_kind_test, excludes_across_processes) {
  in_shared_memory<TypeParam> s;
  MADE(s.error);
  crew c = run_processes(
      threads,
      [&](int, int) {
        auto mine = s.at->lock.join();
        std::uint64_t x = 1;
        for (int k = 0; k < 5000; ++k) {
          s.at->lock.lock(mine);
          long was = s.at->counter;
          x = work(200, x);
          asm volatile("" : "+r"(x));
          s.at->counter = was + 1;
          s.at->lock.unlock(mine);
        }
      },
      std::chrono::seconds(20));
  EXPECT_FALSE(c.late) << "the processes did not end in 20 s";
  EXPECT_EQ(c.lost, -1);
  EXPECT_EQ(s.at->counter, threads * 5000);
}

// An owner killed holding the robust lock: the next lock call takes it,
// notes the recovery and makes the lock whole again, so it can be taken
// and left as before.
TEST(robust, recovers_from_an_owner_killed_holding_it) {
  in_shared_memory<robust> s;
  MADE(s.error);
  crew c = run_processes(
      1,
      [&](int, int) {
        auto mine = s.at->lock.join();
        s.at->lock.lock(mine);
        raise(SIGKILL);
      },
      std::chrono::seconds(20), 0);
  ASSERT_TRUE(WIFSIGNALED(c.status[0]));
  auto mine = s.at->lock.join();
  s.at->lock.lock(mine);
  EXPECT_GT(s.at->lock.recovered_ns, 0);
  s.at->lock.unlock(mine);
  EXPECT_EQ(pthread_mutex_trylock(&s.at->lock.m), 0) << "the lock was not made consistent";
  pthread_mutex_unlock(&s.at->lock.m);
}

// Waits until `flag` is set, for at most ten seconds; whether it was.
bool wait_for(const std::atomic<bool>& flag) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!flag.load())
    if (std::chrono::steady_clock::now() > until) return false;
    else std::this_thread::yield();
  return true;
}

// A reader inside lets a second reader in: the first holds its read lock
// until the second has taken one too.
TYPED_TEST(shared_kind_test, lets_two_readers_in_at_once) {
  TypeParam l;
  ASSERT_EQ(l.init(), 0);
  std::atomic<bool> first_in{false}, second_in{false};
  bool met = false;
  std::thread first([&] {
    auto mine = l.join();
    l.lock_shared(mine);
    first_in = true;
    met = wait_for(second_in);
    l.unlock_shared(mine);
  });
  auto mine = l.join();
  ASSERT_TRUE(wait_for(first_in));
  l.lock_shared(mine);
  second_in = true;
  l.unlock_shared(mine);
  first.join();
  EXPECT_TRUE(met) << "the second reader got in only after the first left";
  l.fini();
}

// Readers and writers at once: a writer finds nobody inside, a reader no
// writer. Each thread writes one acquisition in three.
TYPED_TEST(shared_kind_test, keeps_writers_apart_from_readers_and_each_other) {
  TypeParam l;
  ASSERT_EQ(l.init(), 0);
  std::atomic<int> readers{0}, writers{0}, wrong{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t)
    workers.emplace_back([&] {
      auto mine = l.join();
      std::uint64_t x = 1;
      for (int k = 0; k < 3000; ++k) {
        if (k % 3 == 0) {
          l.lock(mine);
          wrong += writers.fetch_add(1) != 0 || readers.load() != 0;
          x = work(200, x);
          asm volatile("" : "+r"(x));
          writers.fetch_sub(1);
          l.unlock(mine);
        } else {
          l.lock_shared(mine);
          readers.fetch_add(1);
          wrong += writers.load() != 0;
          x = work(200, x);
          asm volatile("" : "+r"(x));
          readers.fetch_sub(1);
          l.unlock_shared(mine);
        }
      }
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(wrong, 0) << "a writer was inside with another thread";
  l.fini();
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
  {
    exclusive<TypeParam> can;  // where the lock cannot be made, nothing to sweep with
    MADE(can.error);
  }
  EXPECT_EQ(sweep_with<TypeParam>(1, size + 3), 0) << "one thread never hands off";
  EXPECT_TRUE(std::all_of(std::begin(data), std::end(data), [](auto& d) { return d == 0; }))
      << "an element was never stored";
  sweep_with<TypeParam>(threads, 20000);
  EXPECT_EQ(data[19999], 0);
  EXPECT_EQ(data[20000], 1) << "stored past the steps taken";
}

// Counts the acquisitions of the lock it wraps by how they were taken.
template <class L>
struct roles_counted : L {
  long alone = 0, shared = 0;  // under the lock, so plain counters
  void lock(typename L::local& t) {
    L::lock(t);
    ++alone;
  }
  void lock_shared(typename L::local& t) {
    L::lock_shared(t);
    ++shared;
  }
};

// One pattern's worth of acquisitions at each read share: a kind that
// shares takes exactly the share of reads shared, one that does not takes
// them alone; only writes store, and the reads' values reach the work.
template <class L>
void sweeps_its_read_share() {
  for (int read : reads) {
    mixed<roles_counted<L>> a;
    auto w = a.join(0, 0, 0, read);
    std::uint64_t before = w.at.x;
    for (int s = 0; s < pattern_size; ++s) a.template step<false>(w, w.at);
    long reads_made = pattern_size / 100 * read;
    EXPECT_EQ(a.lock.shared, L::shares ? reads_made : 0) << read << "% reads";
    EXPECT_EQ(a.lock.alone, pattern_size - (L::shares ? reads_made : 0)) << read << "% reads";
    EXPECT_EQ(std::count(data, data + pattern_size, 0), pattern_size - reads_made)
        << "stored on reads, or not on writes, at " << read << "% reads";
    EXPECT_EQ(data[pattern_size], 1) << "stored past the steps taken";
    // With no work, the value changes only by what the reads read: 1 each.
    EXPECT_EQ(w.at.x - before, std::uint64_t(reads_made)) << read << "% reads";
  }
}
TEST(walker, sweeps_its_read_share) {
  sweeps_its_read_share<shared_mutex>();
  sweeps_its_read_share<mutex>();
}

TEST(walker, patterns_differ_by_thread_and_repeat_by_run) {
  EXPECT_NE(pattern(90, 0), pattern(90, 1));
  EXPECT_EQ(pattern(90, 1), pattern(90, 1));
  std::vector<char> p = pattern(50, 0);
  EXPECT_EQ(std::count(p.begin(), p.end(), 1), pattern_size / 2);
  EXPECT_FALSE(std::is_sorted(p.begin(), p.end())) << "not shuffled";
}

// A shared kind whose readers, once in, wait (at most ten seconds) for
// the other thread's reader of the same round before they go on.
template <class L>
struct meeting : L {
  std::atomic<int> arrived{0};
  static thread_local int round;
  void lock_shared(typename L::local& t) {
    L::lock_shared(t);
    int want = 2 * ++round;
    arrived.fetch_add(1);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (arrived.load() < want && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  }
};
template <class L>
thread_local int meeting<L>::round = 0;

// The sweep counts the readers inside at once: both threads' readers
// (long ones, let in together) for a kind that shares, only ever one for a
// kind that does not.
TYPED_TEST(kind_test, counts_the_readers_inside_at_once) {
  if constexpr (!TypeParam::excludes) {
    GTEST_SKIP() << "a baseline, not a lock";
  } else {
    using L = std::conditional_t<TypeParam::shares, meeting<TypeParam>, TypeParam>;
    mixed<L> a;
    MADE(a.error);
    std::vector<int> most(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
      workers.emplace_back([&, t] {
        // Shared, five reads of about 20 ms; alone, many short ones.
        auto w = a.join(t, TypeParam::shares ? 20000000 : 0, 0, 100);
        for (int k = 0; k < (TypeParam::shares ? 5 : 20000); ++k) a.template step<true>(w, w.at);
        most[t] = w.readers_max;
      });
    for (auto& w : workers) w.join();
    int seen = *std::max_element(most.begin(), most.end());
    if constexpr (TypeParam::shares)
      EXPECT_EQ(seen, threads) << "readers inside together were not counted";
    else
      EXPECT_EQ(seen, 1) << "readers counted inside at once under a lock that excludes";
  }
}

// Two walkers taking turns on one thread: every acquisition after the first
// finds the lock last taken by the other, whether they write or share it
// to read.
template <class W>
void alternate(int read) {
  W a;
  auto first = a.join(0, 0, 0, read), second = a.join(1, 0, 0, read);
  for (int k = 0; k < 100; ++k) {
    a.template step<true>(first, first.at);
    a.template step<true>(second, second.at);
  }
  EXPECT_EQ(first.handoffs + second.handoffs, 199) << read << "% reads";
}
TEST(walker, counts_every_alternation_as_a_handoff) {
  alternate<exclusive<mutex>>(0);
  for (int read : {50, 100}) alternate<mixed<shared_mutex>>(read);
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
