#include "clock.h"

#include <time.h>

#include <cstdio>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

namespace {

std::uint64_t monotonic_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::uint64_t(t.tv_sec) * 1000000000u + t.tv_nsec;
}

#if defined(__x86_64__) || defined(__i386__)
// The time-stamp counter, where CPUID says it runs at one rate in every
// power state.
bool counts() {
  unsigned a, b, c, d;
  return __get_cpuid(0x80000007, &a, &b, &c, &d) && (d >> 8 & 1);
}
std::uint64_t counter() { return __rdtsc(); }
// Its rate, against CLOCK_MONOTONIC: CPUID does not always give it.
double ns_per_count() {
  std::uint64_t t0 = monotonic_ns(), k0 = counter();
  while (monotonic_ns() - t0 < 50000000) {
  }
  std::uint64_t t1 = monotonic_ns(), k1 = counter();
  return double(t1 - t0) / double(k1 - k0);
}
const char* counter_name = "invariant TSC";
const char* no_counter = "clock_gettime (the TSC is not invariant here)";
#elif defined(__aarch64__)
// The generic timer's virtual count, which the architecture makes one
// rate on every core. The isb keeps the reading after what came before it.
bool counts() { return true; }
std::uint64_t counter() {
  std::uint64_t v;
  asm volatile("isb; mrs %0, cntvct_el0" : "=r"(v)::"memory");
  return v;
}
// Its rate, which CNTFRQ_EL0 gives.
double ns_per_count() {
  std::uint64_t hz;
  asm volatile("mrs %0, cntfrq_el0" : "=r"(hz));
  return hz ? 1e9 / double(hz) : 1;
}
const char* counter_name = "generic timer (CNTVCT_EL0)";
const char* no_counter = "clock_gettime";
#else
bool counts() { return false; }
std::uint64_t counter() { return 0; }
double ns_per_count() { return 1; }
const char* counter_name = "";
const char* no_counter = "clock_gettime (no counter read here)";
#endif

}  // namespace

std::uint64_t tick_clock::now() const { return direct ? counter() : monotonic_ns(); }

std::string tick_clock::describe() const {
  char s[160];
  std::snprintf(s, sizeof s, "%s, %.3f ns a tick, %.1f ns a reading",
                direct ? counter_name : no_counter, ns_per_tick, read_ns);
  return s;
}

tick_clock make_clock() {
  tick_clock c{counts(), 1, 0};
  if (c.direct) c.ns_per_tick = ns_per_count();
  constexpr int reads = 1000000;
  std::uint64_t sum = 0, t0 = monotonic_ns();
  for (int k = 0; k < reads; ++k) sum += c.now();
  c.read_ns = double(monotonic_ns() - t0) / reads;
  asm volatile("" : : "r"(sum));
  return c;
}
