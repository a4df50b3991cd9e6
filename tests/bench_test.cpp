// lock_bench as a user runs it: the cases it lists, and the command lines
// that cannot give figures, each refused with one line and a failing status.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "locks.h"
#include "place.h"
#include "run.h"

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

template <class... K>
std::vector<std::string> names_of(std::tuple<K...>*) {
  return {K::name...};
}
std::vector<std::string> names() { return names_of(static_cast<kinds*>(nullptr)); }

std::string case_name(const std::string& kind, const char* place, int hold, int think, int n) {
  std::ostringstream s;
  s << kind << '/' << place << "/hold:" << hold << "/think:" << think
    << "/real_time/threads:" << n;
  return s.str();
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
  static const std::regex kind_case(R"(\w+/(\w+)/hold:\d+/think:\d+/real_time/threads:(\d+))");
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
  for (const std::string& k : names()) {
    for (int n : threads) {
      for (const char* place : {"unpinned", "spread", "compact", "one_cpu"})
        for (int hold : {0, 100, 1000, 10000})
          for (int think : {0, 100, 1000})
            EXPECT_TRUE(all.count(case_name(k, place, hold, think, n)))
                << case_name(k, place, hold, think, n);
      for (int hold : {0, 1000})
        EXPECT_TRUE(some.count(case_name(k, "unpinned", hold, 0, n)))
            << "default set lacks " << case_name(k, "unpinned", hold, 0, n);
    }
    for (const char* pair : pairs)
      EXPECT_TRUE(all.count(case_name(k, pair, 0, 0, 2))) << case_name(k, pair, 0, 0, 2);
  }
  EXPECT_TRUE(some.count("classic/iterations:10000000/real_time/threads:2"));
  EXPECT_FALSE(some.count(case_name("mutex", "spread", 0, 0, 2))) << "runs more than asked";
  EXPECT_TRUE(grid_of(some).pingpong.empty()) << "runs more than asked";
  // The ping-pong matrix: every pair of its CPUs once, each CPU with itself.
  std::set<std::string> pingpong;
  std::vector<int> cpus = matrix_cpus(machine().pus);
  for (int a : cpus)
    for (int b : cpus)
      if (a <= b) pingpong.insert(pingpong_name(a, b));
  EXPECT_EQ(grid_of(all).pingpong, pingpong);
  EXPECT_EQ(all.size(),
            names().size() * (4 * threads.size() + pairs.size()) * 4 * 3 + 1 + pingpong.size());
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
TEST(lock_bench, refuses_another_machines_cpus_and_unreadable_topologies) {
  struct bad {
    std::string env;
    bool listing;
    std::string says;
  } table[] = {
      {other, false,
       "lock_bench: the topology from HWLOC_SYNTHETIC or HWLOC_XMLFILE is not this machine's: "
       "list its cases with --benchmark_list_tests, run them there\n"},
      {"HWLOC_SYNTHETIC=pack:two core:8", true,
       "lock_bench: HWLOC_SYNTHETIC is not a topology hwloc can read: 'pack:two core:8'\n"},
      {"HWLOC_XMLFILE=/no/such/machine.xml", true,
       "lock_bench: cannot read HWLOC_XMLFILE /no/such/machine.xml: No such file or directory\n"},
  };
  for (const bad& b : table) {
    results_file f;
    std::vector<std::string> argv{LOCK_BENCH, "--benchmark_out=" + f.path,
                                  "--benchmark_min_time=0.01",
                                  "--benchmark_filter=^mutex/spread/hold:0/think:0/.*threads:2$"};
    if (b.listing) argv.push_back("--benchmark_list_tests");
    run_result r = run(argv, {b.env});
    EXPECT_EQ(r.status, 1) << b.env;
    EXPECT_EQ(r.err, b.says) << b.env;
    EXPECT_EQ(r.out, "") << b.env;
    EXPECT_EQ(f.text(), "{\"earlier\": true}\n") << b.env;
  }
}

// Each pair of CPUs bounces its cache line to the end and gives a time per
// transfer, on one CPU as well.
TEST(lock_bench, plays_ping_pong_on_every_pair_of_cpus) {
  run_result r = run({LOCK_BENCH, "--benchmark_filter=^pingpong/", "--benchmark_min_time=0.01",
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
      {{"--benchmark_filter=^classic"}, "", "standard output is closed"},
      {{"--benchmark_filter=^mutex/unpinned/hold:0/think:0/.*threads:1$",
        "--benchmark_min_time=0.01"},
       "/dev/full",
       "cannot write standard output"},
      {{"--no_such_flag"}, nullptr, "unrecognized"},
  };
  for (const bad& b : table) {
    results_file f;
    std::vector<std::string> argv{LOCK_BENCH, "--benchmark_out=" + f.path};
    argv.insert(argv.end(), b.flags.begin(), b.flags.end());
    run_result r = run(argv, {}, b.out);
    std::string said = b.flags[0];
    EXPECT_EQ(r.status, 1) << said;
    EXPECT_NE(r.err.find(b.says), std::string::npos) << said << ":\n" << r.err;
    EXPECT_EQ(f.text(), "{\"earlier\": true}\n") << said << " destroyed the results";
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
  run_result r = run({LOCK_BENCH, "--benchmark_out=" + f.path, "--benchmark_min_time=0.01",
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

}  // namespace
