#include "trial.h"

#include "stats.h"

std::vector<std::pair<const char*, double>> figures(std::vector<record>& threads, bool pass,
                                                    bool mixes, double ns_per_tick,
                                                    double per_thread) {
  std::uint64_t last_start = 0, first_stop = UINT64_MAX;
  for (const record& r : threads) {
    last_start = std::max(last_start, r.start);
    first_stop = std::min(first_stop, r.stop);
  }
  double span = double(span_ticks(threads));
  // The share of the span in which every thread was still in its loop.
  double overlap = first_stop > last_start ? (first_stop - last_start) / span : 0;
  std::vector<std::pair<const char*, double>> f = {
      {counter::overlap, overlap},
      {counter::span_ns, span * ns_per_tick / (per_thread * threads.size())}};
  if (!pass) return f;
  std::vector<long> got;
  std::vector<std::uint64_t> waits;
  long acquisitions = 0, handoffs = 0;
  for (const record& r : threads) {
    got.push_back(r.acquisitions);
    acquisitions += r.acquisitions;
    handoffs += r.handoffs;
    waits.insert(waits.end(), r.waits.begin(), r.waits.end());
  }
  f.insert(f.end(), {{counter::handoffs, acquisitions ? double(handoffs) / acquisitions : 0},
                     {counter::fairness, jain(got)},
                     {counter::starved, double(std::count(got.begin(), got.end(), 0))}});
  for (auto [name, p] : {std::pair{counter::wait_p50, 0.5}, {counter::wait_p99, 0.99},
                         {counter::wait_p999, 0.999}, {counter::wait_max, 1.0}})
    f.emplace_back(name, double(percentile(waits, p)) * ns_per_tick);
  if (!mixes) return f;
  std::vector<std::uint64_t> reads, writes;
  long written = 0, asked = 0;
  int inside = 0;
  for (const record& r : threads) {
    reads.insert(reads.end(), r.read_waits.begin(), r.read_waits.end());
    writes.insert(writes.end(), r.write_waits.begin(), r.write_waits.end());
    written += r.writes;
    asked += r.writes + r.write_waiting;
    inside = std::max(inside, r.readers_max);
  }
  // A pattern of reads only asks for no writes: it has no write figures.
  if (!reads.empty()) f.emplace_back(counter::read_wait_p99, double(percentile(reads, 0.99)) * ns_per_tick);
  if (asked) {
    f.emplace_back(counter::write_wait_p99, double(percentile(writes, 0.99)) * ns_per_tick);
    f.emplace_back(counter::write_wait_max, double(percentile(writes, 1.0)) * ns_per_tick);
    f.emplace_back(counter::writes_share, double(written) / asked);
  }
  f.emplace_back(counter::readers_max, inside);
  return f;
}
