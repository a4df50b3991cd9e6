// lock_bench's console: the progress line that fits the terminal it is on,
// how it is taken away, and the name and count each kind of case shows.
#include "console.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

// Marks R failed, as Google Benchmark before 1.8 and after it does.
template <class R>
void cut(R& r) {
  if constexpr (renamed<R>::value) {
    r.skipped = decltype(r.skipped)(2);  // SkippedWithError
    r.skip_message = "cut";
  } else {
    r.error_occurred = true;
    r.error_message = "cut";
  }
}

// The whole line where it fits in one column fewer than the terminal has,
// then without the time left, then without the program's name, then the
// bare count, cut; nothing where not one character fits.
TEST(console, shortens_the_progress_line_to_the_terminal) {
  const std::string whole = "lock_bench: 37 of 193 cases done, about 1 min 40 s left";
  struct row {
    std::size_t columns;
    long done, runs;
    bool repeated;
    const char* left;
    std::string line;
  } rows[] = {
      {120, 37, 193, false, "1 min 40 s", whole},
      {whole.size() + 1, 37, 193, false, "1 min 40 s", whole},
      {whole.size(), 37, 193, false, "1 min 40 s", "lock_bench: 37 of 193 cases done"},
      {33, 37, 193, false, "1 min 40 s", "lock_bench: 37 of 193 cases done"},
      {32, 37, 193, false, "1 min 40 s", "37 of 193 cases done"},
      {21, 37, 193, false, "1 min 40 s", "37 of 193 cases done"},
      {20, 37, 193, false, "1 min 40 s", "37/193"},
      {4, 37, 193, false, "1 min 40 s", "37/"},
      {1, 37, 193, false, "1 min 40 s", ""},
      {0, 37, 193, false, "1 min 40 s", ""},
      {80, 0, 6, true, "", "lock_bench: 0 of 6 runs done"},
      {80, 5, 6, true, "2 s", "lock_bench: 5 of 6 runs done, about 2 s left"},
  };
  for (const row& r : rows) {
    std::string line = progress_line(r.done, r.runs, r.repeated, r.left, r.columns);
    EXPECT_EQ(line, r.line) << r.columns << " columns";
    EXPECT_LT(line.size(), std::max<std::size_t>(r.columns, 1)) << r.columns << " columns";
  }
}

// ESC[K where the terminal knows it; on a dumb one, spaces over the line
// between carriage returns, nothing where no line is shown.
TEST(console, erases_the_progress_line_as_the_terminal_can) {
  struct row {
    bool dumb;
    std::size_t length;
    std::string erase;
  } rows[] = {
      {false, 30, "\r\033[K"}, {false, 0, "\r\033[K"}, {true, 5, "\r     \r"}, {true, 0, ""}};
  for (const row& r : rows) EXPECT_EQ(erase_line(r.dumb, r.length), r.erase) << r.dumb << " " << r.length;
}

// The width the kernel gives a terminal, else COLUMNS where it is a count,
// else 80; dumb where TERM is unset, empty or dumb.
TEST(console, reads_the_terminals_width_and_kind) {
  struct row {
    unsigned short pty_columns;  // 0: no size set; 1: a pipe, no terminal
    const char *columns, *term;  // nullptr: unset
    std::size_t width;
    bool dumb;
  } rows[] = {
      {50, "100", "xterm", 50, false},
      {0, "100", "dumb", 100, true},
      {0, nullptr, "xterm-256color", 80, false},
      {1, "132", "xterm", 132, false},
      {1, nullptr, nullptr, 80, true},
      {1, "abc", "", 80, true},
      {1, "0", "dumb", 80, true},
      {1, "-5", "vt100", 80, false},
      {1, "72x", "vt100", 80, false},
      {1, "", "vt100", 80, false},
      {1, "99999999999999999999", "vt100", 80, false},
  };
  for (const row& r : rows) {
    int fds[2];
    if (r.pty_columns == 1) {
      ASSERT_EQ(pipe(fds), 0);
    } else {
      winsize w{24, r.pty_columns, 0, 0};
      if (openpty(&fds[0], &fds[1], nullptr, nullptr, &w) != 0) {
        // A chroot without /dev/pts has none: the pipes' rows still run.
        std::fprintf(stderr, "no pseudo-terminal here (/dev/pts not mounted): row left out\n");
        continue;
      }
    }
    r.columns ? setenv("COLUMNS", r.columns, 1) : unsetenv("COLUMNS");
    r.term ? setenv("TERM", r.term, 1) : unsetenv("TERM");
    terminal t = terminal_of(fds[1]);
    EXPECT_EQ(t.columns, r.width) << r.pty_columns << " " << (r.columns ? r.columns : "unset");
    EXPECT_EQ(t.dumb, r.dumb) << (r.term ? r.term : "unset");
    close(fds[0]);
    close(fds[1]);
  }
}

