#include "console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>

#include "names.h"

namespace {

console* showing = nullptr;  // the console whose progress line runs count

// How the signal handler takes the progress line away, set as each line
// is shown: -1 by ESC[K, else by that many spaces between carriage returns
// (a dumb terminal; 0 when no line is shown).
volatile std::sig_atomic_t erase_spaces = -1;

// A run interrupted while the progress line is shown takes it away first,
// so that the shell's prompt starts on a line of its own; then it ends as
// the signal would have ended it. Only write(2), on constant text.
void clear_and_end(int sig) {
  auto put = [](const char* s, std::size_t n) {
    ssize_t ignored = write(2, s, n);
    (void)ignored;
  };
  static const char clear[] = "\r\033[K";
  static const char spaces[] = "                                                                ";
  long n = erase_spaces;
  if (n < 0) {
    put(clear, sizeof clear - 1);
  } else if (n > 0) {
    put("\r", 1);
    for (; n > 0; n -= long(sizeof spaces - 1))
      put(spaces, std::size_t(std::min(n, long(sizeof spaces - 1))));
    put("\r", 1);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}
void clear_on_signals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction was;
    if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_DFL) signal(sig, clear_and_end);
  }
}

// The width of a column and its header; each is right-aligned after a
// space.
struct column {
  const char* header;
  int width;
};
constexpr column threads_col{"threads", 7}, time_col{"time", 9}, handoffs_col{"handoffs", 8},
    fairness_col{"fairness", 8}, starved_col{"starved", 7}, wait_col{"p99 wait", 9},
    write_col{"p99 write", 9};

// Characters as a terminal shows them: UTF-8 continuation bytes take no room.
std::size_t shown(const std::string& s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

std::string pad(const std::string& s, std::size_t width, bool left = false) {
  std::string space(width > shown(s) ? width - shown(s) : 0, ' ');
  return left ? s + space : space + s;
}

std::string format(const char* f, double v) {
  char s[32];
  std::snprintf(s, sizeof s, f, v);
  return s;
}

// The name a person reads: the family and its arguments, without what the
// columns show (the thread count) or what every case shares (real time,
// classic's fixed iteration count); aggregates keep their suffix.
std::string name_of(const benchmark::BenchmarkReporter::Run& r) {
  std::string name = r.run_name.function_name;
  if (!r.run_name.args.empty()) name += "/" + r.run_name.args;
  if (r.run_type == r.RT_Aggregate) name += "_" + r.aggregate_name;
  return name;
}

// A case of processes has one thread, and its count in its name.
bool processes(const benchmark::BenchmarkReporter::Run& r) {
  return r.run_name.args.rfind("processes:", 0) == 0;
}

// The case's name with its count of threads or processes.
std::string shown(const benchmark::BenchmarkReporter::Run& r) {
  return name_of(r) + (processes(r) ? "" : "/threads:" + std::to_string(r.threads));
}

}  // namespace

std::string clock_time(double s) {
  long t = std::lround(s);
  if (t < 60) return std::to_string(t) + " s";
  if (t < 3600) return std::to_string(t / 60) + " min " + std::to_string(t % 60) + " s";
  return std::to_string(t / 3600) + " h " + std::to_string(t / 60 % 60) + " min";
}

std::string human_time(double ns) {
  static const char* units[] = {"ns", "\u00b5s", "ms", "s"};
  int u = 0;
  for (; u < 3 && std::fabs(ns) >= 999.5; ++u) ns /= 1000;
  double a = std::fabs(ns);
  const char* f = a < 9.995 ? "%.2f " : a < 99.95 ? "%.1f " : "%.0f ";
  return format(f, ns) + units[u];
}

terminal terminal_of(int fd) {
  terminal t{80, true};
  winsize w{};
  const char* columns = std::getenv("COLUMNS");
  char* end = nullptr;
  long n = columns ? std::strtol(columns, &end, 10) : 0;
  if (ioctl(fd, TIOCGWINSZ, &w) == 0 && w.ws_col > 0)
    t.columns = w.ws_col;
  else if (columns && *columns && !*end && n > 0 && n <= 100000)
    t.columns = std::size_t(n);
  const char* term = std::getenv("TERM");
  t.dumb = !term || !*term || !std::strcmp(term, "dumb");
  return t;
}

std::string progress_line(long done, long runs, bool repeated, const std::string& left,
                          std::size_t columns) {
  std::string count = std::to_string(done) + " of " + std::to_string(runs) +
                      (repeated ? " runs" : " cases") + " done";
  std::size_t room = columns > 0 ? columns - 1 : 0;
  for (const std::string& line :
       {"lock_bench: " + count + (left.empty() ? "" : ", about " + left + " left"),
        "lock_bench: " + count, count})
    if (line.size() <= room) return line;
  return (std::to_string(done) + "/" + std::to_string(runs)).substr(0, room);
}

std::string erase_line(bool dumb, std::size_t length) {
  if (!dumb) return "\r\033[K";
  return length ? "\r" + std::string(length, ' ') + "\r" : "";
}

