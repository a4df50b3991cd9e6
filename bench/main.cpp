// lock_bench's command line: Google Benchmark's own flags, checked before a
// run so that a run that cannot give figures fails instead of looking
// like a success, and a results file that is only replaced by a whole one.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <system_error>
#include <string>
#include <thread>
#include <vector>

#include "answer.h"
#include "console.h"
#include "context.h"
#include "lock_bench.h"
#include "locks.h"
#include "out.h"
#include "place.h"
#include "plugin.h"
#include "printable.h"
#include "processes.h"
#include "sweep.h"
#include "topology.h"

namespace {

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "lock_bench: %s\n", printable(message).c_str());
  std::exit(1);
}

// A flag's value as Google Benchmark takes it: the last --NAME=VALUE on the
// command line (or, for a boolean flag, a bare --NAME, which means true),
// else the environment variable of the upper-case name.
const char* setting(const std::vector<char*>& args, const std::string& name, bool boolean = false) {
  std::string flag = "--" + name;
  const char* value = nullptr;
  for (char* a : args) {
    if (std::strncmp(a, flag.c_str(), flag.size()) != 0) continue;
    const char* rest = a + flag.size();
    if (*rest == '=') value = rest + 1;
    if (*rest == 0 && boolean) value = rest;
  }
  if (value) return value;
  std::string env;
  for (char c : name) env += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return std::getenv(env.c_str());
}

// Whether Google Benchmark takes VALUE as true: anything but 0, f, n,
// false, no, off (in any case) and a single non-alphanumeric character.
bool truthy(const char* value) {
  if (!value) return false;
  std::string v;
  for (const char* c = value; *c; ++c) v += char(std::tolower(static_cast<unsigned char>(*c)));
  if (v.size() == 1) return std::isalnum(static_cast<unsigned char>(v[0])) && !std::strchr("0fn", v[0]);
  return v != "false" && v != "no" && v != "off";
}

// The minimum time per case in seconds, 0 for an iteration count, -1 for
// what the linked Google Benchmark does not take: 1.8 and later take "0.2s"
// and "100x" (and still "0.2"), earlier ones seconds without a unit.
#ifdef MIN_TIME_UNITS
const char* const min_time_forms = "seconds above 0 (0.2s) or a whole number of iterations (100x)";
#else
const char* const min_time_forms = "a number of seconds above 0, without a unit";
#endif
double min_time(const char* t) {
  char* end;
  errno = 0;
#ifdef MIN_TIME_UNITS
  long n = std::strtol(t, &end, 10);
  if (end != t && std::strcmp(end, "x") == 0) return !errno && n >= 1 ? 0 : -1;
#endif
  double s = std::strtod(t, &end);
#ifdef MIN_TIME_UNITS
  if (end != t && std::strcmp(end, "s") == 0) ++end;
#endif
  return end == t || *end || errno || !(s > 0) || s > 1e6 ? -1 : s;
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
    config.min_time = min_time(t);
    if (config.min_time < 0)
      fail(std::string("--benchmark_min_time must be ") + min_time_forms + ", not '" + t + "'");
  }
  // Google Benchmark would print its usage and report success.
  for (const char* name : {"benchmark_format", "benchmark_out_format"}) {
    const char* f = setting(args, name);
    if (f && std::strcmp(f, "console") && std::strcmp(f, "json") && std::strcmp(f, "csv"))
      fail(std::string("--") + name + " must be console, json or csv, not '" + f + "'");
  }
}

// The items of a list flag's value, split at commas; refused when one is
// empty.
std::vector<std::string> items(const std::string& flag, const std::string& value) {
  std::vector<std::string> out;
  std::size_t from = 0;
  for (;;) {
    std::size_t comma = value.find(',', from);
    out.push_back(value.substr(from, comma - from));
    if (out.back().empty()) fail("--" + flag + " has an empty item: '" + value + "'");
    if (comma == std::string::npos) return out;
    from = comma + 1;
  }
}

// A whole number from 0 to most, or -1.
long whole_number(const std::string& s, long most) {
  if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos) return -1;
  long n = std::stol(s);
  return n <= most ? n : -1;
}

