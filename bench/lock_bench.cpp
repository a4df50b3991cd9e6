// Which lock, for which critical section? spin_or_mutex's sweep for every
// lock kind, across the time the lock is held, the time between
// acquisitions, the thread count and where the threads run.
#include "lock_bench.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "locks.h"
#include "names.h"
#include "place.h"
#include "plugin.h"
#include "processes.h"
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

std::string too_slow(const char* why = "threads wait for preempted lock owners") {
  char s[200];
  std::snprintf(s, sizeof s, "cut: a run took over %g s, ten times --benchmark_min_time; %s",
                config.min_time * 10, why);
  return s;
}

// Why a case of n threads (or processes) cannot end within the cut, before
// it runs: each makes at least one acquisition a run, and in turn (a
// writer, or any acquisition of a kind that does not share) they hold the
// lock one after the other; at all events they work on the CPUs there are.
// "" where it can, and for a fixed iteration count, which is never cut.
std::string beyond_limit(int n, long hold, long think, bool in_turn) {
  double limit_s = config.min_time * 10;
  double least_s = least_seconds(n, hold, think, in_turn);
  if (limit_s <= 0 || least_s <= limit_s) return "";
  char s[240];
  int cpus = int(machine().pus.size());
  if (in_turn && double(n) * double(hold) >= double((n + cpus - 1) / cpus) * double(hold + think))
    std::snprintf(s, sizeof s,
                  "cut before it ran: %d holding the lock %s in turn take %g s for one acquisition "
                  "each, over the limit of %g s, ten times --benchmark_min_time",
                  n, duration(hold).c_str(), least_s, limit_s);
  else
    std::snprintf(s, sizeof s,
                  "cut before it ran: %d working %s each on %d CPUs take %g s for one acquisition "
                  "each, over the limit of %g s, ten times --benchmark_min_time",
                  n, duration(hold + think).c_str(), cpus, least_s, limit_s);
  return s;
}

// Whether workload W's acquisitions at this read share hold the lock in turn.
template <class W>
bool in_turn(int read) {
  return W::waits && !(W::mixes && read > 0 && decltype(W::lock)::shares);
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
  if (std::string why = beyond_limit(st.threads(), hold, think, in_turn<W>(read)); !why.empty())
    return st.SkipWithError(why.c_str());
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
  auto [first, last] = loops(t.threads);
  t.pass(mine, first, last);
  benchmark::DoNotOptimize(mine.at.x);
  if (t.file(mine))
    for (auto [name, value] : t.figures(double(st.iterations()))) st.counters[name] = value;
}

// What the processes of a run share, made in shared memory before they
// fork: the trial (its workload and flags; each process has its own copy
// of the records), the barriers they meet at, and the first start and the
// last stop of their timed loops, for the counting pass.
template <class W>
struct commons {
  trial<W> t;
  std::atomic<int> ready{0};     // processes set up, about to start the timed loop
  std::atomic<int> finished{0};  // processes past it, and one that dies holding the lock
  std::atomic<std::uint64_t> first{UINT64_MAX}, last{0};
  std::atomic<long long> died_ns{0};  // when the one that dies had the lock
  explicit commons(int n) : t(n, config.clock, UINT64_MAX, config.counting_pass, true) {}
};

