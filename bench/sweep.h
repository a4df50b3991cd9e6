// The workload of spin_or_mutex, for any lock kind: each thread walks the
// shared array with its own index, one element per acquisition, and wraps
// around when a run is longer than one pass.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>

constexpr int size = 10000000;

// Relaxed atomic stores are plain byte stores on x86, so every lock kind pays
// the same for them, and the lock-free baselines do not race. Being atomic,
// they are never deleted, though nothing reads the array.
extern std::atomic<unsigned char> data[size];

// Private work: a chain of dependent multiply-adds, a few cycles each, that
// the compiler can neither fold nor vectorise.
inline std::uint64_t work(long steps, std::uint64_t x) {
  for (long s = 0; s < steps; ++s) x = x * 6364136223846793005u + 1442695040888963407u;
  return x;
}

// Work steps in one nanosecond on the CPU the calling thread runs on: the
// median of five timings of 10,000 steps (about 10 us) by clock c. Cores
// differ in speed, so each thread of a case measures its own.
template <class C>
double step_rate(const C& c) {
  constexpr long steps = 10000;
  double ns[5];
  std::uint64_t x = 1;
  for (double& t : ns) {
    std::uint64_t t0 = c.now();
    asm volatile("" : "+r"(x));  // the work starts after the first reading
    x = work(steps, x);
    asm volatile("" : "+r"(x));
    t = double(c.now() - t0) * c.ns_per_tick;
  }
  std::nth_element(ns, ns + 2, ns + 5);
  return steps / std::max(ns[2], 1.0);
}

// The exclusive sweep: an acquisition takes the lock, works `hold` steps
// inside it, stores one element and lets go; then the thread thinks, working
// `think` steps. The
// lock and the owner word written under it have cache lines of their own,
// apart from the array and from every thread's bookkeeping.
template <class L>
struct alignas(64) exclusive {
  // Whether an acquisition can wait for another thread: the baselines
  // cannot, so no run of theirs is cut or counted.
  static constexpr bool waits = L::excludes;
  L lock;
  std::atomic<int> owner{-1};  // the last thread that took the lock, or -1
  int error;                   // why the lock could not be made, or 0

  exclusive() {
    error = lock.init();
    for (auto& d : data) d.store(1, std::memory_order_relaxed);
  }
  ~exclusive() {
    if (error == 0) lock.fini();
  }

  // A thread's walk: its work steps inside and outside the lock, the next
  // element and the work's running value. A loop keeps it in a local of
  // its own, so that it stays in registers, and hands it on in its thread.
  struct walk {
    long hold, think;
    int i;
    std::uint64_t x;
  };
  // One thread's state.
  struct thread {
    int me;
    typename L::local mine;
    walk at;
    long handoffs = 0;  // acquisitions that found the lock last held by another
  };
  thread join(int me, long hold, long think) {
    return {me, lock.join(), {hold, think, 0, std::uint64_t(me)}};
  }

  // One acquisition. With count, it also counts handoffs; lock-free kinds
  // have no holder to count.
  // The work between two acquisitions.
  static void think(walk& w) { w.x = work(w.think, w.x); }

  template <bool count>
  void step(thread& t, walk& w) {
    lock.lock(t.mine);
    held<count>(t, w);
  }

  // The same, reading clock c just before the lock call and after its
  // return: gives the wait in c's ticks.
  template <bool count, class C>
  std::uint64_t timed_step(thread& t, walk& w, const C& c) {
    std::uint64_t t0 = c.now();
    lock.lock(t.mine);
    std::uint64_t waited = c.now() - t0;
    held<count>(t, w);
    return waited;
  }

 private:
  template <bool count>
  void held(thread& t, walk& w) {
    if (w.i == size) w.i = 0;  // the bound test happens under the lock
    w.x = work(w.hold, w.x);
    // The work's result is needed here, so it cannot leave the lock.
    asm volatile("" : "+r"(w.x)::"memory");
    data[w.i].store(0, std::memory_order_relaxed);
    ++w.i;
    if constexpr (count && waits) {
      int last = owner.load(std::memory_order_relaxed);
      if (last != t.me) {
        t.handoffs += last >= 0;
        owner.store(t.me, std::memory_order_relaxed);
      }
    }
    lock.unlock(t.mine);
  }
};