// A time as lock_bench's case names write it: 0, or a whole number of ns,
// us or ms, up to a second; -1 for anything else.
long nanoseconds(const std::string& s) {
  if (s == "0") return 0;
  std::size_t digits = s.find_first_not_of("0123456789");
  if (digits == 0 || digits == std::string::npos) return -1;
  std::string unit = s.substr(digits);
  long scale = unit == "ns" ? 1 : unit == "us" ? 1000 : unit == "ms" ? 1000000 : 0;
  long n = scale ? whole_number(s.substr(0, digits), 1000000000 / scale) : -1;
  return n < 0 ? -1 : n * scale;
}

// The value of each --NAME=VALUE in args, in order, and nullopt for each
// bare --NAME: lock_bench's own flags, taken out of args before Google
// Benchmark sees them.
std::vector<std::optional<std::string>> take(std::vector<char*>& args, const std::string& name) {
  const std::string flag = "--" + name, with = flag + "=";
  std::vector<std::optional<std::string>> values;
  std::vector<char*> rest;
  for (char* a : args) {
    if (flag == a)
      values.emplace_back();
    else if (!std::strncmp(a, with.c_str(), with.size()))
      values.emplace_back(a + with.size());
    else
      rest.push_back(a);
  }
  args = rest;
  return values;
}

// Whether --verdict is given.
bool take_verdict(std::vector<char*>& args) {
  std::vector<std::optional<std::string>> given = take(args, "verdict");
  for (const auto& v : given)
    if (v) fail("--verdict takes no value");
  return !given.empty();
}

// Where --verdict keeps its results when --benchmark_out does not say:
// lock_bench-DATE-TIME.json here, a name no earlier run took.
std::string fresh_name() {
  char name[64];
  std::time_t now = std::time(nullptr);
  std::strftime(name, sizeof name, "lock_bench-%Y%m%d-%H%M%S.json", std::localtime(&now));
  struct stat st;  // a dangling link takes the name too
  if (lstat(name, &st) != 0) return name;
  for (int k = 2;; ++k) {
    std::string other = std::string(name, std::strlen(name) - 5) + "-" + std::to_string(k) + ".json";
    if (lstat(other.c_str(), &st) != 0) return other;
  }
}

// The objects of the --lock flags, in order.
std::vector<std::string> take_locks(std::vector<char*>& args) {
  std::vector<std::string> files;
  for (const auto& v : take(args, "lock")) {
    if (!v || v->empty()) fail("--lock needs a shared object, such as --lock=./libmylock.so");
    files.push_back(*v);
  }
  return files;
}

// The most cases lock_bench's own flags may make: a few times the whole grid.
constexpr long most_cases = 100000;

