// lock_bench as a user runs it: the cases it lists, and the command lines
// that cannot give figures, each refused with one line and a failing status.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "locks.h"
#include "names.h"
#include "place.h"
#include "run.h"

// Google Benchmark 1.8 and later warn about a minimum time without a unit.
#ifdef MIN_TIME_UNITS
#define SECONDS "s"
#else
#define SECONDS ""
#endif

namespace {

std::set<std::string> listed(const std::vector<std::string>& flags,
                             const std::vector<std::string>& env = {}) {
  std::vector<std::string> argv{LOCK_BENCH, "--benchmark_list_tests"};
  argv.insert(argv.end(), flags.begin(), flags.end());
  run_result r = run(argv, env);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> l = lines(r.out);
  return {l.begin(), l.end()};
}

// The names of every kind, of the locks (kinds that exclude) and of the
// kinds that can be shared.
struct kind_names {
  std::vector<std::string> all, locks, shared, across;  // across: work across processes
};
template <class... K>
kind_names names_of(std::tuple<K...>*) {
  kind_names n;
  ((n.all.push_back(K::name), K::excludes ? n.locks.push_back(K::name) : void(),
    K::shares ? n.shared.push_back(K::name) : void(),
    K::one_process ? void() : n.across.push_back(K::name)),
   ...);
  return n;
}
kind_names names() { return names_of(static_cast<kinds*>(nullptr)); }

std::string case_name(const std::string& kind, const char* place, long hold, long think, int n,
                      int read = 0) {
  return ::case_name(kind, place, read, hold, think) + "/real_time/threads:" + std::to_string(n);
}

// A loaded kind's case: its runs are timed in a process of their own.
std::string loaded_name(const std::string& kind, const char* place, long hold, long think, int n,
                        int read = 0) {
  return ::case_name(kind, place, read, hold, think) + "/manual_time/threads:" + std::to_string(n);
}

std::string processes_name(const std::string& kind, const char* place, long hold, long think, int n) {
  return ::case_name(kind, place, 0, hold, think) + "/processes:" + std::to_string(n) + "/manual_time";
}

std::string pingpong_name(int a, int b) {
  return "pingpong/cpu:" + std::to_string(a) + "/cpu:" + std::to_string(b) + "/real_time/threads:2";
}

// What a listing holds: each placement's thread counts over all kinds, and
// the ping-pong cases.
struct grid {
  std::map<std::string, std::set<int>> threads;
  std::set<std::string> pingpong;
};
grid grid_of(const std::set<std::string>& cases) {
  static const std::regex kind_case(
      R"(\w+/(\w+)/(?:read:\d+/)?hold:\w+/think:\w+/real_time/threads:(\d+))");
  grid g;
  std::smatch m;
  for (const std::string& c : cases) {
    if (std::regex_match(c, m, kind_case))
      g.threads[m[1]].insert(std::stoi(m[2]));
    else if (c.rfind("pingpong/", 0) == 0)
      g.pingpong.insert(c);
  }
  return g;
}

TEST(lock_bench, lists_the_default_set_and_the_whole_grid) {
  std::set<std::string> all = listed({"--benchmark_filter=all"});
  std::set<std::string> some = listed({});
  std::vector<int> threads = thread_counts(int(machine().pus.size()));
  std::vector<const char*> pairs;
  for (placement p : {smt, core, cache, package})
    if (!plan(p, 2, machine().pus).empty()) pairs.push_back(placement_names[p]);
  kind_names kinds = names();
  // Every kind with writes only; every lock with each share of reads.
  for (int read : reads) {
    for (const std::string& k : read ? kinds.locks : kinds.all) {
      for (int n : threads)
        for (const char* place : {"unpinned", "spread", "compact", "one_cpu"})
          for (long hold : holds)
            for (long think : thinks)
              EXPECT_TRUE(all.count(case_name(k, place, hold, think, n, read)))
                  << case_name(k, place, hold, think, n, read);
      for (const char* pair : pairs)
        EXPECT_TRUE(all.count(case_name(k, pair, 0, 0, 2, read))) << case_name(k, pair, 0, 0, 2, read);
    }
  }
  // The same without reads for processes, and the death of an owner.
  int cpus = int(machine().pus.size());
  for (const std::string& k : kinds.across) {
    for (int n : threads)
      for (const char* place : {"unpinned", "spread", "compact", "one_cpu"})
        for (long hold : holds)
          for (long think : thinks) EXPECT_TRUE(all.count(processes_name(k, place, hold, think, n)));
    for (const char* pair : pairs) EXPECT_TRUE(all.count(processes_name(k, pair, 0, 0, 2)));
    if (k != "none" && k != "atomic") {
      EXPECT_TRUE(all.count(k + "/unpinned/hold:0/think:0/owner_dies/processes:" +
                            std::to_string(std::max(cpus, 2)) + "/manual_time"));
    }
  }
  // The default set: unpinned, think 0, hold 0 and 1 us, at as many threads
  // as CPUs and four times as many; every kind with writes only, and with
  // 90 and 100% reads the kinds that share, mutex and tbb_spin; as many
  // processes of every kind that works across processes.
  std::set<std::string> want{"classic/iterations:10000000/real_time/threads:2"};
  std::vector<std::string> mix = kinds.shared;
  mix.insert(mix.end(), {"mutex", "tbb_spin"});
  for (int n : {cpus, 4 * cpus})
    for (long hold : {0, 1000}) {
      for (const std::string& k : kinds.all) want.insert(case_name(k, "unpinned", hold, 0, n));
      for (const std::string& k : kinds.across) want.insert(processes_name(k, "unpinned", hold, 0, n));
      for (const std::string& k : mix)
        for (int read : {90, 100}) want.insert(case_name(k, "unpinned", hold, 0, n, read));
    }
  EXPECT_EQ(some, want);
  // The ping-pong matrix: every pair of its CPUs once, each CPU with itself.
  std::set<std::string> pingpong;
  std::vector<int> cpus_of_matrix = matrix_cpus(machine().pus);
  for (int a : cpus_of_matrix)
    for (int b : cpus_of_matrix)
      if (a <= b) pingpong.insert(pingpong_name(a, b));
  EXPECT_EQ(grid_of(all).pingpong, pingpong);
  std::size_t per_kind = (4 * threads.size() + pairs.size()) * holds.size() * thinks.size();
  EXPECT_EQ(all.size(), (kinds.all.size() + (reads.size() - 1) * kinds.locks.size() +
                         kinds.across.size()) * per_kind +
                            1 + pingpong.size() + (kinds.across.size() - 2));
}

// lock_bench's own flags make exactly the cases asked, the default set's
// values where a flag is not given (unpinned, reads 0, 90 and 100, holds 0
// and 1us, think 0, C and 4C threads), and Google Benchmark's filter still
// narrows them.
TEST(lock_bench, makes_the_cases_asked) {
  int cpus = int(machine().pus.size());
  struct ask {
    std::vector<std::string> flags;
    std::set<std::string> want;
  } table[] = {
      {{"--hold=300ns,2us", "--threads=16", "--kinds=mutex"},
       {case_name("mutex", "unpinned", 300, 0, 16), case_name("mutex", "unpinned", 2000, 0, 16),
        case_name("mutex", "unpinned", 300, 0, 16, 90), case_name("mutex", "unpinned", 2000, 0, 16, 90),
        case_name("mutex", "unpinned", 300, 0, 16, 100),
        case_name("mutex", "unpinned", 2000, 0, 16, 100)}},
      // a baseline has no reads; the last of two flags counts
      {{"--kinds=none,spin", "--read=0,50", "--hold=1ms", "--think=0,1500ns", "--threads=4",
        "--threads=3", "--place=spread"},
       {case_name("none", "spread", 1000000, 0, 3), case_name("none", "spread", 1000000, 1500, 3),
        case_name("spin", "spread", 1000000, 0, 3), case_name("spin", "spread", 1000000, 1500, 3),
        case_name("spin", "spread", 1000000, 0, 3, 50),
        case_name("spin", "spread", 1000000, 1500, 3, 50)}},
      {{"--read=100", "--hold=0", "--kinds=rwlock,tbb_spin",
        "--benchmark_filter=rwlock/.*threads:" + std::to_string(cpus) + "$"},
       {case_name("rwlock", "unpinned", 0, 0, cpus, 100)}},
      // processes alone, without reads; with threads, both
      {{"--processes=2,3", "--kinds=mutex,none", "--hold=0"},
       {processes_name("mutex", "unpinned", 0, 0, 2), processes_name("mutex", "unpinned", 0, 0, 3),
        processes_name("none", "unpinned", 0, 0, 2), processes_name("none", "unpinned", 0, 0, 3)}},
      {{"--processes=2", "--threads=4", "--kinds=spin", "--hold=0", "--read=0,90"},
       {processes_name("spin", "unpinned", 0, 0, 2), case_name("spin", "unpinned", 0, 0, 4),
        case_name("spin", "unpinned", 0, 0, 4, 90)}},
      // a second, the longest time, in any unit
      {{"--kinds=mutex", "--read=0", "--threads=2", "--hold=1000000000ns", "--think=1000ms"},
       {case_name("mutex", "unpinned", 1000000000, 1000000000, 2)}},
      // an item given twice, in any spelling, makes its cases once
      {{"--kinds=mutex,mutex", "--place=unpinned,unpinned", "--read=0,0", "--hold=1us,1000ns",
        "--think=0,0ns", "--threads=3,3", "--processes=2,2"},
       {case_name("mutex", "unpinned", 1000, 0, 3), processes_name("mutex", "unpinned", 1000, 0, 2)}},
  };
  for (const ask& a : table) {
    std::vector<std::string> argv{LOCK_BENCH, "--benchmark_list_tests"};
    argv.insert(argv.end(), a.flags.begin(), a.flags.end());
    std::vector<std::string> names = lines(run(argv).out);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), a.want) << a.flags[0];
    EXPECT_EQ(names.size(), a.want.size()) << a.flags[0] << ": a case listed twice";
  }
  // Without --kinds, the default set's kinds: every kind without reads,
  // with them the kinds that share, mutex and tbb_spin.
  std::set<std::string> some = listed({"--threads=5"}), want;
  kind_names kinds = names();
  std::vector<std::string> mix = kinds.shared;
  mix.insert(mix.end(), {"mutex", "tbb_spin"});
  for (long hold : {0, 1000}) {
    for (const std::string& k : kinds.all) want.insert(case_name(k, "unpinned", hold, 0, 5));
    for (const std::string& k : mix)
      for (int read : {90, 100}) want.insert(case_name(k, "unpinned", hold, 0, 5, read));
  }
  EXPECT_EQ(some, want);
}

