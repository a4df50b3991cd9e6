#include "answer.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "console.h"
#include "printable.h"

namespace {

// A run takes about this many times --benchmark_min_time here: finding
// its iteration count, the timed loop and the counting pass.
constexpr double run_cost = 3.75;

// Passes the runs on to the progress line and keeps them.
class gather : public benchmark::BenchmarkReporter {
 public:
  explicit gather(console& c) : shown_(c) {}
  bool ReportContext(const Context& c) override { return shown_.ReportContext(c); }
  void ReportRuns(const std::vector<Run>& reports) override {
    shown_.ReportRuns(reports);
    for (const Run& r : reports)
      if (r.run_type == Run::RT_Iteration) runs.push_back(r);
  }
  void Finalize() override { shown_.Finalize(); }
  std::vector<Run> runs;

 private:
  console& shown_;
};

// Runs the registered cases FILTER picks, `times` times each, interleaved.
std::vector<benchmark::BenchmarkReporter::Run> run(const std::string& filter, long cases,
                                                   int times) {
  // Google Benchmark keeps argv[0] for the results' context. Every run
  // reaches this console, so the verdict has every run.
  static char name[] = "lock_bench";
  std::string flag = "--benchmark_repetitions=" + std::to_string(times);
  char all[] = "--benchmark_display_aggregates_only=false";
  char reported[] = "--benchmark_report_aggregates_only=false";
  char* argv[] = {name, flag.data(), all, reported, nullptr};
  int argc = 4;
  benchmark::Initialize(&argc, argv);
  console progress(cases, times, 0, false, false);
  gather runs(progress);
  benchmark::RunSpecifiedBenchmarks(&runs, nullptr, filter);
  return runs.runs;
}

std::string scenario(const listed& c) {
  return c.place + "/" + std::to_string(c.read) + "/" + std::to_string(c.hold) + "/" +
         std::to_string(c.think) + "/" + std::to_string(c.threads) + (c.processes ? "/processes" : "");
}

// The cases of the first pass that get the later runs.
std::vector<listed> within_reach(const std::vector<listed>& cases,
                                 const std::vector<benchmark::BenchmarkReporter::Run>& runs) {
  std::map<std::string, double> fastest;  // by full name; none for a case with a failed run
  std::set<std::string> failed;
  for (const auto& r : runs) {
    std::string name = r.run_name.str();
    if (::failed(r)) failed.insert(name);
    auto span = r.counters.find("span_ns");
    double t = span != r.counters.end() ? double(span->second) : r.GetAdjustedRealTime();
    auto [at, fresh] = fastest.emplace(name, t);
    if (!fresh) at->second = std::min(at->second, t);
  }
  for (const std::string& name : failed) fastest.erase(name);
  std::set<std::string> shared;
  std::istringstream names(shared_kinds(" "));
  for (std::string k; names >> k;) shared.insert(k);
  // Each scenario's best, and its best kind that shares and that does not.
  std::map<std::string, const listed*> best, best_shared, best_exclusive;
  auto faster = [&](std::map<std::string, const listed*>& m, const listed& c) {
    const listed*& b = m[scenario(c)];
    if (!b || fastest[c.full] < fastest[b->full]) b = &c;
  };
  for (const listed& c : cases) {
    if (!c.lock() || !fastest.count(c.full)) continue;
    faster(best, c);
    faster(shared.count(c.kind) ? best_shared : best_exclusive, c);
  }
  std::vector<listed> kept;
  for (const listed& c : cases) {
    if (!c.lock() || !fastest.count(c.full)) continue;
    std::string s = scenario(c);
    if (fastest[c.full] <= reach * fastest[best[s]->full] || c.kind == "mutex" ||
        (c.read && (best_shared[s] == &c || best_exclusive[s] == &c)))
      kept.push_back(c);
  }
  return kept;
}

}  // namespace

std::string announce(const std::vector<listed>& cases, const std::string& file) {
  // A run whose one acquisition a thread takes longer than the minimum
  // time is over after it and its counting pass; one that would outlast
  // the cut is cut before it runs.
  double runs = 0;
  for (const listed& c : cases) {
    double least = least_seconds(c);
    if (least <= 10 * config.min_time) runs += std::max(run_cost * config.min_time, 2 * least);
  }
  std::ostringstream s;
  s << cases.size() << " case" << (cases.size() == 1 ? "" : "s") << ", " << first
    << " runs each, then " << later << " more for each within " << reach
    << "x of its scenario's best";
  if (config.min_time > 0)
    s << ": about " << clock_time(first * runs) << " to " << clock_time((first + later) * runs);
  s << "; results go to " << file;
  return s.str();
}

