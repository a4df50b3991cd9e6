// A cheap clock for the waits of single acquisitions: the CPU's counter
// (the time-stamp counter where it ticks at a constant rate, the generic
// timer on Arm), else clock_gettime.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>

struct tick_clock {
  bool direct;           // the counter is read directly
  double ns_per_tick;    // 1 for clock_gettime
  double read_ns;        // what one reading costs
  std::uint64_t now() const;
  std::string describe() const;  // for the context block
};

// Checks the counter, finds its rate and prices a
// reading: about 60 ms, once at start.
tick_clock make_clock();

// The steady clock in ns, which every process of the machine shares.
inline long long steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