// One run of n processes, each doing its share of `total` acquisitions:
// "" and the run's figures, or why it has none. With dies, the last process
// takes the lock half-way through its loop and is killed holding it; the
// others' counting pass starts only after that, so one of them takes the
// lock after the death.
template <class W>
std::string run_across(commons<W>& c, int n, long total, placement where, long hold, long think,
                       bool dies, double& seconds, std::vector<std::pair<const char*, double>>& figures) {
  trial<W>& t = c.t;
  long each = (total + n - 1) / n;
  int victim = dies ? n - 1 : -1;
  auto body = [&](int me, int fd) {
    // A forked process maps the pages of shared memory as it first touches
    // them: here, not in the timed loop.
    touch(&c, sizeof c);
    touch(data, sizeof data);
    pin p(where, me, n);
    if (!p.error.empty()) t.failed = true;
    double rate = step_rate(t.clock);
    auto mine = t.work.join(me, std::lround(hold * rate), std::lround(think * rate));
    meet(c.ready, n);
    // One that cannot be placed stops them all, and says why after a '!'.
    if (t.failed) _exit(p.error.empty() || send(fd, "!" + p.error) ? 0 : 1);
    if (me == victim) {
      t.timed(mine, each / 2);
      t.work.lock.lock(mine.mine);
      c.died_ns = steady_ns();
      meet(c.finished, n, false);
      raise(SIGKILL);
    }
    t.timed(mine, each);
    const record& r = t.threads[me];
    for (std::uint64_t f = c.first; r.start < f && !c.first.compare_exchange_weak(f, r.start);) {
    }
    for (std::uint64_t l = c.last; r.stop > l && !c.last.compare_exchange_weak(l, r.stop);) {
    }
    meet(c.finished, n);
    t.pass(mine, c.first, c.last);
    benchmark::DoNotOptimize(mine.at.x);
    _exit(send(fd, "r" + pack(r)) ? 0 : 1);
  };
  // The baselines wait for nobody, but a process of theirs can be stopped.
  double limit_s = config.min_time * 10;
  if (dies && limit_s == 0) limit_s = 10;  // it must end, whatever the kind
  crew r = run_processes(n, body, std::chrono::nanoseconds(std::int64_t(limit_s * 1e9)), victim);
  // As with threads that cannot start, the run ends.
  if (r.error)
    throw std::runtime_error("cannot start process " + std::to_string(r.started + 1) + " of " +
                             std::to_string(n) + ": " + std::strerror(r.error));
  using L = decltype(W::lock);
  long long recovered = 0;
  if constexpr (L::recovers) recovered = t.work.lock.recovered_ns;
  if (r.late && dies && !recovered) {
    char s[160];
    std::snprintf(s, sizeof s,
                  "cut: a process died holding the lock, and the others waited for it until the "
                  "limit of %g s",
                  limit_s);
    return s;
  }
  if (r.late)
    return too_slow(W::waits ? "processes wait for preempted lock owners"
                             : "a process made no progress (stopped, or starved of CPU)");
  for (int i = 0; i < n; ++i)
    if (!r.sent[i].empty() && r.sent[i][0] == '!') return r.sent[i].substr(1);
  if (r.lost >= 0)
    return "process " + std::to_string(r.lost + 1) + " of " + std::to_string(n) + " " +
           ended(r.status[r.lost]);
  std::vector<record> survivors;
  for (int i = 0; i < n; ++i) {
    if (i == victim) continue;
    survivors.emplace_back();
    if (r.sent[i].empty() || r.sent[i][0] != 'r' || !unpack(r.sent[i].substr(1), survivors.back()))
      return "process " + std::to_string(i + 1) + " of " + std::to_string(n) + " sent no record";
  }
  t.threads = survivors;
  // Google Benchmark's real time for threads: each one's own loop time,
  // averaged, over all acquisitions.
  double mean = 0;
  for (const record& x : survivors) mean += double(x.stop - x.start) / survivors.size();
  seconds = mean * t.clock.ns_per_tick / 1e9 / double(each * survivors.size()) * double(total);
  figures = t.figures(double(each));
  if (dies && L::recovers) figures.emplace_back(counter::recovery_ns, double(recovered - c.died_ns));
  return "";
}

