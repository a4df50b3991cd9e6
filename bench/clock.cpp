#include "clock.h"

#include <cpuid.h>
#include <time.h>
#include <x86intrin.h>

#include <cstdio>

namespace {

std::uint64_t monotonic_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::uint64_t(t.tv_sec) * 1000000000u + t.tv_nsec;
}

// CPUID says whether the counter runs at one rate in every power state.
bool invariant_tsc() {
  unsigned a, b, c, d;
  return __get_cpuid(0x80000007, &a, &b, &c, &d) && (d >> 8 & 1);
}

}  // namespace

std::uint64_t tick_clock::now() const { return tsc ? __rdtsc() : monotonic_ns(); }

std::string tick_clock::describe() const {
  char s[160];
  std::snprintf(s, sizeof s, "%s, %.3f ns a tick, %.1f ns a reading",
                tsc ? "invariant TSC" : "clock_gettime (the TSC is not invariant here)",
                ns_per_tick, read_ns);
  return s;
}

tick_clock make_clock() {
  tick_clock c{invariant_tsc(), 1, 0};
  if (c.tsc) {
    std::uint64_t t0 = monotonic_ns(), k0 = __rdtsc();
    while (monotonic_ns() - t0 < 50000000) {
    }
    std::uint64_t t1 = monotonic_ns(), k1 = __rdtsc();
    c.ns_per_tick = double(t1 - t0) / double(k1 - k0);
  }
  constexpr int reads = 1000000;
  std::uint64_t sum = 0, t0 = monotonic_ns();
  for (int k = 0; k < reads; ++k) sum += c.now();
  c.read_ns = double(monotonic_ns() - t0) / reads;
  asm volatile("" : : "r"(sum));
  return c;
}