std::string two_passes(const std::vector<listed>& cases, const std::string& filter) {
  char why[300];
  std::snprintf(why, sizeof why,
                "%d each; %d more for those within %gx of the best (faster runs compared), mutex, "
                "and the best shared and exclusive kinds",
                first, later, reach);
  benchmark::AddCustomContext("verdict_runs", why);
  std::vector<benchmark::BenchmarkReporter::Run> runs = run(filter, long(cases.size()), first);

  std::vector<listed> kept = within_reach(cases, runs);
  long locks = std::count_if(cases.begin(), cases.end(), [](const listed& c) { return c.lock(); });
  std::fprintf(stderr, "lock_bench: %zu of %ld lock cases within reach: %d more runs of each\n",
               kept.size(), locks, later);
  forget_cases();
  for (const listed& c : kept)
    register_cases(c.processes ? asked{{c.kind}, {c.place}, {0}, {}, {c.hold}, {c.think}, {c.threads}}
                               : asked{{c.kind}, {c.place}, {c.read}, {c.threads}, {c.hold}, {c.think}, {}});
  if (std::string error = start_runs_apart(); !error.empty())
    std::fprintf(stderr, "lock_bench: cannot start the process that runs loaded kinds: %s\n", error.c_str());
  std::vector<benchmark::BenchmarkReporter::Run> more =
      kept.empty() ? decltype(more){} : run(".+", long(kept.size()), later);

  std::set<std::string> again;
  for (const listed& c : kept) again.insert(c.full);
  for (auto& r : runs)
    if (again.count(r.run_name.str())) r.repetitions = first + later;
  for (auto& r : more) {
    r.repetition_index += first;
    r.repetitions = first + later;
    runs.push_back(r);
  }
  std::ostringstream text;
  benchmark::JSONReporter json;
  json.SetOutputStream(&text);
  json.SetErrorStream(&text);
  json.ReportContext(benchmark::BenchmarkReporter::Context());
  json.ReportRuns(runs);
  json.Finalize();
  return text.str();
}

std::string verdict_tool() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string tool = n > 0 ? std::string(self, std::size_t(n)) : "";
  return tool.substr(0, tool.rfind('/') + 1) + "lock_bench-verdict";
}

int verdict(const std::string& file) {
  std::string tool = verdict_tool();
  std::fflush(stdout);
  std::string name = "lock_bench-verdict";
  // The verdict takes no file name that starts with '-' for an option.
  std::string path = file[0] == '-' ? "./" + file : file;
  char* argv[] = {name.data(), path.data(), nullptr};
  // The tool ends with lock_bench, however lock_bench ends; a failed exec
  // sends its errno through the pipe, which closes on a good one.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "lock_bench: cannot run %s: %s; the results are in %s\n",
                 printable(tool).c_str(), std::strerror(errno), printable(file).c_str());
    return 1;
  }
  pid_t parent = getpid(), pid = fork();
  if (pid == 0) {
    close(fds[0]);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == parent) execv(tool.c_str(), argv);
    int e = getppid() == parent ? errno : ESRCH;
    ssize_t ignored = write(fds[1], &e, sizeof e);
    (void)ignored;
    _exit(127);
  }
  close(fds[1]);
  int e = pid < 0 ? errno : 0;
  if (pid > 0) {
    ssize_t got;
    while ((got = read(fds[0], &e, sizeof e)) < 0 && errno == EINTR) {
    }
    if (got != ssize_t(sizeof e)) e = 0;
  }
  close(fds[0]);
  int status = 0;
  pid_t w = -1;
  if (pid > 0)
    while ((w = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
  if (e != 0) {
    std::fprintf(stderr, "lock_bench: cannot run %s: %s; the results are in %s\n",
                 printable(tool).c_str(), std::strerror(e), printable(file).c_str());
    return 1;
  }
  if (w == pid && WIFEXITED(status)) return WEXITSTATUS(status);
  if (w == pid && WIFSIGNALED(status))
    std::fprintf(stderr, "lock_bench: %s ended by %s; the results are in %s\n",
                 printable(tool).c_str(), strsignal(WTERMSIG(status)), printable(file).c_str());
  return 1;
}
