// lock_bench as a user runs it: the cases it lists, and the command lines
// that cannot give figures, each refused with one line and a failing status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "locks.h"
#include "place.h"
#include "run.h"

namespace {

std::set<std::string> listed(const std::vector<std::string>& flags) {
  std::vector<std::string> argv{LOCK_BENCH, "--benchmark_list_tests"};
  argv.insert(argv.end(), flags.begin(), flags.end());
  run_result r = run(argv);
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

TEST(lock_bench, lists_the_default_set_and_the_whole_grid) {
  std::set<std::string> all = listed({"--benchmark_filter=all"});
  std::set<std::string> some = listed({});
  std::vector<int> threads = thread_counts(allowed_cpus());
  for (const std::string& k : names())
    for (int n : threads) {
      for (const char* place : placement_names)
        for (int hold : {0, 100, 1000, 10000})
          for (int think : {0, 100, 1000})
            EXPECT_TRUE(all.count(case_name(k, place, hold, think, n)))
                << case_name(k, place, hold, think, n);
      for (int hold : {0, 1000})
        EXPECT_TRUE(some.count(case_name(k, "unpinned", hold, 0, n)))
            << "default set lacks " << case_name(k, "unpinned", hold, 0, n);
    }
  EXPECT_TRUE(some.count("classic/iterations:10000000/real_time/threads:2"));
  EXPECT_FALSE(some.count(case_name("mutex", "spread", 0, 0, 2))) << "runs more than asked";
  EXPECT_EQ(all.size(), names().size() * threads.size() * 3 * 4 * 3 + 1);
}

// An existing results file that every failing run must leave alone.
struct results_file {
  std::string path = testing::TempDir() + "lock_bench_results.json";
  results_file() { std::ofstream(path) << "{\"earlier\": true}\n"; }
  ~results_file() { unlink(path.c_str()); }
  std::string text() const {
    std::ifstream f(path);
    return {std::istreambuf_iterator<char>(f), {}};
  }
};

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
