// The program under the call interposer: which platform calls each thread
// makes, what the result line says for a scripted clock, and how failed
// start-up calls end the run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "run.h"

namespace {

struct thread_trace {
  long locks = 0, unlocks = 0, bad = 0;
  std::string calls;
};

struct traced {
  run_result r;
  std::map<std::string, int> state;  // filled, cleared, destroy
  std::map<long, thread_trace> threads;
};

traced run_traced(const std::vector<std::string>& env = {}) {
  std::string path = testing::TempDir() + "som_trace_" + std::to_string(getpid());
  std::vector<std::string> e = env;
  e.push_back("LD_PRELOAD=" PRELOAD);
  e.push_back("SOM_TRACE=" + path);
  traced t{run({PROGRAM}, e), {}, {}};
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string key, word;
    words >> key;
    if (key != "thread") {
      words >> t.state[key];
      continue;
    }
    long tid;
    thread_trace th;
    words >> tid >> word >> th.locks >> word >> th.unlocks >> word >> th.bad >> word;
    std::getline(words >> std::ws, th.calls);
    t.threads[tid] = th;
  }
  std::remove(path.c_str());
  return t;
}

std::string main_calls(const traced& t) {
  auto it = t.threads.find(t.r.pid);
  return it == t.threads.end() ? "(no trace of the main thread)" : it->second.calls;
}

TEST(calls, each_thread_makes_its_own_calls_in_order) {
  traced t = run_traced();
  ASSERT_EQ(t.r.status, 0) << t.r.err;
  EXPECT_EQ(t.state["filled"], 1) << "data not all 1 when the first worker starts";
  EXPECT_EQ(t.state["cleared"], 1) << "data not all 0 after both joins";
  EXPECT_EQ(t.state["destroy"], 0) << "mutex could not be destroyed";
  ASSERT_EQ(t.threads.size(), 3u);
  EXPECT_EQ(main_calls(t), "init time create create join join time printf destroy");
  EXPECT_EQ(t.threads[t.r.pid].locks, 0);
  for (const auto& [tid, th] : t.threads) {
    if (tid == t.r.pid) continue;
    EXPECT_NE(t.r.out.find("Consumer TID " + std::to_string(tid) + "\n"), std::string::npos)
        << "worker " << tid << " does not print its own ID:\n"
        << t.r.out;
    EXPECT_EQ(th.calls, "printf puts lock");
    EXPECT_EQ(th.locks, 10000001);
    EXPECT_EQ(th.unlocks, 10000001);
    EXPECT_EQ(th.bad, 0) << "lock and unlock out of turn, or on another mutex";
  }
}

TEST(calls, result_line_for_scripted_clock) {
  const struct {
    const char* clock;
    const char* line;
  } cases[] = {
      {"10 900000 12 100000", "Result - 1.200000"},  // borrow
      {"5 250000 7 250000", "Result - 2.000000"},    // equal microseconds
      {"3 0 5 42", "Result - 2.000042"},             // zero padding
      {"7 7 7 7", "Result - 0.000000"},
      {"10 0 9 500000", "Result - -0.500000"},  // clock stepped back
      {"10 0 8 500000", "Result - -1.500000"},
  };
  for (const auto& c : cases) {
    traced t = run_traced({std::string("SOM_CLOCK=") + c.clock});
    EXPECT_EQ(t.r.status, 0);
    std::vector<std::string> out = lines(t.r.out);
    ASSERT_EQ(out.size(), 5u) << t.r.out;
    EXPECT_EQ(out.back(), c.line) << "clock " << c.clock;
  }
}

TEST(calls, failed_start_up_ends_with_status_1) {
  const struct {
    const char* fail;
    const char* calls;  // of the main thread
    const char* err;
    size_t lines;  // only a worker that started prints
  } cases[] = {
      {"init", "init", "pthread_mutex_init", 0},
      {"create1", "init time create", "pthread_create", 0},
      {"create2", "init time create create join", "pthread_create", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fail);
    traced t = run_traced({std::string("SOM_FAIL=") + c.fail});
    EXPECT_EQ(t.r.status, 1);
    EXPECT_EQ(t.r.err,
              std::string("spin_or_mutex: ") + c.err + ": Resource temporarily unavailable\n");
    EXPECT_EQ(main_calls(t), c.calls);
    EXPECT_EQ(lines(t.r.out).size(), c.lines) << t.r.out;
    EXPECT_EQ(t.r.out.find("Result"), std::string::npos);
  }
}

}  // namespace