console::console(long cases, long repetitions, std::size_t names, bool reads, bool table)
    : benchmark::ConsoleReporter(OO_None),
      runs_(cases * repetitions),
      repetitions_(repetitions),
      width_(std::max<std::size_t>(names, 4)),
      reads_(reads),
      table_(table),
      shows_progress_(isatty(2)),
      dumb_(terminal_of(2).dumb) {}

bool console::ReportContext(const Context& context) {
  start_ = std::chrono::steady_clock::now();
  showing = this;
  if (!table_) return progress(), true;
  benchmark::ConsoleReporter::ReportContext(context);
  std::string header = pad("case", width_, true);
  for (const column& c : {threads_col, time_col, handoffs_col, fairness_col, starved_col, wait_col})
    header += " " + pad(c.header, c.width);
  if (reads_) header += " " + pad(write_col.header, write_col.width);
  GetOutputStream() << std::string(header.size(), '-') << "\n"
                    << header << "\n"
                    << std::string(header.size(), '-') << "\n";
  GetOutputStream().flush();
  progress();
  return true;
}

void console::row(const Run& r) {
  std::string line = pad(name_of(r), width_, true) + " " +
                     pad(processes(r) ? "" : std::to_string(r.threads), threads_col.width) + " ";
  if (failed(r)) {
    // As much of the reason as fits a line of 120.
    std::string text = "skipped: " + why(r);
    std::size_t room = line.size() < 110 ? 120 - line.size() : 10;
    if (text.size() > room) text = text.substr(0, room - 3) + "...";
    GetOutputStream() << line << text << "\n";
    return;
  }
  double t = r.GetAdjustedRealTime();
  bool aggregate = r.run_type == r.RT_Aggregate;
  if (aggregate && r.aggregate_unit == benchmark::kPercentage) {
    // The coefficient of variation, a fraction, unscaled.
    line += pad(format("%.1f%%", 100 * r.real_accumulated_time), time_col.width);
  } else {
    static const std::map<benchmark::TimeUnit, double> ns = {{benchmark::kNanosecond, 1},
                                                             {benchmark::kMicrosecond, 1e3},
                                                             {benchmark::kMillisecond, 1e6},
                                                             {benchmark::kSecond, 1e9}};
    line += pad(human_time(t * ns.at(r.time_unit)), time_col.width);
  }
  // A spread of the figures (a deviation of a share of threads starved,
  // say) tells a reader nothing the time's spread does not: only the mean
  // and median have them.
  if (!aggregate || r.aggregate_name == "mean" || r.aggregate_name == "median") {
    auto figure = [&](const char* name, const column& c, auto text) {
      auto it = r.counters.find(name);
      line += " " + pad(it == r.counters.end() ? "" : text(double(it->second)), c.width);
    };
    figure(counter::handoffs, handoffs_col, [](double v) { return format("%.1f%%", 100 * v); });
    figure(counter::fairness, fairness_col, [](double v) { return format("%.3f", v); });
    figure(counter::starved, starved_col, [](double v) { return format("%.3g", v); });
    figure(counter::wait_p99, wait_col, human_time);
    if (reads_) figure(counter::write_wait_p99, write_col, human_time);
    auto recovery = r.counters.find(counter::recovery_ns);
    if (recovery != r.counters.end()) line += "  recovered in " + human_time(recovery->second);
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  GetOutputStream() << line << "\n";
}

void console::ReportRuns(const std::vector<Run>& reports) {
  clear();
  for (const Run& r : reports) {
    if (table_) {
      row(r);
    } else if (failed(r) && failed_.insert(shown(r)).second) {
      // Without the table, each case that fails says why once.
      std::fprintf(stderr, "lock_bench: %s: %s\n", shown(r).c_str(), why(r).c_str());
    }
  }
  GetOutputStream().flush();
  progress();
}

void console::Finalize() {
  clear();
  showing = nullptr;
}

void console::ran() {
  if (!showing) return;
  ++showing->done_;
  showing->clear();
  showing->progress();
}

// "lock_bench: 37 of 193 cases done, about 1 min 40 s left" (or runs, of
// a case repeated), kept on one line of the terminal, which every row of
// the table first clears; shorter where the terminal is narrower, its
// width read each time, as a window may change it.
void console::progress() {
  if (!shows_progress_ || done_ >= runs_) return;
  clear();
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start_;
  std::string left = done_ ? clock_time(took.count() / done_ * (runs_ - done_)) : "";
  std::string line = progress_line(done_, runs_, repetitions_ > 1, left, terminal_of(2).columns);
  if (line.empty()) return;
  // Before the line: a signal in between blanks what is not there yet.
  erase_spaces = dumb_ ? std::sig_atomic_t(line.size()) : -1;
  std::fprintf(stderr, "\r%s%s", line.c_str(), dumb_ ? "" : "\033[K");
  std::fflush(stderr);
  shown_length_ = line.size();
  if (!shown_ && !handlers_) {
    clear_on_signals();
    handlers_ = true;
  }
  shown_ = true;
}

void console::clear() {
  if (!shown_) return;
  std::fputs(erase_line(dumb_, shown_length_).c_str(), stderr);
  std::fflush(stderr);
  shown_ = false;
  if (dumb_) erase_spaces = 0;
}
