// Runs a program to its end and keeps what it wrote.
#pragma once
#include <string>
#include <vector>

struct run_result {
  int pid;
  int status;  // exit status, or 128 + signal number
  std::string out, err;
};

// env entries are "NAME=value" added to the child's environment; out_path,
// when given, replaces the stdout pipe (for example "/dev/full"), and an
// empty out_path closes standard output. With terminal, standard error is
// a pseudo-terminal instead of a pipe; where none can be had (a chroot
// without /dev/pts), nothing runs and the status is no_terminal.
constexpr int no_terminal = -2;
run_result run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               const char* out_path = nullptr, bool terminal = false);

std::vector<std::string> lines(const std::string& text);
