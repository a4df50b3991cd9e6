// Where placements put threads, on topologies that hwloc builds from a
// description: the CPUs each placement and each two-thread pair must use,
// also where some CPUs are not the process's, and the ping-pong matrix's
// CPUs. Synthetic PUs are numbered in hwloc's order: in "pack:2 l3:2 core:4
// pu:2", package 0 holds CPUs 0-15, its caches 0-7 and 8-15, and core c the
// CPUs 2c and 2c+1.
#include "place.h"

#include <gtest/gtest.h>
#include <hwloc.h>

#include <algorithm>

namespace {

using cpus = std::vector<int>;

// The PUs of a synthetic topology but the OS CPUs `gone`.
std::vector<pu> synthetic(const char* description, const cpus& gone = {}) {
  hwloc_topology_t t;
  hwloc_topology_init(&t);
  EXPECT_EQ(hwloc_topology_set_synthetic(t, description), 0) << description;
  hwloc_topology_load(t);
  hwloc_bitmap_t allowed = hwloc_bitmap_dup(hwloc_topology_get_topology_cpuset(t));
  for (int c : gone) hwloc_bitmap_clr(allowed, c);
  std::vector<pu> pus = pus_of(t, allowed);
  hwloc_bitmap_free(allowed);
  hwloc_topology_destroy(t);
  return pus;
}

// The pairs, each the two CPUs it must use, or none where there is none.
void expect_pairs(const std::vector<pu>& pus, const cpus& smt_pair, const cpus& core_pair,
                  const cpus& cache_pair, const cpus& package_pair) {
  EXPECT_EQ(plan(smt, 2, pus), smt_pair);
  EXPECT_EQ(plan(core, 2, pus), core_pair);
  EXPECT_EQ(plan(cache, 2, pus), cache_pair);
  EXPECT_EQ(plan(package, 2, pus), package_pair);
}

// An L2 for each two cores under the one L3: the last-level cache is the L3.
TEST(plan, one_package_of_four_cores) {
  std::vector<pu> pus = synthetic("pack:1 l3:1 l2:2 core:2 pu:1");
  ASSERT_EQ(pus.size(), 4u);
  EXPECT_EQ(plan(spread, 6, pus), (cpus{0, 1, 2, 3, 0, 1}));
  EXPECT_EQ(plan(compact, 6, pus), (cpus{0, 1, 2, 3, 0, 1}));
  EXPECT_EQ(plan(one_cpu, 3, pus), (cpus{0, 0, 0}));
  EXPECT_EQ(plan(unpinned, 3, pus), cpus{});
  expect_pairs(pus, {}, {0, 1}, {}, {});
}

// Two cores with a last-level cache each, as hwloc shows the machine that
// made the README's figures.
TEST(plan, two_cores_under_caches_of_their_own) {
  std::vector<pu> pus = synthetic("pack:1 l3:2 core:1 pu:1");
  EXPECT_EQ(plan(spread, 2, pus), (cpus{0, 1}));
  expect_pairs(pus, {}, {}, {0, 1}, {});
}

// Caches of different packages make the package pair, not the cache pair.
TEST(plan, two_packages_of_one_cache_each) {
  std::vector<pu> pus = synthetic("pack:2 l3:1 core:4 pu:1");
  EXPECT_EQ(plan(spread, 4, pus), (cpus{0, 4, 1, 5}));
  expect_pairs(pus, {}, {0, 1}, {}, {0, 4});
}

TEST(plan, two_packages_of_eight_cores_with_two_hardware_threads) {
  std::vector<pu> pus = synthetic("pack:2 l3:2 core:4 pu:2");
  ASSERT_EQ(pus.size(), 32u);
  // Packages, then caches, then cores take turns; every core gets a thread
  // before any core gets two, and round robin beyond all 32.
  EXPECT_EQ(plan(spread, 8, pus), (cpus{0, 16, 8, 24, 2, 18, 10, 26}));
  cpus s = plan(spread, 33, pus);
  for (int t = 0; t < 16; ++t) EXPECT_EQ(s[t] % 2, 0) << "thread " << t << " shares a core";
  EXPECT_EQ(s[16], 1);
  EXPECT_EQ(s[32], 0);
  // A core's hardware threads, then the next core.
  EXPECT_EQ(plan(compact, 5, pus), (cpus{0, 1, 2, 3, 4}));
  EXPECT_EQ(plan(compact, 33, pus)[32], 0);
  EXPECT_EQ(plan(one_cpu, 2, pus), (cpus{0, 0}));
  expect_pairs(pus, {0, 1}, {0, 2}, {0, 8}, {0, 16});
}

// Without CPUs 0, 1 and 3 (core 0 and half of core 1) and 16-23 (package
// 1's first cache): eleven cores are left, core 1 with one thread.
TEST(plan, only_the_cpus_the_process_may_use) {
  std::vector<pu> pus =
      synthetic("pack:2 l3:2 core:4 pu:2", {0, 1, 3, 16, 17, 18, 19, 20, 21, 22, 23});
  ASSERT_EQ(pus.size(), 21u);
  EXPECT_EQ(plan(spread, 12, pus), (cpus{2, 24, 8, 4, 26, 10, 6, 28, 12, 30, 14, 25}));
  EXPECT_EQ(plan(compact, 4, pus), (cpus{2, 4, 5, 6}));
  EXPECT_EQ(plan(one_cpu, 2, pus), (cpus{2, 2}));
  expect_pairs(pus, {4, 5}, {2, 4}, {2, 8}, {2, 24});
}

TEST(matrix_cpus, every_cpu_up_to_64_then_a_sample) {
  cpus all(64);
  for (int c = 0; c < 64; ++c) all[c] = c;
  EXPECT_EQ(matrix_cpus(synthetic("pack:2 l3:2 core:8 pu:2")), all);
  // 128 CPUs: package 1 starts at 64, the caches at 0, 32, 64 and 96.
  cpus m = matrix_cpus(synthetic("pack:2 l3:2 core:16 pu:2"));
  EXPECT_EQ(m.size(), 32u);
  for (int c : {0, 1, 2, 32, 64, 96})
    EXPECT_NE(std::find(m.begin(), m.end(), c), m.end()) << "no CPU " << c;
  EXPECT_TRUE(std::is_sorted(m.begin(), m.end()));
  EXPECT_EQ(std::adjacent_find(m.begin(), m.end()), m.end()) << "a CPU twice";
  // Without CPU 96, the last cache starts at 97, off the even spacing.
  cpus gap = matrix_cpus(synthetic("pack:2 l3:2 core:16 pu:2", {96}));
  EXPECT_NE(std::find(gap.begin(), gap.end(), 97), gap.end()) << "the last cache's first CPU";
}

}  // namespace
