// lock_bench's command line: Google Benchmark's own flags, checked before a
// run so that a run that cannot give figures fails instead of looking
// like a success, and a results file that is only replaced by a whole one.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "context.h"
#include "lock_bench.h"
#include "sweep.h"
#include "topology.h"

namespace {

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "lock_bench: %s\n", message.c_str());
  std::exit(1);
}

// A flag's value as Google Benchmark takes it: the last --NAME=VALUE on the
// command line, else the environment variable of the upper-case name.
const char* setting(const std::vector<char*>& args, const std::string& name) {
  std::string prefix = "--" + name + "=";
  const char* value = nullptr;
  for (char* a : args)
    if (std::strncmp(a, prefix.c_str(), prefix.size()) == 0) value = a + prefix.size();
  if (value) return value;
  std::string env;
  for (char c : name) env += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return std::getenv(env.c_str());
}

void check_flags(const std::vector<char*>& args) {
  if (const char* r = setting(args, "benchmark_repetitions")) {
    char* end;
    errno = 0;
    long n = std::strtol(r, &end, 10);
    if (end == r || *end || errno || n < 1 || n > 1000000)
      fail(std::string("--benchmark_repetitions must be a whole number from 1, not '") + r + "'");
  }
  if (const char* t = setting(args, "benchmark_min_time")) {
    char* end;
    double s = std::strtod(t, &end);
    if (end == t || *end || !(s > 0) || s > 1e6)
      fail(std::string("--benchmark_min_time must be a number of seconds above 0, not '") + t +
           "'");
  }
}

// How long one step of private work takes here, so that readers can turn
// the cases' step counts into time: the best of five timings.
double step_ns() {
  constexpr long steps = 10000000;
  double best = 1e9;
  std::uint64_t x = 1;
  for (int k = 0; k < 5; ++k) {
    auto t0 = std::chrono::steady_clock::now();
    x = work(steps, x);
    benchmark::DoNotOptimize(x);
    std::chrono::duration<double, std::nano> t = std::chrono::steady_clock::now() - t0;
    best = std::min(best, t.count() / steps);
  }
  return best;
}

// A results file ends with the JSON object's closing brace; one cut short
// by a full disk or a failed run does not.
bool whole(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  for (std::streamoff at = f.tellg(); f && at > 0; --at) {
    f.seekg(at - 1);
    int c = f.get();
    if (!std::isspace(c)) return c == '}';
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // With standard output closed, the results file would be opened as
  // descriptor 1 and the console table written into it.
  if (fcntl(1, F_GETFD) < 0) fail("standard output is closed");
  // Until a process first starts a thread, glibc takes its mutexes without
  // the lock prefix; the first one-thread cases would then cost a third to a
  // half of the later ones. Every case runs in a multi-threaded process.
  std::thread([] {}).join();

  std::vector<char*> args(argv, argv + argc);
  check_flags(args);
  const char* list = setting(args, "benchmark_list_tests");
  bool listing = list && std::strcmp(list, "true") == 0;
  for (char* a : args) listing = listing || std::strcmp(a, "--benchmark_list_tests") == 0;
  // The cases come from the topology: this machine's, or another one's
  // (HWLOC_SYNTHETIC, HWLOC_XMLFILE) to list what that machine would run.
  // Another machine's CPUs are not here to pin threads on.
  if (!machine().error.empty()) fail(machine().error);
  if (!machine().here && !listing)
    fail("the topology from HWLOC_SYNTHETIC or HWLOC_XMLFILE is not this machine's: "
         "list its cases with --benchmark_list_tests, run them there");
  if (const char* t = setting(args, "benchmark_min_time")) config.min_time = std::atof(t);
  // Defaults go first, so that the user's flags, read later, win: 0.2 s per
  // case instead of Google Benchmark's 0.5 s, and the default set of cases.
  std::vector<std::string> added;
  if (!setting(args, "benchmark_min_time")) added.push_back("--benchmark_min_time=0.2");
  if (!setting(args, "benchmark_filter"))
    added.push_back(std::string("--benchmark_filter=") + default_filter);
  // The results go to a file beside the one asked for, renamed into place
  // only when the run succeeded: a failed run never destroys earlier results.
  std::string out, temp;
  if (const char* o = setting(args, "benchmark_out"); o && *o) {
    out = o;
    std::vector<char> name(out.begin(), out.end());
    for (char c : std::string(".XXXXXX")) name.push_back(c);
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0) fail("cannot write " + out + ": " + std::strerror(errno));
    // mkstemp makes the file private; results get the usual permissions.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    temp = name.data();
  }
  std::string temp_flag = "--benchmark_out=" + temp;
  for (std::string& a : added) args.insert(args.begin() + 1, a.data());
  if (!temp.empty()) args.push_back(temp_flag.data());
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) {
    if (!temp.empty()) unlink(temp.c_str());
    return 1;
  }

  register_cases();
  add_context(!listing);
  config.clock = make_clock();
  benchmark::AddCustomContext("clock", config.clock.describe());
  if (const char* p = std::getenv("LOCK_BENCH_PASS"); p && std::strcmp(p, "0") == 0) {
    config.counting_pass = false;
    benchmark::AddCustomContext("counting_pass", "off (LOCK_BENCH_PASS=0)");
  }
  char ns[32];
  std::snprintf(ns, sizeof ns, "%.3f", step_ns());
  benchmark::AddCustomContext("work_step_ns", ns);
  // Google Benchmark says why when no case ran: a filter that does not
  // compile or matches nothing.
  bool ran = benchmark::RunSpecifiedBenchmarks() > 0;
  benchmark::Shutdown();

  std::cout.flush();
  bool written = std::cout && std::fflush(stdout) == 0 && !std::ferror(stdout);
  int write_error = errno;
  if (!temp.empty()) {
    if (ran && written && whole(temp)) {
      if (std::rename(temp.c_str(), out.c_str()) != 0)
        fail("cannot write " + out + ": " + std::strerror(errno));
    } else {
      unlink(temp.c_str());
    }
  }
  if (!written) fail(std::string("cannot write standard output: ") + std::strerror(write_error));
  return ran ? 0 : 1;
}
