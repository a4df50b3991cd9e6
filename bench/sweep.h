// The workload of spin_or_mutex, for any lock kind: each thread walks the
// shared array with its own index, one element per acquisition, and wraps
// around when a run is longer than one pass.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <type_traits>
#include <vector>

constexpr int size = 10000000;

// Relaxed atomic stores are plain byte stores on x86, so every lock kind pays
// the same for them, and the lock-free baselines do not race. Being atomic,
// they are never deleted, though nothing reads the array. It fills whole
// pages of the largest size Linux uses, so that share_data can map memory
// over exactly them.
constexpr int page_room = 1 << 16;
constexpr int data_room = (size + page_room - 1) / page_room * page_room;
alignas(page_room) extern std::atomic<unsigned char> data[data_room];

// Maps shared memory over the array, once: processes forked after it walk
// one array. lock_bench does it before any case, so that threads walk the
// same kind of memory. 0, or the errno that says why not.
int share_data();

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

// How many acquisitions a thread's pattern of reads and writes covers
// before it repeats: a multiple of 100, so that every read share is exact,
// and long enough that a branch predictor learns it no better than a real
// program's.
constexpr int pattern_size = 2000;

// Thread me's pattern: `read` percent of its entries are reads (1), the
// rest writes (0), in an order of the thread's own, the same on every run.
std::vector<char> pattern(int read, int me);

// Whether the counting pass watches that kind L excludes: a kind that says
// so (one loaded at run time, never trusted after its check).
template <class L, class = void>
constexpr bool watched = false;
template <class L>
constexpr bool watched<L, std::void_t<decltype(L::watched)>> = L::watched;

// The sweep: an acquisition takes the lock, works `hold` steps inside it,
// stores one element and lets go; then the thread thinks, working `think`
// steps. With reads (`mixes`), each acquisition is a read or a write, as the
// thread's pattern says: a write is the same; a read takes the lock shared
// where the kind can share it (once otherwise), works as long, then reads
// the element into the work's value instead of storing it. The lock and the
// bookkeeping written under it have cache lines of their own, apart from the
// array and from every thread's own.
template <class L, bool mixes_ = false>
struct alignas(64) sweep {
  static constexpr bool mixes = mixes_;
  // Whether an acquisition can wait for another thread: the baselines
  // cannot, so no run of theirs is cut or counted.
  static constexpr bool waits = L::excludes;
  L lock;
  std::atomic<int> owner{-1};  // the last thread that took the lock, or -1
  std::atomic<int> inside{0};  // readers inside, counted in the pass
  std::atomic<int> alone{0};   // with watched<L>, writers inside in the pass
  int error;                   // why the lock could not be made, or 0

  // across: for processes that share the memory the sweep is in.
  explicit sweep(bool across = false) {
    error = lock.init(across);
    for (int i = 0; i < size; ++i) data[i].store(1, std::memory_order_relaxed);
  }
  ~sweep() {
    if (error == 0) lock.fini();
  }

  // A thread's walk: its work steps inside and outside the lock, the next
  // element, the work's running value and the next entry of its pattern. A
  // loop keeps it in a local of its own, so that it stays in registers, and
  // hands it on in its thread.
  struct walk {
    long hold, think;
    int i;
    std::uint64_t x;
    int next;
  };
  // One thread's state.
  struct thread {
    int me;
    typename L::local mine;
    walk at;
    long handoffs = 0;        // acquisitions that found the lock last taken by another
    std::vector<char> roles;  // the pattern: 1 for a read
    bool wrote = false;       // whether the last acquisition was a write
    int readers_max = 0;      // the most readers this thread saw inside, itself included
    bool broke = false;       // with watched<L>: it found another inside beside it
  };
  thread join(int me, long hold, long think, int read = 0) {
    return {me, lock.join(), {hold, think, 0, std::uint64_t(me), 0}, 0,
            mixes ? pattern(read, me) : std::vector<char>()};
  }

  // The work between two acquisitions.
  static void think(walk& w) { w.x = work(w.think, w.x); }

  // Whether the thread's next acquisition is a write.
  static bool writes_next(const thread& t, const walk& w) { return !mixes || !t.roles[w.next]; }

  // One acquisition. With count, it also counts handoffs and readers;
  // lock-free kinds have no holder to count.
  template <bool count>
  void step(thread& t, walk& w) {
    bool read = role(t, w);
    take(t, read);
    held<count>(t, w, read);
  }

  // The same, reading clock c just before the lock call and after its
  // return: gives the wait in c's ticks.
  template <bool count, class C>
  std::uint64_t timed_step(thread& t, walk& w, const C& c) {
    bool read = role(t, w);
    std::uint64_t t0 = c.now();
    take(t, read);
    std::uint64_t waited = c.now() - t0;
    held<count>(t, w, read);
    return waited;
  }

 private:
  // Whether this acquisition reads; moves the walk on in its pattern.
  bool role(thread& t, walk& w) {
    if constexpr (!mixes) {
      return false;
    } else {
      bool read = t.roles[w.next];
      if (++w.next == pattern_size) w.next = 0;
      t.wrote = !read;
      return read;
    }
  }
  // A read shares the lock where the kind can share it.
  void take(thread& t, bool read) {
    if constexpr (L::shares)
      if (read) return lock.lock_shared(t.mine);
    lock.lock(t.mine);
  }
  void release(thread& t, bool read) {
    if constexpr (L::shares)
      if (read) return lock.unlock_shared(t.mine);
    lock.unlock(t.mine);
  }

  template <bool count>
  void held(thread& t, walk& w, bool read) {
    if constexpr (count && waits)
      if (read) t.readers_max = std::max(t.readers_max, inside.fetch_add(1) + 1);
    // A writer, or a reader of a kind that does not share, must find nobody
    // else inside; a reader that shares, no writer.
    constexpr bool watch = count && watched<L>;
    bool exclusive = !read || !L::shares;
    if constexpr (watch)
      if (exclusive ? alone.fetch_add(1) != 0 || (!read && inside.load() != 0) : alone.load() != 0)
        t.broke = true;
    if (w.i == size) w.i = 0;  // the bound test happens under the lock
    w.x = work(w.hold, w.x);
    // The work's result is needed here, so it cannot leave the lock.
    asm volatile("" : "+r"(w.x)::"memory");
    if (read)
      w.x += data[w.i].load(std::memory_order_relaxed);
    else
      data[w.i].store(0, std::memory_order_relaxed);
    ++w.i;
    if constexpr (watch)
      if (exclusive) alone.fetch_sub(1);
    if constexpr (count && waits) {
      if (read) inside.fetch_sub(1);
      // Readers sharing the lock take turns at `owner` too: a read counts
      // when another thread took the lock, for reading or writing, last.
      int last = owner.load(std::memory_order_relaxed);
      if (last != t.me) {
        t.handoffs += last >= 0;
        owner.store(t.me, std::memory_order_relaxed);
      }
    }
    release(t, read);
  }
};

// The exclusive sweep, every acquisition a write, and the sweep with reads.
template <class L>
using exclusive = sweep<L>;
template <class L>
using mixed = sweep<L, true>;