// A case of n processes (Google Benchmark's argument): as measure() for
// threads, but one Google Benchmark thread forks the processes for each
// run and sets the time from their records.
template <class W>
void across(benchmark::State& st, const std::string& name, placement where, long hold, long think,
            bool dies) {
  int n = int(st.range(0));
  std::string why;
  int e = share_data();
  if (e) why = std::string("cannot share the array between processes: ") + std::strerror(e);
  running_case = name + "/processes:" + std::to_string(n);
  if (why.empty() && cut_cases.count(running_case)) why = "cut or failed in an earlier run of this case";
  if (why.empty()) why = beyond_limit(n, hold, think, W::waits);
  double timed_s = 0;
  while (st.KeepRunningBatch(st.max_iterations)) {
    double seconds = 0;
    std::vector<std::pair<const char*, double>> figures;
    if (why.empty()) {
      void* room = mmap(nullptr, sizeof(commons<W>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
      if (room == MAP_FAILED) {
        why = std::string("cannot map memory for the processes: ") + std::strerror(errno);
      } else {
        auto* c = new (room) commons<W>(n);
        if (c->t.work.error)
          why = std::strerror(c->t.work.error);
        else
          why = run_across(*c, n, long(st.max_iterations), where, hold, think, dies, seconds, figures);
        c->~commons<W>();
        munmap(room, sizeof(commons<W>));
      }
    }
    st.SetIterationTime(seconds);
    timed_s = seconds;
    for (auto [counter, value] : figures) st.counters[counter] = value;
  }
  if (!why.empty()) {
    cut_cases.insert(running_case);
    st.SkipWithError(why.c_str());
  }
  count(st, timed_s);
}

// A loaded kind is never trusted after its check: each run of its cases
// happens in a process of its own, whose threads go through the trial as
// measure() does and send their records back. Whatever the lock does there
// (hang, crash, end the process, let two in) ends as that case's error,
// and the other cases run on. Google Benchmark's threads wait for the
// process, each then taking its own thread's loop time, as real time
// would have been taken.
struct apart {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;  // under m
  std::string why;    // why the run has no figures, or ""
  std::vector<record> records;
  double timed_s = 0;  // the span of the timed loops
};
std::unique_ptr<apart> away;  // the running case's, made in Setup
void setup_apart(const benchmark::State&) { away = std::make_unique<apart>(); }
void teardown_apart(const benchmark::State& st) {
  if (!away->why.empty()) cut_cases.insert(running_case);
  count(st, away->timed_s);
  away.reset();
}

// The child's part: n threads of `each` acquisitions, cut at `cut` ticks;
// writes to fd what the parent makes the run's outcome of: 'r' and the
// records, 'c' for a cut, '!' and why the run could not be made.
template <class W>
void run_apart(int fd, int n, long each, placement where, int read, long hold, long think,
               std::uint64_t cut) {
  // The array's pages are mapped as this process first touches them: here,
  // not in the timed loop.
  touch(data, sizeof data);
  std::string sent;
  {
    trial<W> t(n, config.clock, cut, config.counting_pass);
    if (t.work.error) _exit(send(fd, std::string("!") + std::strerror(t.work.error)) ? 0 : 1);
    std::atomic<int> ready{0}, finished{0}, passed{0};
    std::atomic<bool> holding{false}, asking{false}, entered{false};
    std::vector<std::string> placed(n);
    auto body = [&](int me) {
      pin p(where, me, n);
      placed[me] = p.error;
      if (!p.error.empty()) t.failed = true;
      double rate = step_rate(t.clock);
      auto mine = t.work.join(me, std::lround(hold * rate), std::lround(think * rate), read);
      meet(ready, n);
      if (!t.failed) t.timed(mine, each);
      meet(finished, n);
      if (t.failed) return;
      auto [first, last] = loops(t.threads);
      t.pass(mine, first, last);
      benchmark::DoNotOptimize(mine.at.x);
      // Then, where the run placed them, thread 0 holds the lock a while
      // and thread 1 asks for it, and must not get in: the pass sees two
      // inside only when the scheduler happens to run them at once.
      meet(passed, n);
      if (me == 0 && n > 1) {
        t.work.lock.lock(mine.mine);
        holding = true;
        while (!asking) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (entered) t.threads[0].broke = true;
        t.work.lock.unlock(mine.mine);
      } else if (me == 1) {
        while (!holding) std::this_thread::yield();
        asking = true;
        t.work.lock.lock(mine.mine);
        entered = true;
        t.work.lock.unlock(mine.mine);
      }
    };
    std::vector<std::thread> team;
    try {
      for (int k = 1; k < n; ++k) team.emplace_back(body, k);
    } catch (const std::system_error& e) {
      _exit(send(fd, std::string("!cannot start a thread: ") + std::strerror(e.code().value())) ? 0 : 1);
    }
    body(0);
    for (std::thread& th : team) th.join();
    for (const std::string& e : placed)
      if (!e.empty() && sent.empty()) sent = "!" + e;
    if (sent.empty() && t.failed) sent = "c";
    if (sent.empty()) {
      sent = "r";
      for (const record& r : t.threads) {
        std::string one = pack(r);
        std::uint64_t size = one.size();
        sent.append(reinterpret_cast<const char*>(&size), sizeof size).append(one);
      }
    }
  }  // the lock is destroyed before the records go: a destroy that fails is the run's
  _exit(send(fd, sent) ? 0 : 1);
}

// Each loaded family's run of n threads of `each` acquisitions cut at
// `cut` ticks, by the index its cases ask for it by.
std::vector<std::function<void(int fd, int n, long each, std::uint64_t cut)>> apart_runs;

// The runs' processes are forked by a process of lock_bench's own, made
// before any case runs: a fork from a thread of Google Benchmark's, while
// the run's other threads wait, would leave those threads' state in the
// new process (ThreadSanitizer refuses it). It takes a request, forks the
// run's process, waits for it within the limit and sends back how it
// ended. It ends when lock_bench does.
struct request {
  std::uint32_t index;
  std::int32_t n;
  std::int64_t each;
  std::uint64_t cut;
  double limit_s;
};
struct forker {
  pid_t pid = -1;
  int to = -1, from = -1;
} server;

bool read_all(int fd, void* at, std::size_t bytes) {
  for (std::size_t done = 0; done < bytes;) {
    ssize_t got = read(fd, static_cast<char*>(at) + done, bytes - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += std::size_t(got);
  }
  return true;
}

void serve_runs(int from, int to) {
  for (request q; read_all(from, &q, sizeof q);) {
    crew c = run_processes(
        1, [&](int, int fd) { apart_runs.at(q.index)(fd, q.n, long(q.each), q.cut); },
        std::chrono::nanoseconds(std::int64_t(q.limit_s * 1e9)));
    std::int64_t head[4] = {c.status[0], c.late, c.error, std::int64_t(c.sent[0].size())};
    if (!send(to, std::string(reinterpret_cast<const char*>(head), sizeof head) + c.sent[0])) break;
  }
  _exit(0);
}

// The run of request q, as run_processes would tell it.
crew ask(const request& q) {
  crew c;
  c.sent.resize(1);
  c.status.assign(1, 0);
  std::int64_t head[4];
  if (server.pid < 0 || !send(server.to, std::string(reinterpret_cast<const char*>(&q), sizeof q)) ||
      !read_all(server.from, head, sizeof head)) {
    c.error = ECHILD;
    return c;
  }
  c.status[0] = int(head[0]);
  c.late = head[1];
  c.error = int(head[2]);
  c.sent[0].resize(std::size_t(head[3]));
  if (!read_all(server.from, c.sent[0].data(), c.sent[0].size())) c.error = ECHILD;
  return c;
}

// The parent's part: the outcome of the process, "" with its records, or
// why the run has none.
std::string outcome(const crew& c, double limit_s, std::vector<record>& records) {
  char s[200];
  if (c.error)
    return std::string("cannot start the run's process: ") + std::strerror(c.error);
  if (c.late) {
    std::snprintf(s, sizeof s,
                  "hung: the run was not done in %g s, though cut at %g s; a thread never came back "
                  "from the lock",
                  limit_s, config.min_time * 10);
    return s;
  }
  const std::string& got = c.sent[0];
  if (WIFSIGNALED(c.status[0])) return "crashed in this run (" + std::string(strsignal(WTERMSIG(c.status[0]))) + ")";
  if (got.empty() || WEXITSTATUS(c.status[0]) != 0)
    return "ended the run's process itself, with status " + std::to_string(WEXITSTATUS(c.status[0]));
  if (got[0] == '!') return got.substr(1);
  if (got[0] == 'c') return too_slow();
  for (std::size_t at = 1; at < got.size();) {
    std::uint64_t size;
    if (got.size() - at < sizeof size) return "the run's process sent no records";
    std::memcpy(&size, got.data() + at, sizeof size);
    at += sizeof size;
    records.emplace_back();
    if (got.size() - at < size || !unpack(got.substr(at, size), records.back()))
      return "the run's process sent no records";
    at += size;
  }
  for (const record& r : records)
    if (r.broke)
      return "not a lock: in this run it let a second thread in while one held it; no figures";
  return "";
}

template <class W>
void measure_apart(benchmark::State& st, const std::string& name, std::uint32_t index, int read,
                   long hold, long think) {
  apart& a = *away;
  int me = st.thread_index(), n = st.threads();
  double limit_s = config.min_time * 10;
  std::uint64_t cut = limit_s > 0 ? std::uint64_t(limit_s * 1e9 / config.clock.ns_per_tick) : UINT64_MAX;
  while (st.KeepRunningBatch(st.max_iterations)) {
    if (me == 0) {
      running_case = name + "/threads:" + std::to_string(n);
      if (cut_cases.count(running_case)) a.why = "cut or failed in an earlier run of this case";
      if (a.why.empty()) a.why = beyond_limit(n, hold, think, in_turn<W>(read));
      if (a.why.empty()) {
        // The run's own cut, then time for the threads to come back from
        // the lock; a fixed iteration count has no limit.
        double hard_s = limit_s > 0 ? 2 * limit_s + 1 : 0;
        long each = long(st.max_iterations);
        crew c = ask({index, n, each, cut, hard_s});
        a.why = outcome(c, hard_s, a.records);
      }
      if (a.why.empty()) {
        a.timed_s = double(span_ticks(a.records)) * config.clock.ns_per_tick / 1e9;
        for (auto [counter, value] : figures(a.records, config.counting_pass, W::mixes,
                                             config.clock.ns_per_tick, double(st.max_iterations)))
          st.counters[counter] = value;
      }
      {
        std::lock_guard<std::mutex> l(a.m);
        a.done = true;
      }
      a.cv.notify_all();
    } else {
      std::unique_lock<std::mutex> l(a.m);
      a.cv.wait(l, [&] { return a.done; });
    }
    const record* r = a.why.empty() ? &a.records[me] : nullptr;
    st.SetIterationTime(r ? double(r->stop - r->start) * config.clock.ns_per_tick / 1e9 : 0);
  }
  if (!a.why.empty()) st.SkipWithError(a.why.c_str());
}

std::vector<listed> cases;

// The values a family of cases is made from.
struct grid {
  std::vector<placement> places;
  std::vector<int> reads;
  std::vector<long> holds, thinks;
  std::vector<int> threads, processes;
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
        constexpr bool loaded = watched<decltype(W::lock)>;
        auto index = std::uint32_t(apart_runs.size());
        if (loaded)
          apart_runs.push_back([=](int fd, int n, long each, std::uint64_t cut) {
            run_apart<W>(fd, n, each, where, read, hold, think, cut);
          });
        auto* b = benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
          if constexpr (loaded)
            measure_apart<W>(st, name, index, read, hold, think);
          else
            measure<W>(st, name, where, read, hold, think);
        });
        if (loaded)
          b->Setup(setup_apart)->Teardown(teardown_apart)->UseManualTime();
        else
          b->Setup(setup<W>)->Teardown(teardown<W>)->UseRealTime();
        for (int t : is_pair(where) ? std::vector<int>{2} : g.threads) {
          b->Threads(t);
          cases.push_back({name + (loaded ? "/manual_time" : "/real_time") + "/threads:" +
                               std::to_string(t),
                           name, kind, placement_names[where], read, hold, think, t});
        }
      }
    }
  }
}

