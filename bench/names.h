// The names lock_bench and its tools share: the pieces of a case's name and
// the counters. tools/results.py holds the same for the tools; the tests
// use both.
#pragma once
#include <string>
#include <vector>

// Time inside the lock, in ns: none, then 0.1, 1 and 10 us, where a waiter
// that sleeps starts to pay for its wake-up less than a spinner pays for
// its spinning.
inline const std::vector<long> holds = {0, 100, 1000, 10000};
// Time between acquisitions, in ns: none (spin_or_mutex's loop), then 0.1
// and 1 us, as contention falls away.
inline const std::vector<long> thinks = {0, 100, 1000};

// Reads in every hundred acquisitions: 0 is the exclusive sweep, every
// acquisition a write; then half, read-mostly, nearly all and all reads.
inline const std::vector<int> reads = {0, 50, 90, 99, 100};

// A time in a case's name: "0", "100ns", "1us", "10us", "2ms".
inline std::string duration(long ns) {
  if (ns == 0) return "0";
  if (ns % 1000000 == 0) return std::to_string(ns / 1000000) + "ms";
  if (ns % 1000 == 0) return std::to_string(ns / 1000) + "us";
  return std::to_string(ns) + "ns";
}

// KIND/PLACE/read:R/hold:H/think:T, without the read part when there are
// no reads; Google Benchmark adds /real_time/threads:N.
inline std::string case_name(const std::string& kind, const std::string& place, int read,
                             long hold, long think) {
  return kind + "/" + place + (read ? "/read:" + std::to_string(read) : "") +
         "/hold:" + duration(hold) + "/think:" + duration(think);
}

// The counters of a case, as lock_bench reports them.
namespace counter {
constexpr const char *overlap = "overlap", *span_ns = "span_ns", *handoffs = "handoffs",
                 *fairness = "fairness", *starved = "starved", *wait_p50 = "wait_p50",
                 *wait_p99 = "wait_p99", *wait_p999 = "wait_p999", *wait_max = "wait_max",
                 *transfer_ns = "transfer_ns", *read_wait_p99 = "read_wait_p99",
                 *write_wait_p99 = "write_wait_p99", *write_wait_max = "write_wait_max",
                 *writes_share = "writes_share", *readers_max = "readers_max",
                 *recovery_ns = "recovery_ns";
}
// Those of a locking case.
inline const std::vector<const char*> lock_counters = {
    counter::overlap,  counter::span_ns,  counter::handoffs,  counter::fairness, counter::starved,
    counter::wait_p50, counter::wait_p99, counter::wait_p999, counter::wait_max};
// And those a case with reads adds.
inline const std::vector<const char*> mix_counters = {
    counter::read_wait_p99, counter::write_wait_p99, counter::write_wait_max,
    counter::writes_share, counter::readers_max};