// An existing results file that every failing run must leave alone.
struct results_file {
  std::string path = testing::TempDir() + "lock_bench_results." + std::to_string(getpid()) + ".json";
  results_file() { std::ofstream(path) << "{\"earlier\": true}\n"; }
  ~results_file() { unlink(path.c_str()); }
  std::string text() const {
    std::ifstream f(path);
    return {std::istreambuf_iterator<char>(f), {}};
  }
};

// The cases of a machine we do not have, from hwloc's description of it:
// two packages of two caches of eight cores with two hardware threads.
const std::string other = "HWLOC_SYNTHETIC=pack:2 l3:2 core:8 pu:2";

TEST(lock_bench, lists_the_cases_of_another_machine) {
  grid g = grid_of(listed({"--benchmark_filter=all"}, {other}));
  std::set<int> counts{1, 2, 4, 8, 16, 32, 64, 128, 256}, two{2};
  std::map<std::string, std::set<int>> want{
      {"unpinned", counts}, {"spread", counts}, {"compact", counts}, {"one_cpu", counts},
      {"smt", two},         {"core", two},      {"cache", two},      {"package", two}};
  EXPECT_EQ(g.threads, want);
  EXPECT_EQ(g.pingpong.size(), 64u * 65 / 2);
  for (auto [a, b] : std::vector<std::pair<int, int>>{{0, 0}, {0, 63}, {62, 63}, {63, 63}})
    EXPECT_TRUE(g.pingpong.count(pingpong_name(a, b))) << pingpong_name(a, b);
}

// Under an affinity of one CPU, the grid is that of a one-CPU machine.
TEST(lock_bench, lists_the_cases_of_the_cpus_it_may_use) {
  cpu_set_t saved, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  int cpu = machine().pus.back().os;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  std::set<std::string> all = listed({"--benchmark_filter=all"});
  sched_setaffinity(0, sizeof saved, &saved);
  grid g = grid_of(all);
  std::set<int> counts{1, 2, 4};
  std::map<std::string, std::set<int>> want{
      {"unpinned", counts}, {"spread", counts}, {"compact", counts}, {"one_cpu", counts}};
  EXPECT_EQ(g.threads, want);
  EXPECT_EQ(g.pingpong, std::set<std::string>{pingpong_name(cpu, cpu)});
}

// A run on another machine's topology would pin threads on CPUs that are
// not here; a topology hwloc cannot read would quietly be this machine's.
// Every way of giving hwloc another machine is refused for a run, and
// every way of asking Google Benchmark for a listing lists.
TEST(lock_bench, refuses_another_machines_cpus_and_unreadable_topologies) {
  // A file of 65 MiB, all holes.
  std::string big = testing::TempDir() + "lock_bench_big." + std::to_string(getpid()) + ".xml";
  std::ofstream{big};
  ASSERT_EQ(truncate(big.c_str(), 65 << 20), 0);
  const std::string foreign = "lock_bench: the topology hwloc reads with ";
  const std::string there =
      " set is not this machine's: list its cases with --benchmark_list_tests, run them there\n";
  struct bad {
    std::vector<std::string> env, flags;
    std::string says;
  } table[] = {
      {{other}, {}, foreign + "HWLOC_SYNTHETIC" + there},
      {{other, "HWLOC_THISSYSTEM=1"}, {}, foreign + "HWLOC_SYNTHETIC, HWLOC_THISSYSTEM" + there},
      {{"HWLOC_FORCE_" + other.substr(6)}, {}, foreign + "HWLOC_FORCE_SYNTHETIC" + there},
      {{other}, {"--benchmark_list_tests", "--benchmark_list_tests=false"},
       foreign + "HWLOC_SYNTHETIC" + there},
      {{other}, {"--benchmark_list_tests=no"}, foreign + "HWLOC_SYNTHETIC" + there},
      {{other, "BENCHMARK_LIST_TESTS=0"}, {}, foreign + "HWLOC_SYNTHETIC" + there},
      {{"HWLOC_SYNTHETIC=pack:two core:8"}, {"--benchmark_list_tests"},
       "lock_bench: HWLOC_SYNTHETIC is not a topology hwloc can read: 'pack:two core:8'\n"},
      {{"HWLOC_XMLFILE=/no/such/machine.xml"}, {"--benchmark_list_tests"},
       "lock_bench: cannot read HWLOC_XMLFILE /no/such/machine.xml: No such file or directory\n"},
      {{"HWLOC_XMLFILE=-"}, {"--benchmark_list_tests"},
       "lock_bench: cannot read HWLOC_XMLFILE -: No such file or directory\n"},
      {{"HWLOC_XMLFILE=/dev/zero"}, {"--benchmark_list_tests"},
       "lock_bench: HWLOC_XMLFILE /dev/zero is not a regular file\n"},
      {{"HWLOC_XMLFILE=" + big}, {"--benchmark_list_tests"},
       "lock_bench: HWLOC_XMLFILE " + big + " is larger than 64 MiB: not a topology\n"},
  };
  for (const bad& b : table) {
    results_file f;
    std::vector<std::string> argv{LOCK_BENCH, "--benchmark_out=" + f.path,
                                  "--benchmark_min_time=0.01" SECONDS,
                                  "--benchmark_filter=^mutex/spread/hold:0/think:0/.*threads:2$"};
    argv.insert(argv.end(), b.flags.begin(), b.flags.end());
    run_result r = run(argv, b.env);
    std::string what = b.env.back() + (b.flags.empty() ? "" : " " + b.flags.back());
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_EQ(r.err, b.says) << what;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(f.text(), "{\"earlier\": true}\n") << what;
  }
  for (auto [env, flag] : std::vector<std::pair<std::string, std::string>>{
           {"", "--benchmark_list_tests=yes"},
           {"", "--benchmark_list_tests=1"},
           {"", "--benchmark_list_tests=On"},
           {"BENCHMARK_LIST_TESTS=true", "--benchmark_filter=all"}}) {
    std::vector<std::string> envs{other};
    if (!env.empty()) envs.push_back(env);
    run_result r = run({LOCK_BENCH, flag}, envs);
    EXPECT_EQ(r.status, 0) << flag << " " << env << ": " << r.err;
    EXPECT_NE(r.out.find("mutex/unpinned/hold:0/think:0/real_time/threads:256\n"),
              std::string::npos)
        << flag << " " << env << " is a listing";
  }
  unlink(big.c_str());
  // A variable that changes nothing of the topology leaves a run alone.
  run_result r = run({LOCK_BENCH, "--benchmark_min_time=0.01" SECONDS,
                      "--benchmark_filter=^mutex/unpinned/hold:0/think:0/.*threads:1$"},
                     {"HWLOC_HIDE_ERRORS=1"});
  EXPECT_EQ(r.status, 0) << r.err;
}