// The table shows a case by its name without the time type, and its
// threads in their column, whether Google Benchmark timed it (real_time)
// or the case did, in a process of its own (manual_time, a kind loaded from
// a shared object); a case of processes has its count in its name and none
// in the threads column. Without the table, a case that fails is named
// with its count.
TEST(console, names_each_case_and_its_threads) {
  struct row {
    const char *function, *args, *time_type, *threads;
    int count;
    const char* aggregate;
    std::string name, column, failed;
  } rows[] = {
      {"spin/unpinned/hold:0/think:0", "", "real_time", "threads:4", 4, nullptr,
       "spin/unpinned/hold:0/think:0", "4", "spin/unpinned/hold:0/think:0/threads:4"},
      {"ttas/unpinned/hold:0/think:0", "", "manual_time", "threads:4", 4, nullptr,
       "ttas/unpinned/hold:0/think:0", "4", "ttas/unpinned/hold:0/think:0/threads:4"},
      {"ttas/spread/read:50/hold:1us/think:100ns", "", "manual_time", "threads:16", 16, "median",
       "ttas/spread/read:50/hold:1us/think:100ns_median", "16",
       "ttas/spread/read:50/hold:1us/think:100ns_median/threads:16"},
      {"mutex/unpinned/hold:0/think:0", "processes:2", "manual_time", "", 1, nullptr,
       "mutex/unpinned/hold:0/think:0/processes:2", "", "mutex/unpinned/hold:0/think:0/processes:2"},
  };
  const std::size_t width = 52;
  for (const row& r : rows) {
    benchmark::BenchmarkReporter::Run run;
    run.run_name.function_name = r.function;
    run.run_name.args = r.args;
    run.run_name.time_type = r.time_type;
    run.run_name.threads = r.threads;
    run.threads = r.count;
    run.iterations = 1000;
    run.real_accumulated_time = 1e-5;
    run.time_unit = benchmark::kNanosecond;
    if (r.aggregate) {
      run.run_type = benchmark::BenchmarkReporter::Run::RT_Aggregate;
      run.aggregate_name = r.aggregate;
    }
    // No runs to count: no progress line, whatever standard error is.
    console table(0, 1, width, false);
    std::ostringstream out;
    table.SetOutputStream(&out);
    table.ReportRuns({run});
    std::string line = out.str();
    ASSERT_GT(line.size(), width + 8) << line;
    std::string name = line.substr(0, width), column = line.substr(width + 1, 7);
    name.erase(name.find_last_not_of(' ') + 1);
    column.erase(0, column.find_first_not_of(' ') == std::string::npos ? column.size()
                                                                      : column.find_first_not_of(' '));
    EXPECT_EQ(name, r.name) << line;
    EXPECT_EQ(column, r.column) << line;
    EXPECT_NE(line.find("10.0 ns"), std::string::npos) << line;

    // Without the table a failure is told on standard error.
    cut(run);
    std::string file = testing::TempDir() + "console_test.err";
    std::fflush(stderr);
    int saved = dup(2);
    std::FILE* err = std::fopen(file.c_str(), "w");
    ASSERT_TRUE(err);
    dup2(fileno(err), 2);
    console progress(0, 1, width, false, false);
    progress.ReportRuns({run});
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::fclose(err);
    std::ifstream in(file);
    std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(file.c_str());
    EXPECT_EQ(said, "lock_bench: " + r.failed + ": cut\n");
  }
}

}  // namespace
