// The program as a user runs it: what it prints and how it ends.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "run.h"

namespace {

// Five lines: per worker "Consumer TID n" before its "plarvo test!", the
// two workers' lines interleaved in any order, and the result line last.
void expect_clean_run(const run_result& r) {
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::vector<std::string> out = lines(r.out);
  ASSERT_EQ(out.size(), 5u) << r.out;
  std::set<long> tids;
  int ids = 0, greetings = 0;
  std::smatch m;
  for (size_t i = 0; i < 4; ++i) {
    if (std::regex_match(out[i], m, std::regex("Consumer TID ([1-9][0-9]*)"))) {
      ++ids;
      tids.insert(std::stol(m[1]));
    } else {
      EXPECT_EQ(out[i], "plarvo test!");
      EXPECT_LT(greetings++, ids) << "a greeting before its worker's ID line:\n" << r.out;
    }
  }
  EXPECT_EQ(tids.size(), 2u) << "two distinct thread IDs:\n" << r.out;
  EXPECT_EQ(tids.count(r.pid), 0u) << "a thread ID is the process ID:\n" << r.out;
  EXPECT_TRUE(std::regex_match(out[4], std::regex("Result - [0-9]+\\.[0-9]{6}"))) << out[4];
}

TEST(output, five_lines_result_last) { expect_clean_run(run({PROGRAM})); }

TEST(output, arguments_are_ignored) {
  expect_clean_run(run({PROGRAM, "--help", "-v", "", "42", "a b\tc", "\xff\xfe"}));
}

TEST(output, failed_write_is_an_error) {
  run_result r = run({PROGRAM}, {}, "/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "spin_or_mutex: standard output: No space left on device\n");
}

}  // namespace