// lock_bench's own flags, which make the cases: taken out of args before
// Google Benchmark sees them. The last of several of one name counts.
asked take_asked(std::vector<char*>& args) {
  std::map<std::string, std::string> given;
  // Each flag with an example of its list.
  const std::vector<std::pair<std::string, std::string>> flags = {
      {"kinds", "mutex,tbb_spin"}, {"place", "unpinned,spread"}, {"read", "0,90"},
      {"hold", "300ns,2us"},       {"think", "0,2us"},           {"threads", "16,32"},
      {"processes", "2,8"}};
  for (const auto& [name, example] : flags) {
    for (const auto& v : take(args, name)) {
      if (!v) fail("--" + name + " needs a list, such as --" + name + "=" + example);
      given[name] = *v;
    }
  }
  asked a;
  std::vector<std::string> kinds = kind_names();
  // An item given twice (--threads=2,2) is one case, not the same case run
  // twice under one name.
  auto once = [](auto& list, auto item) {
    if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
  };
  for (auto& [flag, value] : given) {
    for (const std::string& item : items(flag, value)) {
      auto bad = [&](const std::string& why) {
        fail("--" + flag + "=" + value + ": '" + item + "' " + why);
      };
      if (flag == "kinds") {
        if (std::find(kinds.begin(), kinds.end(), item) == kinds.end()) bad("is not a lock kind");
        once(a.kinds, item);
      } else if (flag == "place") {
        auto p = std::find(std::begin(placement_names), std::end(placement_names), item);
        if (p == std::end(placement_names)) bad("is not a placement");
        placement where = placement(p - std::begin(placement_names));
        if (is_pair(where) && plan(where, 2, machine().pus).empty())
          bad("is a pair of CPUs this machine does not have");
        once(a.places, item);
      } else if (flag == "read") {
        long r = whole_number(item, 100);
        if (r < 0) bad("is not a share of reads from 0 to 100");
        once(a.reads, int(r));
      } else if (flag == "threads" || flag == "processes") {
        long n = whole_number(item, 4096);
        if (n < 1) bad("is not a " + std::string(flag == "threads" ? "thread" : "process") +
                       " count from 1 to 4096");
        once(flag == "threads" ? a.threads : a.processes, int(n));
      } else {
        long ns = nanoseconds(item);
        if (ns < 0) bad("is not a time: 0, or a whole number of ns, us or ms up to a second");
        once(flag == "hold" ? a.holds : a.thinks, ns);
      }
    }
  }
  // Each case costs memory before anything runs: 2,250,000 of them, 4 GB.
  auto count = [](std::size_t given, std::size_t otherwise) { return double(given ? given : otherwise); };
  double made = count(a.kinds.size(), kinds.size()) * count(a.places.size(), 1) *
                count(a.reads.size(), 3) * count(a.holds.size(), 2) * count(a.thinks.size(), 1) *
                count(a.threads.size() + a.processes.size(), 2);
  if (made > most_cases)
    fail("--kinds, --place, --read, --hold, --think, --threads and --processes make up to " +
         std::to_string(long(made)) + " cases; one run takes at most " + std::to_string(most_cases));
  if (!a.processes.empty()) {
    for (const std::string& k : a.kinds)
      if (!one_process(k).empty())
        fail("--kinds=" + given["kinds"] + " --processes: " + k + " cannot work across processes: " +
             one_process(k));
    if (!a.reads.empty() && std::find(a.reads.begin(), a.reads.end(), 0) == a.reads.end())
      fail("--processes: processes run without reads; add 0 to --read=" + given["read"]);
  }
  return a;
}

// The registered cases FILTER picks, as Google Benchmark reads it: an
// extended regular expression found anywhere in the name, or with a
// leading '-' the cases it is not found in. None when it does not compile
// (Google Benchmark then says why and runs nothing).
// The matching is tried first in a child process, with a limit: an
// expression that backtracks for ever there would in Google Benchmark too,
// which matches the same names with the same library.
std::vector<listed> chosen(const std::string& given) {
  constexpr int limit_s = 10;
  const std::vector<listed>& all = registered();
  crew c = run_processes(
      1,
      [&](int, int fd) {
        std::string filter = given;
        bool negative = !filter.empty() && filter[0] == '-';
        if (negative) filter.erase(0, 1);
        std::string picked;
        try {
          std::regex re(filter, std::regex::extended);
          for (std::uint32_t i = 0; i < all.size(); ++i)
            if (std::regex_search(all[i].full, re) != negative)
              picked.append(reinterpret_cast<const char*>(&i), sizeof i);
        } catch (const std::regex_error&) {
        }
        _exit(send(fd, "+" + picked) ? 0 : 1);
      },
      std::chrono::seconds(limit_s));
  if (c.late)
    fail("--benchmark_filter=" + given + " takes over " + std::to_string(limit_s) + " s to match " +
         std::to_string(all.size()) +
         " case names (a repetition inside a repetition, such as (.*)*, backtracks): write it "
         "more simply");
  const std::string& got = c.sent[0];
  if (c.error || got.empty() || c.status[0] != 0)
    fail("cannot match --benchmark_filter=" + given + ": " +
         (c.error ? std::strerror(c.error) : ended(c.status[0])));
  std::vector<listed> out;
  for (std::size_t at = 1; at + sizeof(std::uint32_t) <= got.size(); at += sizeof(std::uint32_t)) {
    std::uint32_t i;
    std::memcpy(&i, got.data() + at, sizeof i);
    out.push_back(all.at(i));
  }
  return out;
}

// The thread counts of kind KIND among CASES.
std::vector<int> thread_counts_of(const std::vector<listed>& cases, const std::string& kind) {
  std::vector<int> counts;
  for (const listed& c : cases)
    if (c.kind == kind && !c.processes && std::find(counts.begin(), counts.end(), c.threads) == counts.end())
      counts.push_back(c.threads);
  return counts;
}

