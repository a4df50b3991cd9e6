// What a person reads in a terminal: one line per case and per aggregate,
// the figures that answer "which lock?" in units a reader knows, and, on a
// terminal's standard error, how far the run has got. Programs read the
// JSON or CSV, which Google Benchmark's own reporters write unchanged.
#pragma once
#include <benchmark/benchmark.h>

#include <chrono>
#include <set>
#include <string>
#include <type_traits>

// Whether a run failed, and why. Google Benchmark 1.8 renamed the fields
// (error_occurred and error_message became skipped and skip_message).
template <class R, class = void>
struct renamed : std::true_type {};
template <class R>
struct renamed<R, std::void_t<decltype(R::error_occurred)>> : std::false_type {};
template <class R>
bool failed(const R& r) {
  if constexpr (renamed<R>::value)
    return static_cast<int>(r.skipped) != 0;
  else
    return r.error_occurred;
}
template <class R>
const std::string& why(const R& r) {
  if constexpr (renamed<R>::value)
    return r.skip_message;
  else
    return r.error_message;
}

class console : public benchmark::ConsoleReporter {
 public:
  // cases, repetitions: how many runs this run makes, for the progress
  // line; names: the width of the longest name shown; reads: whether some
  // case has reads, which adds a column for the writers' wait; without
  // table, it shows only the progress.
  console(long cases, long repetitions, std::size_t names, bool reads, bool table = true);
  bool ReportContext(const Context& context) override;
  void ReportRuns(const std::vector<Run>& reports) override;
  void Finalize() override;
  // One more run done: the progress line of the console that shows it.
  static void ran();

 private:
  void row(const Run& r);
  void progress();
  void clear();

  long runs_, repetitions_, done_ = 0;
  std::size_t width_;
  bool reads_, table_;
  bool shows_progress_;  // standard error is a terminal
  bool dumb_;            // one that takes no control sequences
  bool shown_ = false;   // a progress line is on it now
  std::size_t shown_length_ = 0;  // its characters
  bool handlers_ = false;  // signals clear the line
  std::chrono::steady_clock::time_point start_;
  std::set<std::string> failed_;  // the cases whose failure was told
};

// The terminal at FD as the progress line needs it: its width, from the
// kernel, else COLUMNS, else 80; and whether it is dumb (TERM unset, empty
// or dumb), where ESC[K would show as text.
struct terminal {
  std::size_t columns;
  bool dumb;
};
terminal terminal_of(int fd);
// The progress line, at most COLUMNS - 1 characters, so that it never
// wraps and a carriage return takes the cursor back to its start: the
// whole of it where it fits, else shorter. LEFT is the time left, in words,
// or empty when not known yet; REPEATED counts runs, not cases.
std::string progress_line(long done, long runs, bool repeated, const std::string& left,
                          std::size_t columns);
// What takes away a line of LENGTH characters, the cursor left at its
// start: on a dumb terminal spaces over it, else ESC[K.
std::string erase_line(bool dumb, std::size_t length);

// "21.7 ns", "1.36 us" (with the micro sign), "12 ms", "3.05 s".
std::string human_time(double ns);
// A time to wait, in seconds: "40 s", "1 min 40 s", "2 h 5 min".
std::string clock_time(double s);

// Google Benchmark's CSV reporter takes its columns from the first report
// it is given and aborts at a later run with a figure not among them: a
// case with reads after one without. This one hands it every run at the
// end, so that the columns are all the figures of the run, blank where a
// case has none. (Google Benchmark marks its CSV reporter as to be
// removed; while --benchmark_format=csv exists, this mends it.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
class csv : public benchmark::CSVReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override {
    runs_.insert(runs_.end(), reports.begin(), reports.end());
  }
  void Finalize() override {
    if (!runs_.empty()) benchmark::CSVReporter::ReportRuns(runs_);
  }

 private:
  std::vector<Run> runs_;
};
#pragma GCC diagnostic pop