// The same for processes, without reads: KIND/PLACE/hold:H/think:T/
// processes:N/manual_time. With dies, the last process dies holding the
// lock half-way through each run: KIND/.../think:T/owner_dies/processes:N.
template <class W>
void add_across(const std::string& kind, const grid& g, bool dies = false) {
  for (placement where : g.places) {
    if (is_pair(where) && plan(where, 2, machine().pus).empty()) continue;
    for (long hold : g.holds) {
      for (long think : g.thinks) {
        std::string name = case_name(kind, placement_names[where], 0, hold, think) +
                           (dies ? "/owner_dies" : "");
        auto* b = benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
          across<W>(st, name, where, hold, think, dies);
        });
        b->ArgName("processes")->UseManualTime();
        for (int n : is_pair(where) ? std::vector<int>{2} : g.processes) {
          b->Arg(n);
          std::string shown = name + "/processes:" + std::to_string(n);
          // The death of an owner is no scenario a lock is ranked in.
          cases.push_back({shown + "/manual_time", shown, dies ? "" : kind, placement_names[where],
                           0, hold, think, n, true});
        }
      }
    }
  }
}

// Kind L at each read share of g: without reads every kind, with reads
// every lock; the kinds asked for, or where none were, when other values
// were, those of the default set. Processes run the kinds that work across
// processes, without reads.
template <class L>
void add(const grid& g, const asked& a) {
  auto in = [](const std::vector<std::string>& names) {
    return std::find(names.begin(), names.end(), L::name) != names.end();
  };
  if constexpr (L::one_process == nullptr) {
    bool zero = std::find(g.reads.begin(), g.reads.end(), 0) != g.reads.end();
    if (!g.processes.empty() && zero && (a.kinds.empty() || in(a.kinds)))
      add_across<exclusive<L>>(L::name, g);
  }
  if (g.threads.empty()) return;
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

// The death of an owner, for every kind that works across processes.
template <class L>
void add_death(const grid& g) {
  if constexpr (L::one_process == nullptr)
    if (L::excludes) add_across<exclusive<L>>(L::name, g, true);
}
template <class... K>
void add_deaths(std::tuple<K...>*, const grid& g) {
  (add_death<K>(g), ...);
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
  apart_runs.clear();
}

std::string start_runs_apart() {
  if (server.pid > 0) {
    close(server.to);
    close(server.from);
    kill(server.pid, SIGKILL);
    while (waitpid(server.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    server = {};
  }
  if (apart_runs.empty()) return "";
  int down[2], up[2];
  if (pipe2(down, O_CLOEXEC) != 0) return std::strerror(errno);
  if (pipe2(up, O_CLOEXEC) != 0) {
    int e = errno;
    close(down[0]);
    close(down[1]);
    return std::strerror(e);
  }
  std::fflush(nullptr);
  pid_t parent = getpid(), pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    close(down[1]);
    close(up[0]);
    serve_runs(down[0], up[1]);
  }
  int e = errno;
  close(down[0]);
  close(up[1]);
  if (pid < 0) {
    close(down[1]);
    close(up[0]);
    return std::strerror(e);
  }
  server = {pid, down[1], up[0]};
  return "";
}

std::vector<std::string> kind_names() { return names_of(static_cast<kinds*>(nullptr)); }

void register_cases(const asked& a) {
  int cpus = int(machine().pus.size());
  if (a.any()) {
    // Only the cases asked for: the default set's values for the rest.
    grid g{{unpinned}, {0, 90, 100}, {0, 1000}, {0}, {cpus, 4 * cpus}, {}};
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
    // Threads, processes, or both: as asked; threads when neither is.
    if (!a.threads.empty() || !a.processes.empty()) g.threads = a.threads;
    g.processes = a.processes;
    add_all(static_cast<kinds*>(nullptr), g, a);
    return add_loaded(g, a);
  }
  std::vector<placement> places;
  for (int w = unpinned; w <= package; ++w) places.push_back(placement(w));
  grid g{places, reads, holds, thinks, thread_counts(cpus), thread_counts(cpus)};
  add_all(static_cast<kinds*>(nullptr), g, a);
  add_loaded(g, a);
  add_deaths(static_cast<kinds*>(nullptr), grid{{unpinned}, {0}, {0}, {0}, {}, {std::max(cpus, 2)}});
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

template <class... K>
std::string private_to_one(std::tuple<K...>*, const std::string& kind) {
  std::string why;
  ((kind == K::name && K::one_process ? why = K::one_process : why), ...);
  for (int p = 0; p < loaded_plugins; ++p)
    if (kind == plugins[p].name) why = loaded<0, false>::one_process;
  return why;
}
std::string one_process(const std::string& kind) {
  return private_to_one(static_cast<kinds*>(nullptr), kind);
}

std::string shared_kinds(const std::string& between) {
  return shared_names(static_cast<kinds*>(nullptr), between);
}

// Unpinned, with no think time, no hold and a 1 us hold, at as many threads
// as CPUs and four times as many: every kind with writes only, the kinds
// that share and mix_exclusive with 90 and 100% reads, the kinds that work
// across processes with as many processes, and classic: the three
// questions in about three minutes on two CPUs.
std::string default_filter() {
  int cpus = int(machine().pus.size());
  std::string counts = "(" + std::to_string(cpus) + "|" + std::to_string(4 * cpus) + ")";
  std::string tail = "hold:(0|1us)/think:0/(real|manual)_time/threads:" + counts + "$";
  return "^[a-z0-9_]+/unpinned/" + tail + "|^(" + shared_kinds("|") +
         "|" + mix_exclusive[0] + "|" + mix_exclusive[1] + ")/unpinned/read:(90|100)/" + tail +
         "|^[a-z0-9_]+/unpinned/hold:(0|1us)/think:0/processes:" + counts + "/manual_time$" +
         "|^classic/";
}

double least_seconds(int n, long hold, long think, bool in_turn) {
  double cpus = double(machine().pus.size());
  double rounds = std::ceil(double(n) / cpus);
  return std::max(in_turn ? double(n) * double(hold) : 0, rounds * double(hold + think)) / 1e9;
}

double least_seconds(const listed& c) {
  if (c.kind.empty()) return 0;
  std::string shared = " " + shared_kinds(" ") + " ";
  bool shares = shared.find(" " + c.kind + " ") != std::string::npos;
  return least_seconds(c.threads, c.hold, c.think, c.lock() && !(c.read > 0 && shares));
}