// How long one step of private work takes on the main thread, for the
// record of the run (each thread of a case times its own): the best of
// five timings.
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

// A JSON results file ends with the object's closing brace; one of a run
// that stopped short does not.
bool whole(const std::string& text) {
  std::size_t last = text.find_last_not_of(" \t\r\n");
  return last != std::string::npos && text[last] == '}';
}

// Why standard output took no more: ERRNO, where the write that failed
// left it; where something since cleared it, a file at its size limit
// (ulimit -f), else an I/O error.
int why_not_written(int errno_now) {
  if (errno_now) return errno_now;
  struct stat st;
  rlimit size;
  if (fstat(1, &st) == 0 && S_ISREG(st.st_mode) && getrlimit(RLIMIT_FSIZE, &size) == 0 &&
      size.rlim_cur != RLIM_INFINITY && rlim_t(st.st_size) >= size.rlim_cur)
    return EFBIG;
  return EIO;
}

// A standard descriptor left closed would be taken by the next file
// opened, and get what was meant for the closed one.
void fill(int fd) {
  if (fcntl(fd, F_GETFD) >= 0) return;
  int null = open("/dev/null", O_RDWR);
  if (null >= 0 && null != fd) {
    dup2(null, fd);
    close(null);
  }
}

// What ends the process when a case cannot start its threads (or fails
// otherwise): Google Benchmark does not catch the error, and its other
// threads wait for the missing ones (a catch in main hung in
// pthread_cond_destroy), so nothing is unwound. The results stay unwritten.
[[noreturn]] void stop() {
  // Nothing here allocates: memory may be what ran out.
  char why[256] = "a case failed";
  try {
    if (std::current_exception()) std::rethrow_exception(std::current_exception());
  } catch (const std::system_error& e) {
    bool cat = e.code().category() == std::system_category() ||
               e.code().category() == std::generic_category();
    std::snprintf(why, sizeof why, "%s: %s",
                  e.code() == std::errc::resource_unavailable_try_again ? "cannot start a thread"
                                                                        : "a case failed",
                  cat ? std::strerror(e.code().value()) : e.what());
  } catch (const std::exception& e) {
    std::snprintf(why, sizeof why, "a case failed: %s", e.what());
  } catch (...) {
  }
  std::fflush(stdout);
  std::fprintf(stderr, "lock_bench: %s; no results written\n", why);
  _exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_terminate(stop);
  // Past a file size limit (ulimit -f) a write fails, and lock_bench says
  // so, instead of dying of SIGXFSZ without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  // With standard error closed, its lines would go into the results file.
  fill(0);
  fill(2);
  // With standard output closed, the console table would.
  if (fcntl(1, F_GETFD) < 0) fail("standard output is closed");
  // Until a process first starts a thread, glibc takes its mutexes without
  // the lock prefix; the first one-thread cases would then cost a third to a
  // half of the later ones. Every case runs in a multi-threaded process.
  std::thread([] {}).join();

  std::vector<char*> args(argv, argv + argc);
  bool answer = take_verdict(args);
  check_flags(args);
  bool listing = truthy(setting(args, "benchmark_list_tests", true));
  // The cases come from the topology: this machine's, or another one's
  // (HWLOC_SYNTHETIC, HWLOC_XMLFILE) to list what that machine would run.
  // Another machine's CPUs are not here to pin threads on.
  if (!machine().error.empty()) fail(machine().error);
  if (!machine().here && !listing)
    fail("the topology hwloc reads with " + machine().foreign +
         " set is not this machine's: list its cases with --benchmark_list_tests, run them there");
  // Loaded kinds are kinds like the others for --kinds; none is timed
  // before it has shown that it excludes.
  std::string locks;
  for (const std::string& file : take_locks(args)) {
    std::vector<std::string> taken = kind_names();
    taken.insert(taken.end(), {"classic", "pingpong"});  // the other cases' names
    std::string error = load(file, taken);
    if (!error.empty()) fail(error);
    const plugin& p = plugins[loaded_plugins - 1];
    locks += (locks.empty() ? "" : ", ") + p.name + " from " + p.path;
  }
  asked cases = take_asked(args);
  std::string kept;  // --verdict's results file
  bool fresh = false;  // and whether lock_bench chose its name
  if (answer && !listing) {
    // The verdict needs its repetitions, every run in JSON, and the console.
    for (const char* flag : {"benchmark_repetitions", "benchmark_format"})
      if (setting(args, flag)) fail(std::string("--verdict sets --") + flag + " itself; leave it out");
    const char* f = setting(args, "benchmark_out_format");
    if (f && std::strcmp(f, "json")) fail("--verdict keeps its results as JSON, not " + std::string(f));
    const char* o = setting(args, "benchmark_out");
    fresh = !(o && *o);
    kept = fresh ? fresh_name() : o;
    // The verdict reads the file back, and must be there to.
    struct stat st, tool;
    if (stat(kept.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      fail("--verdict keeps its results in a regular file, not " + kept);
    if (stat(verdict_tool().c_str(), &tool) != 0 || access(verdict_tool().c_str(), X_OK) != 0)
      fail("--verdict runs " + verdict_tool() + ": " + std::strerror(errno));
    if (!S_ISREG(tool.st_mode)) fail("--verdict runs " + verdict_tool() + ": not a regular file");
    if (stat(kept.c_str(), &st) == 0 && st.st_dev == tool.st_dev && st.st_ino == tool.st_ino)
      fail("--verdict would write its results over " + verdict_tool());
  }
  // Defaults go last, where they win over an empty setting: 0.2 s per case
  // instead of Google Benchmark's 0.5 s, and the default set of cases.
  std::vector<std::string> added;
#ifdef MIN_TIME_UNITS
  if (!setting(args, "benchmark_min_time")) added.push_back("--benchmark_min_time=0.2s");
#else
  if (!setting(args, "benchmark_min_time")) added.push_back("--benchmark_min_time=0.2");
#endif
  // Google Benchmark takes "all" (and ".") a family at a time, making room
  // for exactly that family's cases each time: it copies every case found
  // so far once a family, 16 s for the whole grid here. ".+" picks the same
  // cases in a fraction of a second.
  if (const char* f = setting(args, "benchmark_filter"); (!f || !*f) && !cases.any())
    added.push_back("--benchmark_filter=" + default_filter());
  else if (!f || !*f)
    added.push_back("--benchmark_filter=.+");
  else if (!std::strcmp(f, "all") || !std::strcmp(f, "."))
    added.push_back("--benchmark_filter=.+");
  // The results are kept in memory and written out after a whole run, so
  // that a failed or interrupted run never destroys earlier results.
  std::unique_ptr<results_file> out;
  const char* format = setting(args, "benchmark_out_format");
  bool json = !format || !std::strcmp(format, "json");
  if (!kept.empty()) {
    // --verdict writes the file itself, after both of its passes.
    out = std::make_unique<results_file>(kept, fresh);
    if (!out->error().empty()) fail(out->error());
    added.push_back("--benchmark_out=");
    if (!setting(args, "benchmark_enable_random_interleaving"))
      added.push_back("--benchmark_enable_random_interleaving=true");
  } else if (const char* o = setting(args, "benchmark_out"); o && *o) {
    if (listing) {
      added.push_back("--benchmark_out=/dev/null");  // a listing is no run
    } else {
      out = std::make_unique<results_file>(o);
      if (!out->error().empty()) fail(out->error());
      added.push_back("--benchmark_out=" + out->buffer());
    }
  }
  for (std::string& a : added) args.push_back(a.data());
  // Google Benchmark takes its flags out of args.
  std::string filter = setting(args, "benchmark_filter");
  const char* r = setting(args, "benchmark_repetitions");
  long repetitions = r ? std::atol(r) : 1;
  const char* display = setting(args, "benchmark_format");
  bool table = !listing && (!display || !std::strcmp(display, "console"));
  bool csv_out = format && !std::strcmp(format, "csv") && out;
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;

  register_cases(cases);
  std::vector<listed> picked = chosen(filter);
  // Each loaded kind shows it excludes, at the thread counts it will run
  // at, before anything is timed.
  for (int k = 0; k < loaded_plugins && !listing; ++k)
    if (std::string error = check(plugins[k], thread_counts_of(picked, plugins[k].name)); !error.empty())
      fail(error);
  // Threads and processes walk one kind of memory, whatever cases run.
  if (!listing) share_data();
  add_context(!listing);
  for (auto& [key, value] : as_shipped()) benchmark::AddCustomContext(key, value);
  if (!locks.empty()) benchmark::AddCustomContext("loaded_kinds", locks);
  // The tools tell the two sides of "shared or exclusive?" apart by it.
  benchmark::AddCustomContext("shared_kinds", shared_kinds(" "));
  config.clock = make_clock();
  config.ran = console::ran;
  benchmark::AddCustomContext("clock", config.clock.describe());
  if (const char* p = std::getenv("LOCK_BENCH_PASS"); p && std::strcmp(p, "0") == 0) {
    config.counting_pass = false;
    benchmark::AddCustomContext("counting_pass", "off (LOCK_BENCH_PASS=0)");
  }
  char ns[32];
  std::snprintf(ns, sizeof ns, "%.3f", step_ns());
  benchmark::AddCustomContext("work_step_ns", ns);
  // Last, as every setting is made: its copy of them is the runs'.
  if (!listing)
    if (std::string error = start_runs_apart(); !error.empty())
      fail("cannot start the process that runs loaded kinds: " + error);
  if (!kept.empty()) {
    const std::vector<listed>& runs = picked;
    if (runs.empty()) fail("no case matches --benchmark_filter=" + filter + ", or it does not compile");
    if (std::none_of(runs.begin(), runs.end(), [](const listed& c) { return c.lock(); }))
      fail("--verdict ranks locks, and these cases have none (none and atomic are baselines; "
           "the death of an owner is no scenario to rank)");
    std::fprintf(stderr, "lock_bench: %s\n", announce(runs, kept).c_str());
    std::string text = two_passes(runs, filter);
    if (std::FILE* f = std::fopen(out->buffer().c_str(), "w");
        !f || std::fputs(text.c_str(), f) < 0 || std::fclose(f) != 0)
      fail("cannot keep the results in memory: " + std::string(std::strerror(errno)));
    std::string error = out->commit();
    if (!error.empty()) fail(error);
    if (out->written() != kept)
      std::fprintf(stderr, "lock_bench: %s was taken meanwhile; the results are in %s\n",
                   printable(kept).c_str(), printable(out->written()).c_str());
    return verdict(out->written());
  }
  // The console shows lock_bench's own table, unless another format was
  // asked for.
  std::unique_ptr<console> shown;
  if (table) {
    const std::vector<listed>& runs = picked;
    std::size_t width = 0;
    bool reads = false;
    for (const listed& c : runs) {
      width = std::max(width, c.shown.size() + (repetitions > 1 ? 7 : 0));  // "_median"
      reads |= c.read > 0;
    }
    shown = std::make_unique<console>(long(runs.size()), repetitions, width, reads);
  }
  std::unique_ptr<benchmark::BenchmarkReporter> display_csv, file_csv;
  if (display && !std::strcmp(display, "csv")) display_csv = std::make_unique<csv>();
  if (csv_out) file_csv = std::make_unique<csv>();
  // Google Benchmark says why when no case ran: a filter that does not
  // compile or matches nothing.
  bool ran = benchmark::RunSpecifiedBenchmarks(
                 shown ? shown.get() : display_csv.get(), file_csv.get()) > 0;
  benchmark::Shutdown();

  std::cout.flush();
  bool written = std::cout && std::fflush(stdout) == 0 && !std::ferror(stdout);
  int write_error = written ? 0 : why_not_written(errno);
  if (out && ran && written) {
    std::string text = out->text();
    if (text.empty() || (json && !whole(text))) {
      rlimit size;
      bool limited = getrlimit(RLIMIT_FSIZE, &size) == 0 && size.rlim_cur != RLIM_INFINITY;
      fail("the run's results are incomplete" +
           (limited ? " (the file size limit, ulimit -f, is " + std::to_string(size.rlim_cur) + " bytes)"
                    : std::string()) +
           "; none written");
    }
    std::string error = out->commit();
    if (!error.empty()) fail(error);
  }
  if (!written) fail(std::string("cannot write standard output: ") + std::strerror(write_error));
  return ran ? 0 : 1;
}
