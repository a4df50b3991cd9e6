#include "place.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <numeric>
#include <tuple>
#include <utility>

namespace {

// Where a PU sits: its package's rank among the packages, its cache's among
// the package's caches, its core's among the cache's cores and its own
// among the core's hardware threads, each in order of first appearance.
struct seat {
  int package, cache, core, thread;
};

std::vector<seat> seats(const std::vector<pu>& pus) {
  std::map<std::pair<int, int>, int> ranks[4];  // by level: (parent, id) -> rank
  std::map<int, int> counts[4];
  auto rank = [&](int level, int parent, int id) {
    auto [at, added] = ranks[level].try_emplace(std::make_pair(parent, id), counts[level][parent]);
    if (added) ++counts[level][parent];
    return at->second;
  };
  std::vector<seat> s;
  for (const pu& p : pus)
    s.push_back({rank(0, 0, p.package), rank(1, p.package, p.cache), rank(2, p.cache, p.core),
                 rank(3, p.core, p.os)});
  return s;
}

// Indexes into pus in the order that spread, or else compact, fills them.
std::vector<int> order(placement where, const std::vector<pu>& pus) {
  std::vector<seat> s = seats(pus);
  std::vector<int> o(pus.size());
  std::iota(o.begin(), o.end(), 0);
  auto key = [&](int i) {
    const seat& x = s[i];
    return where == spread ? std::tie(x.thread, x.core, x.cache, x.package)
                           : std::tie(x.package, x.cache, x.core, x.thread);
  };
  std::stable_sort(o.begin(), o.end(), [&](int a, int b) { return key(a) < key(b); });
  return o;
}

// Whether PUs a and b are two CPUs of the pair `which`.
bool pairs(placement which, const pu& a, const pu& b) {
  switch (which) {
    case smt:
      return a.core == b.core;
    case core:
      return a.core != b.core && a.cache == b.cache;
    case cache:
      return a.cache != b.cache && a.package == b.package;
    default:
      return a.package != b.package;
  }
}

// The first two PUs in compact order `o` that make the pair `which`, or
// none.
std::vector<int> first_pair(placement which, const std::vector<pu>& pus, const std::vector<int>& o) {
  for (std::size_t i = 0; i < o.size(); ++i)
    for (std::size_t j = i + 1; j < o.size(); ++j)
      if (pairs(which, pus[o[i]], pus[o[j]])) return {o[i], o[j]};
  return {};
}

}  // namespace

std::vector<int> plan(placement where, int threads, const std::vector<pu>& pus) {
  std::vector<int> cpus;
  if (where == unpinned || pus.empty()) return cpus;
  std::vector<int> o = order(where, pus);
  if (where == one_cpu) o.resize(1);
  if (is_pair(where)) o = first_pair(where, pus, o);
  for (int t = 0; t < threads && !o.empty(); ++t) cpus.push_back(pus[o[t % o.size()]].os);
  return cpus;
}

std::vector<int> matrix_cpus(const std::vector<pu>& pus) {
  constexpr std::size_t all = 64, sample = 32;
  std::vector<int> picked;  // indexes into pus
  if (pus.size() <= all) {
    picked.resize(pus.size());
    std::iota(picked.begin(), picked.end(), 0);
  } else {
    std::vector<int> o = order(compact, pus);
    auto take = [&](int i) {
      if (picked.size() < sample && std::find(picked.begin(), picked.end(), i) == picked.end())
        picked.push_back(i);
    };
    for (placement p : {smt, core, cache, package})
      for (int i : first_pair(p, pus, o)) take(i);
    for (std::size_t k = 0; k < o.size(); ++k) {
      const pu& p = pus[o[k]];
      if (k == 0 || p.package != pus[o[k - 1]].package || p.cache != pus[o[k - 1]].cache)
        take(o[k]);
    }
    for (std::size_t k = 0; k < sample; ++k) take(o[k * o.size() / sample]);
  }
  std::vector<int> cpus;
  for (int i : picked) cpus.push_back(pus[i].os);
  std::sort(cpus.begin(), cpus.end());
  return cpus;
}

pin::pin(int cpu) { to(cpu); }

pin::pin(placement where, int thread, int threads) {
  if (where == unpinned) return;
  std::vector<int> cpus = plan(where, threads, machine().pus);
  if (cpus.empty())
    error = std::string("this machine has no CPUs for placement ") + placement_names[where];
  else
    to(cpus[thread]);
}

void pin::to(int cpu) {
  int e = EINVAL;
  if (cpu >= 0 && cpu < CPU_SETSIZE) e = pthread_getaffinity_np(pthread_self(), sizeof saved_, &saved_);
  if (e == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    e = pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    pinned_ = e == 0;
  }
  if (e) error = "cannot pin a thread to CPU " + std::to_string(cpu) + ": " + std::strerror(e);
}

pin::~pin() {
  if (pinned_) pthread_setaffinity_np(pthread_self(), sizeof saved_, &saved_);
}

std::vector<int> thread_counts(int cpus) {
  std::vector<int> counts;
  for (int t = 1; t < cpus; t *= 2) counts.push_back(t);
  for (int t : {cpus, 2 * cpus, 4 * cpus})
    if (counts.empty() || t > counts.back()) counts.push_back(t);
  return counts;
}