// Each pair of CPUs bounces its cache line to the end and gives a time per
// transfer, on one CPU as well.
TEST(lock_bench, plays_ping_pong_on_every_pair_of_cpus) {
  run_result r = run({LOCK_BENCH, "--benchmark_filter=^pingpong/", "--benchmark_min_time=0.01" SECONDS,
                      "--benchmark_format=json"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::set<std::string> pairs;
  const std::regex name(R"re("name": "(pingpong/[^"]*)")re");
  const std::regex transfer(R"re("transfer_ns": ([^,\s]+))re");
  std::smatch m;
  std::string at;
  for (const std::string& line : lines(r.out)) {
    if (std::regex_search(line, m, name)) at = m[1];
    if (std::regex_search(line, m, transfer)) {
      EXPECT_GT(std::stod(m[1]), 0) << at;
      pairs.insert(at);
    }
  }
  EXPECT_EQ(pairs, grid_of(listed({"--benchmark_filter=^pingpong/"})).pingpong) << r.out;
  EXPECT_EQ(r.out.find("error_occurred"), std::string::npos) << r.out;
}

// 1 to 300, each with UNIT, as a list flag's value.
std::string many(const std::string& unit) {
  std::string list;
  for (int k = 1; k <= 300; ++k) list += (k > 1 ? "," : "") + std::to_string(k) + unit;
  return list;
}

TEST(lock_bench, refuses_what_cannot_give_figures) {
  struct bad {
    std::vector<std::string> flags;
    const char* out;  // where standard output goes: nullptr a pipe, "" closed
    std::string says;
  } table[] = {
      {{"--benchmark_filter=mutex/(unpinned"}, nullptr, "Could not compile"},
      {{"--benchmark_filter=no_such_case"}, nullptr, "Failed to match"},
      {{"--benchmark_repetitions=0"}, nullptr, "--benchmark_repetitions must be"},
      {{"--benchmark_repetitions=-3"}, nullptr, "--benchmark_repetitions must be"},
      {{"--benchmark_repetitions=two"}, nullptr, "--benchmark_repetitions must be"},
      {{"--benchmark_min_time=0"}, nullptr, "--benchmark_min_time must be"},
      {{"--benchmark_min_time=-1"}, nullptr, "--benchmark_min_time must be"},
      {{"--benchmark_min_time=0.2ss"}, nullptr, "--benchmark_min_time must be"},
      {{"--benchmark_min_time=1.5x"}, nullptr, "--benchmark_min_time must be"},
      {{"--benchmark_min_time=0x"}, nullptr, "--benchmark_min_time must be"},
#ifndef MIN_TIME_UNITS  // this Google Benchmark takes seconds without a unit
      {{"--benchmark_min_time=0.2s"}, nullptr, "--benchmark_min_time must be"},
      {{"--benchmark_min_time=100x"}, nullptr, "--benchmark_min_time must be"},
#endif
      {{"--benchmark_filter=^classic"}, "", "standard output is closed"},
      {{"--benchmark_filter=^mutex/unpinned/hold:0/think:0/.*threads:1$",
        "--benchmark_min_time=0.01" SECONDS},
       "/dev/full",
       "cannot write standard output"},
      {{"--no_such_flag"}, nullptr, "unrecognized"},
      {{"--hold=300"}, nullptr, "--hold=300: '300' is not a time"},
      {{"--hold=-1us"}, nullptr, "'-1us' is not a time"},
      {{"--think=2s"}, nullptr, "'2s' is not a time"},
      {{"--think=2000ms"}, nullptr, "'2000ms' is not a time"},
      {{"--think=1000000001ns"}, nullptr, "'1000000001ns' is not a time"},
      {{"--hold=99999999999999999999us"}, nullptr, "'99999999999999999999us' is not a time"},
      {{"--threads=0"}, nullptr, "'0' is not a thread count"},
      {{"--threads=two"}, nullptr, "'two' is not a thread count"},
      {{"--kinds=mutex,,spin"}, nullptr, "--kinds has an empty item"},
      {{"--kinds=mutex,"}, nullptr, "--kinds has an empty item"},
      {{"--kinds=no_such_lock"}, nullptr, "'no_such_lock' is not a lock kind"},
      {{"--place=everywhere"}, nullptr, "'everywhere' is not a placement"},
      {{"--read=101"}, nullptr, "'101' is not a share of reads"},
      {{"--hold"}, nullptr, "--hold needs a list"},
      {{"--kinds=none", "--read=50"}, nullptr, "Failed to match"},
      {{"--processes=0"}, nullptr, "'0' is not a process count"},
      {{"--processes=2", "--read=90"}, nullptr, "processes run without reads; add 0 to --read=90"},
      {{"--lock=" LOADED "librw_test.so", "--kinds=rw_test", "--processes=2"}, nullptr,
       "rw_test cannot work across processes: a loaded kind's lock is made in lock_bench's own memory"},
      // What a terminal would obey comes out as '?', in one line.
      {{"--kinds=mutex,evil\n\033[2J\302\233"}, nullptr, "'evil?\?[2J?' is not a lock kind"},
      {{"--lock=./x\ny\033.so"}, nullptr, "cannot load ./x?y?.so: No such file or directory"},
      // Millions of cases would take gigabytes before anything ran.
      {{"--hold=" + many("ns"), "--think=" + many("us")}, nullptr,
       " cases; one run takes at most 100000"},
      // Google Benchmark's matcher would backtrack as long.
      {{"--benchmark_filter=(.*)*x"}, nullptr, "--benchmark_filter=(.*)*x takes over 10 s to match"},
  };
  for (const bad& b : table) {
    results_file f;
    std::vector<std::string> argv{LOCK_BENCH, "--benchmark_out=" + f.path};
    argv.insert(argv.end(), b.flags.begin(), b.flags.end());
    run_result r = run(argv, {}, b.out);
    std::string said = b.flags[0];
    EXPECT_EQ(r.status, 1) << said;
    EXPECT_NE(r.err.find(b.says), std::string::npos) << said << ":\n" << r.err;
    EXPECT_EQ(r.err.find('\033'), std::string::npos) << said;
    EXPECT_EQ(f.text(), "{\"earlier\": true}\n") << said << " destroyed the results";
  }
  // Each kind that cannot work across processes, with its reason.
  kind_names kinds = names();
  for (const std::string& k : kinds.locks) {
    if (std::find(kinds.across.begin(), kinds.across.end(), k) != kinds.across.end()) continue;
    run_result r = run({LOCK_BENCH, "--kinds=mutex," + k, "--processes=2"});
    EXPECT_EQ(r.status, 1) << k;
    // One line of lock_bench's, the last (hwloc warns first where /sys is missing).
    EXPECT_EQ(lines(r.err).back().find("lock_bench: --kinds=mutex," + k + " --processes: " + k +
                                       " cannot work across processes: "),
              0u)
        << r.err;
  }
  run_result r = run({LOCK_BENCH, "--benchmark_out=/no/such/folder/r.json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("lock_bench: cannot write /no/such/folder/r.json"), std::string::npos)
      << r.err;
}

TEST(lock_bench, replaces_results_only_with_a_whole_run) {
  results_file f;
  run_result listing = run({LOCK_BENCH, "--benchmark_list_tests", "--benchmark_out=" + f.path});
  EXPECT_EQ(listing.status, 0);
  EXPECT_EQ(f.text(), "{\"earlier\": true}\n") << "a listing is no run";
  run_result r = run({LOCK_BENCH, "--benchmark_out=" + f.path, "--benchmark_min_time=0.01" SECONDS,
                      "--benchmark_filter=^mutex/unpinned/hold:0/think:0/.*threads:2$"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(f.text().find("\"name\": \"mutex/unpinned/hold:0/think:0/real_time/threads:2\""),
            std::string::npos)
      << f.text();
  mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat(f.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << "results are not private files";
}

// A folder of its own for one case, and what is left in it afterwards.
struct scratch {
  std::string dir;
  int reader = -1;  // the read end of a FIFO, opened before the run
  scratch() {
    std::string t = testing::TempDir() + "lock_bench.XXXXXX";
    dir = mkdtemp(t.data());
  }
  ~scratch() {
    if (reader >= 0) close(reader);
    std::filesystem::remove_all(dir);
  }
  std::string operator/(const std::string& name) const { return dir + "/" + name; }
  std::set<std::string> names() const {
    std::set<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(dir))
      found.insert(e.path().filename().string());
    return found;
  }
  std::string text(const std::string& name) const {
    std::ifstream f(*this / name);
    return {std::istreambuf_iterator<char>(f), {}};
  }
  std::string keep() const {  // earlier results, which failing runs leave alone
    std::ofstream(*this / "keep.json") << earlier;
    return *this / "keep.json";
  }
  static constexpr const char* earlier = "{\"earlier\": true}\n";
};

bool is_link(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
mode_t type_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}
bool results_in(const std::string& text) {
  return text.rfind("{\n  \"context\": {", 0) == 0 &&
         text.find("\"name\": \"mutex/unpinned/hold:0/think:0/real_time/threads:1\"") !=
             std::string::npos;
}

const std::vector<std::string> quick{
    "--benchmark_filter=^mutex/unpinned/hold:0/think:0/real_time/threads:1$",
    "--benchmark_min_time=0.01" SECONDS};

// The results go only where they replace nothing but the earlier results:
// links are followed and stay links, pipes and devices are written
// through, and what cannot take them is refused before the run. No
// temporary file is left behind, whatever happens.
TEST(lock_bench, writes_results_only_where_they_belong) {
  bool root = geteuid() == 0;  // devices can be made
  struct target {
    const char* what;
    std::function<std::string(scratch&)> make;  // the --benchmark_out value
    std::vector<std::string> flags, env;
    const char* shell;  // runs lock_bench as "$0" "$@", or nullptr
    int status;
    std::string says;  // in the one line on stderr of a failure
    // Whether the folder holds what it should afterwards.
    std::function<bool(scratch&, const run_result&)> right;
  } table[] = {
      {"a link to earlier results",
       [](scratch& s) {
         s.keep();
         symlink("keep.json", (s / "link").c_str());
         return s / "link";
       },
       {}, {}, nullptr, 0, "",
       [](scratch& s, const run_result&) {
         return is_link(s / "link") && results_in(s.text("keep.json")) &&
                s.names() == std::set<std::string>{"keep.json", "link"};
       }},
      {"a link to a file not yet made",
       [](scratch& s) {
         symlink("new.json", (s / "link").c_str());
         return s / "link";
       },
       {}, {}, nullptr, 0, "",
       [](scratch& s, const run_result&) {
         return is_link(s / "link") && results_in(s.text("new.json"));
       }},
      {"a loop of links",
       [](scratch& s) {
         symlink("b", (s / "a").c_str());
         symlink("a", (s / "b").c_str());
         return s / "a";
       },
       {}, {}, nullptr, 1, "Too many levels of symbolic links",
       [](scratch& s, const run_result&) {
         return s.names() == std::set<std::string>{"a", "b"};
       }},
      {"a folder",
       [](scratch& s) {
         mkdir((s / "out").c_str(), 0755);
         return s / "out";
       },
       {}, {}, nullptr, 1, "Is a directory",
       [](scratch& s, const run_result&) { return std::filesystem::is_empty(s / "out"); }},
      {"a folder named with a slash",
       [](scratch& s) {
         mkdir((s / "out").c_str(), 0755);
         return s / "out/";
       },
       {}, {}, nullptr, 1, "Is a directory",
       [](scratch& s, const run_result&) { return std::filesystem::is_empty(s / "out"); }},
      {"a new name with a slash", [](scratch& s) { return s / "new/"; }, {}, {}, nullptr, 1,
       "Is a directory", [](scratch& s, const run_result&) { return s.names().empty(); }},
      {"a FIFO",
       [](scratch& s) {
         mkfifo((s / "fifo").c_str(), 0644);
         s.reader = open((s / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
         return s / "fifo";
       },
       {}, {}, nullptr, 0, "",
       [](scratch& s, const run_result&) {
         // The results are far smaller than a pipe's buffer.
         char got[65536];
         ssize_t n = read(s.reader, got, sizeof got);
         return n > 0 && results_in(std::string(got, n)) && type_of(s / "fifo") == S_IFIFO;
       }},
      {"standard output by its name, when it is a file",
       [](scratch& s) {
         std::ofstream(s / "console");
         symlink("/proc/self/fd/1", (s / "stdout").c_str());
         return s / "stdout";
       },
       {}, {}, nullptr, 0, "",
       [](scratch& s, const run_result&) {
         std::string console = s.text("console");
         std::size_t table = console.find("mutex/unpinned/hold:0"), json = console.find("{\n");
         return is_link(s / "stdout") && table < json && results_in(console.substr(json));
       }},
      {"a device that takes everything",
       [](scratch& s) {
         mknod((s / "null").c_str(), S_IFCHR | 0666, makedev(1, 3));
         return s / "null";
       },
       {}, {}, nullptr, 0, "",
       [](scratch& s, const run_result&) {
         return type_of(s / "null") == S_IFCHR && s.names() == std::set<std::string>{"null"};
       }},
      {"a device that is full",
       [](scratch& s) {
         mknod((s / "full").c_str(), S_IFCHR | 0666, makedev(1, 7));
         return s / "full";
       },
       {}, {}, nullptr, 1, "No space left on device; the results are in " + std::string(""),
       [](scratch& s, const run_result&) {
         // kept in TMPDIR, which is the folder here
         std::set<std::string> names = s.names();
         names.erase("full");
         return type_of(s / "full") == S_IFCHR && names.size() == 1 &&
                names.begin()->rfind("lock_bench-results.", 0) == 0 &&
                results_in(s.text(*names.begin()));
       }},
      {"a block device",
       [](scratch& s) {
         mknod((s / "disk").c_str(), S_IFBLK | 0600, makedev(0, 0));
         return s / "disk";
       },
       {}, {}, nullptr, 1, "it is a block device",
       [](scratch& s, const run_result&) { return type_of(s / "disk") == S_IFBLK; }},
      {"a folder that does not exist", [](scratch& s) { return s / "no/r.json"; }, {}, {},
       nullptr, 1, "No such file or directory",
       [](scratch& s, const run_result&) { return s.names().empty(); }},
      {"standard error closed", [](scratch& s) { return s.keep(); }, {}, {},
       "exec \"$0\" \"$@\" 2>&-", 0, "",
       [](scratch& s, const run_result&) {
         return results_in(s.text("keep.json")) && s.names() == std::set<std::string>{"keep.json"};
       }},
      {"CSV", [](scratch& s) { return s.keep(); }, {"--benchmark_out_format=csv"}, {}, nullptr, 0,
       "",
       [](scratch& s, const run_result&) {
         return s.text("keep.json").find("\nname,iterations,real_time,") != std::string::npos;
       }},
      {"the console's format, from the environment", [](scratch& s) { return s.keep(); }, {},
       {"BENCHMARK_OUT_FORMAT=console"}, nullptr, 0, "",
       [](scratch& s, const run_result&) {
         return s.text("keep.json").find("\nmutex/unpinned/hold:0/think:0/real_time/threads:1 ") !=
                std::string::npos;
       }},
      {"a format Google Benchmark lacks", [](scratch& s) { return s.keep(); },
       {"--benchmark_out_format=xml"}, {}, nullptr, 1,
       "--benchmark_out_format must be console, json or csv, not 'xml'",
       [](scratch& s, const run_result&) {
         return s.text("keep.json") == scratch::earlier && s.names().size() == 1;
       }},
      {"a console format Google Benchmark lacks", [](scratch& s) { return s.keep(); },
       {"--benchmark_format=xml"}, {}, nullptr, 1, "--benchmark_format must be",
       [](scratch& s, const run_result&) {
         return s.text("keep.json") == scratch::earlier && s.names().size() == 1;
       }},
      {"help", [](scratch& s) { return s.keep(); }, {"--help"}, {}, nullptr, 0, "",
       [](scratch& s, const run_result& r) {
         return r.out.find("benchmark_out") != std::string::npos &&
                s.text("keep.json") == scratch::earlier && s.names().size() == 1;
       }},
#ifndef __SANITIZE_THREAD__  // whose shadow memory needs far more address space
      // Short of address space, a thread's stack or an allocation fails
      // first, as the threads happen to run: either ends the run the same way.
      {"threads that cannot start", [](scratch& s) { return s.keep(); },
       {"--benchmark_filter=^mutex/unpinned/hold:0/think:0/"}, {},
       "ulimit -v 60000 && exec \"$0\" \"$@\"", 1,
       "; no results written",
       [](scratch& s, const run_result&) {
         return s.text("keep.json") == scratch::earlier && s.names().size() == 1;
       }},
#endif
  };
  for (target& t : table) {
    if (!root && std::string(t.what).find("device") != std::string::npos) continue;
    scratch s;
    std::vector<std::string> argv{LOCK_BENCH};
    if (t.shell) argv = {"/bin/sh", "-c", t.shell, LOCK_BENCH};
    argv.insert(argv.end(), quick.begin(), quick.end());
    argv.insert(argv.end(), t.flags.begin(), t.flags.end());
    argv.push_back("--benchmark_out=" + t.make(s));
    std::string console = s / "console";
    std::vector<std::string> env = t.env;
    env.push_back("TMPDIR=" + s.dir);
    run_result r = run(argv, env, std::filesystem::exists(console) ? console.c_str() : nullptr);
    EXPECT_EQ(r.status, t.status) << t.what << ": " << r.err;
    if (t.status != 0) {
      EXPECT_EQ(lines(r.err).back().rfind("lock_bench: ", 0), 0u) << t.what << ": " << r.err;
      EXPECT_NE(lines(r.err).back().find(t.says), std::string::npos) << t.what << ": " << r.err;
    }
    EXPECT_TRUE(t.right(s, r)) << t.what << ": left " << ::testing::PrintToString(s.names());
  }
}

// A short case with a results file, for the tests of where results go.
const std::vector<std::string> brief = {"--kinds=mutex", "--threads=2", "--hold=0", "--read=0",
                                        "--benchmark_min_time=0.01" SECONDS};

// Starts lock_bench FLAGS in folder DIR, its standard error on a pipe, its
// standard output on /dev/null; the pid, and the pipe's read end in err.
pid_t start_in(const std::string& dir, const std::string& program, std::vector<std::string> flags,
               int& err) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(fds[1], 2);
    close(fds[0]);
    if (chdir(dir.c_str()) != 0) _exit(126);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& a : flags) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  err = fds[0];
  return pid;
}

// Reads fd up to and including a line that contains WANT, or to its end.
std::string read_until(int fd, const std::string& want) {
  std::string text;
  char c;
  while (read(fd, &c, 1) == 1) {
    text += c;
    if (c == '\n' && text.find(want) != std::string::npos) break;
  }
  return text;
}

// Each run's results are its own: two --verdict runs in one second in one
// folder choose one name, and the second to finish takes the next instead
// of replacing the first's; a name as long as the folder takes is taken;
// root replacing another user's file gives it back to that user.
TEST(lock_bench, keeps_each_runs_results_its_own) {
  scratch s;
  int err;
  // Long enough that a busy machine does not cut the mutex the verdict ranks.
  std::vector<std::string> flags = brief;
  flags.back() = "--benchmark_min_time=0.05" SECONDS;
  flags.push_back("--verdict");
  pid_t pid = start_in(s.dir, LOCK_BENCH, flags, err);
  ASSERT_GT(pid, 0);
  std::string said = read_until(err, "; results go to ");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(said, m, std::regex("results go to (lock_bench-[0-9-]+)\\.json\n"))) << said;
  // The match points into `said`, which grows below.
  const std::string name = m[1].str();
  std::ofstream(s / (name + ".json")) << scratch::earlier;  // the other run's
  said += read_until(err, "\x01");
  close(err);
  int status;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
  EXPECT_EQ(s.text(name + ".json"), scratch::earlier);
  EXPECT_NE(s.text(name + "-2.json").find("\"benchmarks\""), std::string::npos) << said;
  EXPECT_NE(said.find(name + ".json was taken meanwhile; the results are in " + name + "-2.json"),
            std::string::npos)
      << said;

  scratch t;
  std::string longest(255 - 5, 'r');
  std::vector<std::string> argv{LOCK_BENCH, "--benchmark_out=" + (t / (longest + ".json"))};
  argv.insert(argv.end(), brief.begin(), brief.end());
  run_result r = run(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(t.names(), std::set<std::string>{longest + ".json"});

  if (geteuid() != 0) GTEST_SKIP() << "only root can replace another user's file";
  std::string theirs = t / "theirs.json";
  std::ofstream(theirs) << scratch::earlier;
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  argv[1] = "--benchmark_out=" + theirs;
  r = run(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  struct stat st;
  ASSERT_EQ(stat(theirs.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_NE(t.text("theirs.json"), scratch::earlier);
}

// A file size limit (ulimit -f) is a failure said in one line, for the
// results file and for standard output, not a death by SIGXFSZ.
TEST(lock_bench, says_so_when_a_file_size_limit_stops_it) {
  scratch s;
  std::string run_brief = std::string("exec ") + LOCK_BENCH;
  for (const std::string& f : brief) run_brief += " " + f;
  const std::vector<std::pair<std::string, std::string>> table = {
      {"ulimit -f 2; " + run_brief + " --benchmark_out=" + s.keep(),
       "lock_bench: the run's results are incomplete (the file size limit, ulimit -f, is "},
      {"ulimit -f 1; " + run_brief + " --benchmark_format=json > " + (s / "out.json"),
       "lock_bench: cannot write standard output: File too large"},
  };
  for (const auto& [command, says] : table) {
    run_result r = run({"/bin/sh", "-c", command});
    EXPECT_EQ(r.status, 1) << command << ": " << r.err;
    EXPECT_NE(lines(r.err).back().find(says), std::string::npos) << r.err;
    EXPECT_EQ(s.text("keep.json"), scratch::earlier);
  }
}

// The verdict's tool ends with lock_bench, however lock_bench ends.
TEST(lock_bench, ends_its_verdict_tool_with_it) {
  scratch s;
  std::filesystem::copy_file(LOCK_BENCH, s / "lock_bench");
  std::ofstream(s / "lock_bench-verdict") << "#!/bin/sh\necho $$ > tool.pid\nexec sleep 60\n";
  chmod((s / "lock_bench-verdict").c_str(), 0755);
  for (int sig : {SIGTERM, SIGKILL}) {
    std::remove((s / "tool.pid").c_str());
    int err;
    std::vector<std::string> flags = brief;
    flags.push_back("--verdict");
    pid_t pid = start_in(s.dir, s / "lock_bench", flags, err);
    ASSERT_GT(pid, 0);
    pid_t tool = 0;
    for (int k = 0; k < 400 && !tool; ++k) {
      usleep(50000);
      std::ifstream(s / "tool.pid") >> tool;
    }
    ASSERT_GT(tool, 0) << "the tool never started";
    kill(pid, sig);
    int status;
    waitpid(pid, &status, 0);
    close(err);
    bool gone = false;
    for (int k = 0; k < 100 && !(gone = kill(tool, 0) != 0); ++k) usleep(50000);
    if (!gone) kill(tool, SIGKILL);
    EXPECT_TRUE(gone) << "the verdict's tool outlived lock_bench, ended by " << strsignal(sig);
  }
}

// A run ended by a signal leaves the earlier results, and nothing else.
TEST(lock_bench, leaves_nothing_behind_when_interrupted) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    scratch s;
    std::string out = "--benchmark_out=" + s.keep();
    pid_t pid = fork();
    if (pid == 0) {
      signal(sig, SIG_DFL);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl(LOCK_BENCH, LOCK_BENCH, out.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    usleep(500000);  // well into the run, which lasts minutes
    kill(pid, sig);
    int status;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
    EXPECT_EQ(s.names(), std::set<std::string>{"keep.json"}) << strsignal(sig);
    EXPECT_EQ(s.text("keep.json"), scratch::earlier) << strsignal(sig);
  }
}

// An empty filter asks for nothing in particular: the default set.
TEST(lock_bench, takes_an_empty_filter_as_the_default_set) {
  std::set<std::string> some = listed({});
  EXPECT_EQ(listed({"--benchmark_filter="}), some);
  EXPECT_EQ(listed({}, {"BENCHMARK_FILTER="}), some);
}

#ifdef MIN_TIME_UNITS
// What Google Benchmark 1.8 and later take runs: a time with its unit, and
// an iteration count.
TEST(lock_bench, takes_the_minimum_time_in_every_form_google_benchmark_takes) {
  for (const char* t : {"--benchmark_min_time=0.01s", "--benchmark_min_time=100x"}) {
    run_result r = run({LOCK_BENCH, t, quick[0]});
    EXPECT_EQ(r.status, 0) << t << ": " << r.err;
  }
}
#endif

// classic asks for its iterations, however long they take: no limit
// derived from the minimum time cuts it.
TEST(lock_bench, never_cuts_a_case_of_fixed_length) {
  run_result r = run({LOCK_BENCH, "--benchmark_filter=^classic", "--benchmark_min_time=0.001" SECONDS,
                      "--benchmark_format=json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"name\": \"classic/"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("error_occurred"), std::string::npos) << r.out;
}

}  // namespace

// The console is a table for a terminal of 120 columns: a row for each run
// and aggregate, times with their units, no statistic of a count; the
// progress line on a terminal counts the runs the filter leaves and is
// gone at the end. Other formats keep every figure.
TEST(lock_bench, shows_a_table_and_its_progress) {
  std::vector<std::string> argv = {LOCK_BENCH, "--kinds=tbb_spin_rw,mutex", "--read=0,100",
                                   "--hold=1us", "--threads=2", "--benchmark_repetitions=2",
                                   "--benchmark_min_time=0.01" SECONDS,
                                   "--benchmark_filter=-^mutex/unpinned/read"};
  // A terminal that takes control sequences, whatever TERM the tests inherit.
  run_result r = run(argv, {"TERM=xterm"}, nullptr, true);
  if (r.status == no_terminal) GTEST_SKIP() << "no pseudo-terminal here (/dev/pts not mounted)";
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::string> rows;
  for (const std::string& line : lines(r.out)) {
    std::size_t columns = 0;
    for (unsigned char c : line) columns += (c & 0xC0) != 0x80;
    EXPECT_LE(columns, 120u) << line;
    EXPECT_EQ(line.find("nan"), std::string::npos) << line;
    rows[line.substr(0, line.find(' '))] = line;
  }
  const std::string mutex = "mutex/unpinned/hold:1us/think:0";
  const std::string shared = "tbb_spin_rw/unpinned/read:100/hold:1us/think:0";
  EXPECT_EQ(rows.count("case"), 1u) << r.out;
  EXPECT_EQ(rows.count("mutex/unpinned/read:100/hold:1us/think:0"), 0u) << r.out;
  for (const std::string& name : {mutex, shared, mutex + "_median", shared + "_mean"}) {
    ASSERT_EQ(rows.count(name), 1u) << name << "\n" << r.out;
    // threads, time with its unit, handoffs, fairness, starved, p99 wait.
    EXPECT_TRUE(std::regex_search(
        rows[name], std::regex(" 2 +[0-9.]+ (ns|µs|ms) +[0-9.]+% +[01]\\.[0-9]{3} +[0-9.]+ +[0-9.]+ (ns|µs|ms)")))
        << rows[name];
  }
  EXPECT_TRUE(std::regex_search(rows[mutex + "_stddev"], std::regex(" 2 +[0-9.]+ (ns|µs|ms)$")))
      << rows[mutex + "_stddev"];
  EXPECT_TRUE(std::regex_search(rows[shared + "_cv"], std::regex(" 2 +[0-9.]+%$"))) << rows[shared + "_cv"];
  // Three cases twice each, counted as each run ends.
  EXPECT_NE(r.err.find("lock_bench: 5 of 6 runs done, about "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - 4), "\r\033[K") << r.err;

  // Not on a terminal: no progress.
  r = run(argv);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("runs done"), std::string::npos) << r.err;

  // Google Benchmark's own CSV takes its columns from the first run: here
  // one without reads, and later ones add figures.
  std::string file = testing::TempDir() + "table.csv";
  argv.insert(argv.end(), {"--benchmark_format=csv", "--benchmark_out_format=csv",
                           "--benchmark_out=" + file});
  r = run(argv);
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream in(file);
  std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(file.c_str());
  for (const std::string& text : {r.out, written}) {
    EXPECT_EQ(text.find("case "), std::string::npos) << text;
    EXPECT_NE(text.find("\"mutex/unpinned/hold:1us/think:0/real_time/threads:2\","), std::string::npos)
        << text;
    EXPECT_NE(text.find("read_wait_p99"), std::string::npos) << text;
  }
}

// Kinds loaded from shared objects run as the built-in ones do, under their
// own names: the examples, exclusive, and the test lock, which shares and
// checks that every thread passes its own node and detaches.
TEST(lock_bench, runs_locks_loaded_from_shared_objects) {
  run_result r = run({LOCK_BENCH, "--lock=" LOADED "libttas.so", "--lock=" LOADED "libpthread_mutex.so",
                      "--lock=" LOADED "librw_test.so", "--kinds=ttas,pthread_mutex,rw_test,mutex",
                      "--read=0,90", "--threads=2", "--hold=0", "--benchmark_min_time=0.01" SECONDS,
                      "--benchmark_format=json"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* kind : {"ttas", "pthread_mutex", "rw_test", "mutex"})
    for (int read : {0, 90}) {
      std::string name = kind == std::string("mutex") ? case_name(kind, "unpinned", 0, 0, 2, read)
                                                      : loaded_name(kind, "unpinned", 0, 0, 2, read);
      EXPECT_NE(r.out.find("\"name\": \"" + name + "\""), std::string::npos) << name << "\n" << r.out;
    }
  // At this short minimum time a busy machine may cut a case (CI saw
  // pthread_mutex with reads cut once); no case fails otherwise.
  EXPECT_FALSE(std::regex_search(r.out, std::regex(R"("error_message": "(?!cut: ))"))) << r.out;
  EXPECT_NE(r.out.find("\"loaded_kinds\": \"ttas from " LOADED "libttas.so, pthread_mutex from"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\"shared_kinds\": \"[^\"]* rw_test\""))) << r.out;

  // The default set takes them in too.
  std::set<std::string> all = listed({"--lock=" LOADED "librw_test.so"});
  int cpus = int(machine().pus.size());
  EXPECT_TRUE(all.count(loaded_name("rw_test", "unpinned", 0L, 0L, cpus)));
  EXPECT_TRUE(all.count(loaded_name("rw_test", "unpinned", 1000L, 0L, 4 * cpus, 90)));
}

// A loaded object that is no lock for lock_bench, or a lock that lets two
// threads in, crashes or hangs in the check, is refused with one line and
// nothing timed.
TEST(lock_bench, refuses_what_is_not_a_lock) {
  const std::string dir = LOADED;
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"no_such.so", "cannot load ./no_such.so: "},
      {"libwrong_abi.so",
       "libwrong_abi.so is built for version 2 of lock_bench's plug-in interface; this lock_bench "
       "takes version 1"},
      {"libclash.so", "libclash.so names its kind 'mutex', the name of a kind already in lock_bench"},
      {"libbad_name.so",
       "libbad_name.so names its kind 'My lock': a kind's name is lower-case letters, digits"},
      {"libno_unlock.so",
       "libno_unlock.so is not a lock for lock_bench: it has no lock_bench_unlock (see "
       "lock_bench/plugin.h)"},
      {"libhalf_attach.so",
       "libhalf_attach.so is not a lock for lock_bench: it has lock_bench_attach without "
       "lock_bench_detach"},
      {"libhalf_shared.so",
       "libhalf_shared.so is not a lock for lock_bench: it has lock_bench_lock_shared without "
       "lock_bench_unlock_shared"},
      {"libno_lock.so", "libno_lock.so (rw_test) made no lock: lock_bench_make returned NULL"},
      {"liblets_two_in.so",
       "liblets_two_in.so (rw_test) is not a lock: it let two threads hold it at once; nothing timed"},
      {"libreads_beside_writes.so",
       "libreads_beside_writes.so (rw_test) is not a lock: it let a reader in beside a writer; "
       "nothing timed"},
#ifndef __SANITIZE_THREAD__  // which reports the crash itself and exits with a status of its own
      {"libcrashes.so",
       "libcrashes.so (rw_test) crashed in the check of mutual exclusion (Segmentation fault); "
       "nothing timed"},
#endif
      {"libexits.so",
       "libexits.so (rw_test) ended the check of mutual exclusion itself, with status 3; nothing timed"},
      {"libhangs.so",
       "libhangs.so (rw_test) hung in the check of mutual exclusion: not done in 10 s; nothing timed"},
      // As the object loads: its constructors, and symbols that are no data.
      {"libctor_exits.so", "libctor_exits.so: loading it ended the process, with status 0"},
#ifndef __SANITIZE_THREAD__
      {"libctor_aborts.so", "libctor_aborts.so: loading it crashed (Aborted)"},
      {"libctor_crashes.so", "libctor_crashes.so: loading it crashed (Segmentation fault)"},
#endif
      {"libabsolute_abi.so",
       "libabsolute_abi.so is not a lock for lock_bench: its lock_bench_abi is not data of its own"},
      {"libabsolute_name.so",
       "libabsolute_name.so is not a lock for lock_bench: its lock_bench_name is not data of its own"},
      // What the loader would take badly, made here from a sound object.
      {"short.so", "short.so: it is cut short: it needs "},
      {"other_machine.so", "other_machine.so: it is built for "},
      {"not_elf.so", "not_elf.so: it is not a shared object (no ELF header)"},
      // Sound for four threads, not for eight: the check runs at the counts asked.
      {"libfour_slots.so --threads=8",
       "libfour_slots.so (rw_test) hung in the check of mutual exclusion at 8 threads: not done in 15 s"},
  };
  // A third of a sound object; one whose header names another machine.
  std::string made = testing::TempDir();
  {
    std::ifstream in(dir + "libttas.so", std::ios::binary);
    std::string elf((std::istreambuf_iterator<char>(in)), {});
    std::ofstream(made + "short.so", std::ios::binary) << elf.substr(0, elf.size() / 3);
    unsigned short aarch64 = 183, x86_64 = 62, m;
    std::memcpy(&m, elf.data() + 18, 2);
    m = m == x86_64 ? aarch64 : x86_64;
    elf.replace(18, 2, reinterpret_cast<const char*>(&m), 2);
    std::ofstream(made + "other_machine.so", std::ios::binary) << elf;
    std::ofstream(made + "not_elf.so") << "#!/bin/sh\n";
  }
  for (const auto& [given, message] : refused) {
    std::string file = given.substr(0, given.find(' '));
    // At two threads the check has its first phases only, and its 10 s.
    std::string threads =
        given.find(' ') == std::string::npos ? "--threads=2" : given.substr(given.find(' ') + 1);
    std::string path = file == "no_such.so" ? file : file.rfind("lib", 0) == 0 ? dir + file : made + file;
    run_result r = run({LOCK_BENCH, "--lock=" + path, threads, "--benchmark_min_time=0.01" SECONDS});
    EXPECT_EQ(r.status, 1) << file;
    // One line of lock_bench's, the last (hwloc warns first where /sys is missing).
    std::vector<std::string> l = lines(r.err);
    ASSERT_FALSE(l.empty()) << file;
    EXPECT_EQ(std::count_if(l.begin(), l.end(), [](const std::string& x) { return x.rfind("lock_bench: ", 0) == 0; }),
              1)
        << file << ": " << r.err;
    EXPECT_EQ(l.back().rfind("lock_bench: ", 0), 0u) << l.back();
    EXPECT_NE(l.back().find(message), std::string::npos) << l.back();
    EXPECT_EQ(r.out, "") << file;
  }
  for (const char* file : {"short.so", "other_machine.so", "not_elf.so"}) std::remove((made + file).c_str());
  // A FIFO would hang the loader: refused as not a regular file.
  std::string fifo = testing::TempDir() + "fifo.so";
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  run_result f = run({LOCK_BENCH, "--lock=" + fifo, "--benchmark_list_tests"});
  std::remove(fifo.c_str());
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(lines(f.err).back(), "lock_bench: cannot load " + fifo + ": not a regular file");

  // Two objects of one name, five objects, and none.
  run_result r = run({LOCK_BENCH, "--lock=" + dir + "librw_test.so", "--lock=" + dir + "librw_test_again.so",
                      "--benchmark_list_tests"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("librw_test_again.so names its kind 'rw_test', the name of a kind already in"),
            std::string::npos)
      << r.err;
  r = run({LOCK_BENCH, "--lock=" + dir + "libttas.so", "--lock=" + dir + "libpthread_mutex.so",
           "--lock=" + dir + "librw_test.so", "--lock=" + dir + "libslow.so", "--lock=" + dir + "libclash.so",
           "--benchmark_list_tests"});
  EXPECT_EQ(lines(r.err).back(), "lock_bench: at most 4 --lock objects in one run");
  r = run({LOCK_BENCH, "--lock", "--benchmark_list_tests"});
  EXPECT_EQ(lines(r.err).back(), "lock_bench: --lock needs a shared object, such as --lock=./libmylock.so");
}

// A case that cannot end within the cut (ten times the minimum time) is
// cut before it runs, with its reason, and the run goes on: in turn, 8
// threads holding the lock a second take 8 s, and 4096 threads working a
// second each take half an hour on 2 CPUs, lock or none.
TEST(lock_bench, cuts_before_it_runs_what_cannot_end_in_time) {
  int cpus = int(machine().pus.size());
  struct row {
    std::vector<std::string> flags;
    std::string name, says;
  } table[] = {
      {{"--kinds=mutex", "--threads=8", "--hold=1000ms"}, case_name("mutex", "unpinned", 1000000000L, 0L, 8),
       "cut before it ran: 8 holding the lock 1000ms in turn take 8 s for one acquisition each, over "
       "the limit of 0.1 s"},
      {{"--kinds=none", "--threads=4096", "--hold=1000ms"}, case_name("none", "unpinned", 1000000000L, 0L, 4096),
       "cut before it ran: 4096 working 1000ms each on " + std::to_string(cpus) + " CPUs take "},
      {{"--kinds=mutex", "--processes=4", "--hold=0", "--think=100ms"},
       processes_name("mutex", "unpinned", 0L, 100000000L, 4), cpus < 4 ? "cut before it ran: 4 working 100ms" : ""},
  };
  for (const row& t : table) {
    if (t.says.empty()) continue;
    std::vector<std::string> argv{LOCK_BENCH, "--read=0", "--benchmark_min_time=0.01" SECONDS,
                                  "--benchmark_format=json"};
    argv.insert(argv.end(), t.flags.begin(), t.flags.end());
    run_result r = run(argv);
    EXPECT_EQ(r.status, 0) << t.name << ": " << r.err;
    std::size_t at = r.out.find("\"name\": \"" + t.name + "\"");
    ASSERT_NE(at, std::string::npos) << t.name << "\n" << r.out;
    EXPECT_NE(r.out.substr(at, r.out.find('}', at) - at).find("\"error_message\": \"" + t.says),
              std::string::npos)
        << r.out.substr(at, r.out.find('}', at) - at);
  }
  // --verdict's estimate counts the hold: a 100 ms hold at 2 threads takes
  // at least 0.2 s a run.
  run_result r = run({LOCK_BENCH, "--kinds=mutex", "--threads=2", "--hold=100ms", "--read=0",
                      "--benchmark_min_time=0.05" SECONDS, "--verdict",
                      "--benchmark_out=" + testing::TempDir() + "estimate.json"});
  std::remove((testing::TempDir() + "estimate.json").c_str());
  EXPECT_NE(r.err.find("scenario's best: about 1 s to 2 s;"), std::string::npos) << r.err;
}

// A loaded lock is never trusted after its check: each of these passes it
// (pinning nothing) and misbehaves in a run pinned to one CPU, where its
// case ends with an error and the mutex beside it keeps its figures.
TEST(lock_bench, never_trusts_a_loaded_lock_after_its_check) {
  if (machine().pus.size() < 2) GTEST_SKIP() << "the check's threads are pinned to one CPU here too";
  const std::vector<std::pair<std::string, std::string>> table = {
#ifndef __SANITIZE_THREAD__  // whose _exit from one thread waits for the others: told as a hang
      {"libpinned_crashes.so", "crashed in this run (Segmentation fault)"},
      {"libpinned_exits.so", "ended the run's process itself, with status 0"},
#endif
      {"libpinned_lets_two_in.so", "not a lock: in this run it let a second thread in while one held it"},
      {"libpinned_hangs.so", "hung: the run was not done in 1.2 s, though cut at 0.1 s"},
  };
  for (const auto& [file, message] : table) {
    run_result r = run({LOCK_BENCH, "--lock=" LOADED + file, "--kinds=rw_test,mutex", "--place=one_cpu",
                        "--threads=2", "--hold=0", "--read=0", "--benchmark_min_time=0.01" SECONDS,
                        "--benchmark_format=json"});
    EXPECT_EQ(r.status, 0) << file << ": " << r.err;
    std::string loaded = "\"name\": \"" + loaded_name("rw_test", "one_cpu", 0L, 0L, 2) + "\"";
    std::size_t at = r.out.find(loaded);
    ASSERT_NE(at, std::string::npos) << file << "\n" << r.out;
    std::size_t end = r.out.find('}', at);
    EXPECT_NE(r.out.substr(at, end - at).find("\"error_message\": \"" + message), std::string::npos)
        << file << "\n" << r.out.substr(at, end - at);
    std::string mutex = "\"name\": \"" + case_name("mutex", "one_cpu", 0L, 0L, 2) + "\"";
    at = r.out.find(mutex);
    ASSERT_NE(at, std::string::npos) << file;
    EXPECT_NE(r.out.substr(at, r.out.find('}', at) - at).find("\"span_ns\""), std::string::npos) << file;
  }
}

// An object's destructor that prints, as lock_bench ends: on standard
// error, after the results on standard output. And a lock that crashes in
// the check leaves no core file where it ran.
TEST(lock_bench, keeps_a_loaded_objects_output_and_cores_out_of_the_results) {
  run_result r = run({LOCK_BENCH, "--lock=" LOADED "libdtor_prints.so", "--kinds=rw_test", "--threads=2",
                      "--hold=0", "--read=0", "--benchmark_min_time=0.01" SECONDS, "--benchmark_format=json"});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_GT(r.out.size(), 60u) << r.err;
  EXPECT_EQ(r.out[r.out.find_last_not_of("\n")], '}') << r.out.substr(r.out.size() - 60);
  EXPECT_NE(r.err.find("goodbye from rw_test"), std::string::npos) << r.err;

  std::ifstream pattern("/proc/sys/kernel/core_pattern");
  std::string core;
  std::getline(pattern, core);
  if (core.empty() || core[0] == '|' || core.find('/') != std::string::npos)
    GTEST_SKIP() << "cores go elsewhere here: " << core;
  scratch s;
  std::string command = "ulimit -c unlimited 2>/dev/null; cd " + s.dir + " && exec " LOCK_BENCH
                        " --lock=" LOADED "libcrashes.so --threads=2 --benchmark_min_time=0.01" SECONDS;
  r = run({"/bin/sh", "-c", command});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(s.names(), std::set<std::string>{});
}

// --verdict runs every case twice, and three more times those within reach
// of their scenario's best, and mutex, but not a baseline; it keeps every
// run in the results and prints the verdict, which says which kinds fell
// behind. (slow_test holds its lock 2 us, far behind the mutex at any
// load; which other lock would be within reach depends on the machine.)
TEST(lock_bench, answers_with_a_verdict) {
  std::string file = testing::TempDir() + "answer.json";
  std::vector<std::string> argv = {LOCK_BENCH, "--lock=" LOADED "libslow.so", "--kinds=mutex,slow_test,none",
                                   "--threads=2", "--hold=0", "--read=0",
                                   "--benchmark_min_time=0.05" SECONDS, "--verdict",
                                   "--benchmark_out=" + file};
  run_result r = run(argv);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("lock_bench: 3 cases, 2 runs each, then 3 more for each within 2x of its "
                       "scenario's best: about "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("; results go to " + file + "\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("lock_bench: 1 of 2 lock cases within reach: 3 more runs of each\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("# Which lock wins here"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("| behind | slow_test |"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Far behind in the first runs, so not run again (lock_bench --verdict): slow_test."),
            std::string::npos)
      << r.out;
  std::ifstream in(file);
  std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(file.c_str());
  for (auto [kind, runs] : {std::pair{"mutex", 5}, {"slow_test", 2}, {"none", 2}}) {
    std::string name = kind == std::string("slow_test") ? loaded_name(kind, "unpinned", 0L, 0L, 2)
                                                        : case_name(kind, "unpinned", 0L, 0L, 2);
    std::set<std::string> seen;
    std::regex entry("\"run_name\": \"" + name + "\",\\s*\"run_type\": \"iteration\",\\s*\"repetitions\": " +
                     std::to_string(runs) + ",\\s*\"repetition_index\": ([0-9]+)");
    for (std::sregex_iterator m(json.begin(), json.end(), entry), end; m != end; ++m)
      seen.insert((*m)[1]);
    EXPECT_EQ(seen.size(), std::size_t(runs)) << kind << "\n" << json;
    EXPECT_EQ(*seen.rbegin(), std::to_string(runs - 1)) << kind;
  }

  // Refused: what it sets itself, and a run that matches nothing.
  for (auto [flag, message] : std::vector<std::pair<std::string, std::string>>{
           {"--benchmark_repetitions=3",
            "lock_bench: --verdict sets --benchmark_repetitions itself; leave it out\n"},
           {"--benchmark_out_format=csv", "lock_bench: --verdict keeps its results as JSON, not csv\n"},
           {"--benchmark_filter=nothing", "lock_bench: no case matches --benchmark_filter=nothing, or it does not compile\n"},
           {"--kinds=none",
            "lock_bench: --verdict ranks locks, and these cases have none (none and atomic are "
            "baselines; the death of an owner is no scenario to rank)\n"}}) {
    std::vector<std::string> a = argv;
    a.push_back(flag);
    r = run(a);
    EXPECT_EQ(r.status, 1) << flag;
    ASSERT_FALSE(r.err.empty()) << flag;
    EXPECT_EQ(lines(r.err).back() + "\n", message) << flag;  // after a warning of load, if any
  }
  EXPECT_FALSE(std::filesystem::exists(file));

  // Without the verdict tool beside it, nothing runs; nor over the tool.
  std::string dir = testing::TempDir() + "alone", tool = dir + "/lock_bench-verdict";
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(LOCK_BENCH, dir + "/lock_bench",
                             std::filesystem::copy_options::overwrite_existing);
  argv[0] = dir + "/lock_bench";
  auto refused = [&](const std::string& says) {
    run_result r = run(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.err).back(), "lock_bench: --verdict " + says) << r.err;
    EXPECT_FALSE(std::filesystem::exists(file));
  };
  refused("runs " + tool + ": No such file or directory");
  std::filesystem::create_directory(tool);
  refused("runs " + tool + ": not a regular file");
  std::filesystem::remove(tool);
  std::filesystem::create_symlink(std::filesystem::path(LOCK_BENCH).parent_path() / "lock_bench-verdict", tool);
  argv.back() = "--benchmark_out=" + tool;
  refused("would write its results over " + tool);
  std::filesystem::remove_all(dir);
}

// Starts lock_bench with args and TAG in its environment, its output
// thrown away; its pid.
pid_t start_tagged(const std::string& tag, std::vector<std::string> args) {
  pid_t pid = fork();
  if (pid == 0) {
    putenv(const_cast<char*>(tag.c_str()));
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv{const_cast<char*>(LOCK_BENCH)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(LOCK_BENCH, argv.data());
    _exit(127);
  }
  return pid;
}

// The processes with TAG in their environment.
std::set<int> tagged(const std::string& tag) {
  std::set<int> found;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::string name = e.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream env(e.path() / "environ");
    std::string text((std::istreambuf_iterator<char>(env)), std::istreambuf_iterator<char>());
    if (text.find(tag + '\0') != std::string::npos) found.insert(std::stoi(name));  // entries end in NUL
  }
  return found;
}

// Kills lock_bench (pid) with sig once `running` processes carry TAG (it
// and its children); whether all of them are gone within two seconds.
void kill_and_look(pid_t pid, int sig, const std::string& tag, std::size_t running) {
  ASSERT_GT(pid, 0);
  for (int k = 0; k < 100 && tagged(tag).size() < running; ++k) usleep(50000);
  EXPECT_EQ(tagged(tag).size(), running) << "lock_bench and its children";
  kill(pid, sig);
  int status;
  waitpid(pid, &status, 0);
  std::set<int> left;
  for (int k = 0; k < 40 && !(left = tagged(tag)).empty(); ++k) usleep(50000);
  for (int p : left) kill(p, SIGKILL);
  EXPECT_TRUE(left.empty()) << left.size() << " process(es) left running after signal " << sig;
}

// The check's child ends with lock_bench, even when lock_bench is killed
// while a lock hangs in it.
TEST(lock_bench, leaves_no_check_running) {
  std::string tag = "LOCK_BENCH_TEST_TAG=check-" + std::to_string(getpid());
  kill_and_look(start_tagged(tag, {"--lock=" LOADED "libhangs.so", "--kinds=rw_test"}), SIGKILL, tag, 2);
}

// A case of processes ends with lock_bench, killed politely or not, and
// the results of an earlier run stay as they were.
TEST(lock_bench, leaves_no_process_running) {
  for (int sig : {SIGTERM, SIGKILL}) {
    std::string tag = "LOCK_BENCH_TEST_TAG=processes-" + std::to_string(getpid());
    results_file f;
    // Each acquisition holds the lock a second: a run outlasts the wait.
    kill_and_look(start_tagged(tag, {"--processes=3", "--kinds=mutex", "--hold=1000ms",
                                     "--benchmark_min_time=30" SECONDS, "--benchmark_out=" + f.path}),
                  sig, tag, 4);
    EXPECT_EQ(f.text(), "{\"earlier\": true}\n");
  }
}

// A baseline's process that is stopped (SIGSTOP) is cut at the limit, as
// a lock's would be, and the run ends.
TEST(lock_bench, cuts_a_stopped_process_of_a_baseline) {
  std::string tag = "LOCK_BENCH_TEST_TAG=stopped-" + std::to_string(getpid());
  pid_t pid = start_tagged(tag, {"--kinds=none", "--processes=2", "--hold=0,1us,10us,100us", "--read=0",
                                 "--benchmark_min_time=0.5" SECONDS});
  ASSERT_GT(pid, 0);
  int status = 0;
  bool ended = false, stopped = false;
  for (int k = 0; k < 600 && !ended; ++k) {
    // Well into the runs: the processes lock_bench starts before them (the
    // filter's match) are gone.
    for (int p : k < 30 ? std::set<int>{} : tagged(tag))
      if (p != pid && !stopped) stopped = kill(p, SIGSTOP) == 0;
    usleep(50000);
    ended = waitpid(pid, &status, WNOHANG) == pid;
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  for (int p : tagged(tag)) kill(p, SIGKILL);
  EXPECT_TRUE(stopped) << "no process of the case was seen to stop";
  EXPECT_TRUE(ended) << "lock_bench waited 30 s for a stopped process";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// An owner killed holding the lock, half-way through each run: a robust
// lock recovers, and the case reports how long that took; any other kind
// keeps the rest waiting, until the cut says why.
TEST(lock_bench, runs_processes_and_outlives_an_owner_that_dies) {
  // A spinning kind that yields: on a busy machine a pure spinner waits for
  // preempted owners, and may be cut.
  run_result r = run({LOCK_BENCH, "--processes=2", "--kinds=mutex,tbb_spin", "--hold=0",
                      "--benchmark_min_time=0.1" SECONDS, "--benchmark_format=json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("error_occurred"), std::string::npos) << r.out;
  for (const char* kind : {"mutex", "tbb_spin"}) {
    std::string name = processes_name(kind, "unpinned", 0, 0, 2);
    std::size_t at = r.out.find("\"name\": \"" + name + "\"");
    ASSERT_NE(at, std::string::npos) << name << "\n" << r.out;
    std::string entry = r.out.substr(at, r.out.find('}', at) - at);
    for (const char* figure : {counter::fairness, counter::handoffs, counter::wait_p99, counter::span_ns})
      EXPECT_NE(entry.find(std::string("\"") + figure + "\""), std::string::npos) << figure << " in " << entry;
  }

  int cpus = std::max(int(machine().pus.size()), 2);
  r = run({LOCK_BENCH, "--benchmark_filter=^(robust|mutex)/unpinned/hold:0/think:0/owner_dies/",
           "--benchmark_min_time=0.1" SECONDS, "--benchmark_format=json"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::smatch m;
  EXPECT_TRUE(std::regex_search(
      r.out, m,
      std::regex("\"name\": \"robust/unpinned/hold:0/think:0/owner_dies/processes:" +
                 std::to_string(cpus) + "/manual_time\",[^}]*\"recovery_ns\": ([0-9.e+]+)")))
      << r.out;
  if (!m.empty()) {
    EXPECT_GT(std::stod(m[1]), 0);
  }
  EXPECT_TRUE(std::regex_search(
      r.out, std::regex("\"name\": \"mutex/unpinned/hold:0/think:0/owner_dies/[^}]*\"error_message\": "
                        "\"cut: a process died holding the lock, and the others waited for it until "
                        "the limit of 1 s\"")))
      << r.out;
}

// Interrupted on a terminal, lock_bench takes its progress line away
// before it ends as the signal ends it. On any terminal the line is
// narrower than the terminal, whose width the kernel gives (else COLUMNS),
// so that it never wraps; on a dumb one (TERM dumb or unset) it is taken
// away by spaces, never ESC[K.
TEST(lock_bench, fits_its_progress_line_to_the_terminal) {
  struct terminal {
    const char* term;  // nullptr: unset
    unsigned short columns;  // the kernel's; 0 for none
    const char* env_columns;  // nullptr: unset
    std::size_t width;
    bool dumb;
  } terminals[] = {{"dumb", 30, nullptr, 30, true},
                   {nullptr, 0, "24", 24, true},
                   {"xterm", 40, "200", 40, false}};
  for (const terminal& t : terminals) {
    std::string what = std::string("TERM=") + (t.term ? t.term : "(unset)") + ", " +
                       std::to_string(t.width) + " columns";
    winsize size{24, t.columns, 0, 0};
    int fd;
    pid_t pid = forkpty(&fd, nullptr, nullptr, &size);
    if (pid < 0) GTEST_SKIP() << "no pseudo-terminal here (/dev/pts not mounted)";
    if (pid == 0) {
      t.term ? setenv("TERM", t.term, 1) : unsetenv("TERM");
      t.env_columns ? setenv("COLUMNS", t.env_columns, 1) : unsetenv("COLUMNS");
      execl(LOCK_BENCH, LOCK_BENCH, "--kinds=mutex,spin", "--threads=2", "--hold=0,1us", "--read=0",
            "--benchmark_min_time=0.5" SECONDS, nullptr);
      _exit(127);
    }
    std::string out;
    auto drain = [&](int ms) {
      for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, ms) > 0;) {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, std::size_t(n));
      }
    };
    // Until the first case is done and the line has a time left to shorten.
    for (int k = 0; k < 200 && out.find("1 of 4 cases done") == std::string::npos; ++k) drain(50);
    kill(pid, SIGINT);
    int status;
    waitpid(pid, &status, 0);
    drain(100);
    close(fd);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << what << ": " << status;
    ASSERT_NE(out.find("1 of 4 cases done"), std::string::npos) << what << "\n" << out;
    // Each progress line, from a carriage return to the next control.
    std::size_t lines = 0;
    static const std::regex line("\r((lock_bench: )?\\d+ of 4 cases done[^\r\n\033]*)");
    for (auto m = std::sregex_iterator(out.begin(), out.end(), line); m != std::sregex_iterator(); ++m, ++lines)
      EXPECT_LT((*m)[1].length(), std::ptrdiff_t(t.width)) << what << ": " << (*m)[1];
    EXPECT_GE(lines, 2u) << what << "\n" << out;
    std::smatch last;
    if (t.dumb) {
      EXPECT_EQ(out.find('\033'), std::string::npos) << what << "\n" << out;
      // The last line, then as many spaces between carriage returns.
      ASSERT_TRUE(std::regex_search(out, last, std::regex("\r([^\r\n]+)\r( +)\r$"))) << what << "\n" << out;
      EXPECT_EQ(last[2].length(), last[1].length()) << what << "\n" << out;
    } else {
      EXPECT_EQ(out.substr(out.size() - 4), "\r\033[K") << what << "\n" << out;
    }
  }
}
