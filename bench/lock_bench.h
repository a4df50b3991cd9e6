// What lock_bench's main needs of its cases.
#pragma once
#include <string>

#include "clock.h"

// Registers every case with Google Benchmark.
void register_cases();

// The cases a run with no filter runs.
std::string default_filter();

// The names of the kinds that can be shared, with `between` between them.
std::string shared_kinds(const std::string& between);

// What main sets up for every case.
struct settings {
  tick_clock clock;  // times single acquisitions in the counting pass
  // Whether locking cases run the counting pass after the timed loop: off
  // only to show that the pass leaves the timed figure alone.
  bool counting_pass = true;
  // Google Benchmark's --benchmark_min_time in seconds, or 0 when it is an
  // iteration count, which fixes the length of every run.
  double min_time = 0.2;
};
extern settings config;
