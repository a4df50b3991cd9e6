// The workload of spin_or_mutex, for any lock kind: each thread walks the
// shared array with its own index, one element per acquisition, and wraps
// around when a run is longer than one pass.
#pragma once
#include <atomic>
#include <cstdint>

constexpr int size = 10000000;

// Relaxed atomic stores are plain byte stores on x86, so every lock kind pays
// the same for them, and the lock-free baselines do not race. Being atomic,
// they are never deleted, though nothing reads the array.
extern std::atomic<unsigned char> data[size];

// The lock and the owner word written under it have cache lines of their
// own, apart from the array and from every thread's bookkeeping.
template <class L>
struct alignas(64) arena {
  L lock;
  std::atomic<int> owner;  // the last thread that took the lock, or -1
  int error;               // why the lock could not be made, or 0

  void init() {
    error = lock.init();
    owner.store(-1, std::memory_order_relaxed);
    for (auto& d : data) d.store(1, std::memory_order_relaxed);
  }
  void fini() {
    if (error == 0) lock.fini();
  }
};

template <class L>
arena<L> shared;

// Private work: a chain of dependent multiply-adds, a few cycles each, that
// the compiler can neither fold nor vectorise.
inline std::uint64_t work(long steps, std::uint64_t x) {
  for (long s = 0; s < steps; ++s) x = x * 6364136223846793005u + 1442695040888963407u;
  return x;
}

// One thread's walk. With count, it also counts handoffs: acquisitions that
// find the lock last held by another thread. Lock-free kinds have no holder
// to count.
template <class L, bool count>
struct walker {
  arena<L>& a;
  int me;
  typename L::local mine = a.lock.join();
  int i = 0;
  long handoffs = 0;

  // One acquisition, with `hold` steps of private work x inside the lock.
  void step(long hold, std::uint64_t& x) {
    a.lock.lock(mine);
    held(hold, x);
  }

  // The same, reading clock c just before the lock call and after its
  // return: gives the wait in c's ticks.
  template <class C>
  std::uint64_t timed_step(long hold, std::uint64_t& x, const C& c) {
    std::uint64_t t0 = c.now();
    a.lock.lock(mine);
    std::uint64_t waited = c.now() - t0;
    held(hold, x);
    return waited;
  }

 private:
  void held(long hold, std::uint64_t& x) {
    if (i == size) i = 0;  // the bound test happens under the lock
    x = work(hold, x);
    // The work's result is needed here, so it cannot leave the lock.
    asm volatile("" : "+r"(x)::"memory");
    data[i].store(0, std::memory_order_relaxed);
    ++i;
    if constexpr (count && L::excludes) {
      int last = a.owner.load(std::memory_order_relaxed);
      if (last != me) {
        handoffs += last >= 0;
        a.owner.store(me, std::memory_order_relaxed);
      }
    }
    a.lock.unlock(mine);
  }
};
