#include "run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

run_result run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const char* out_path, bool terminal) {
  int out[2], err[2];
  if (terminal && openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0)
    return {0, no_terminal, {}, {}};
  if (pipe(out) != 0 || (!terminal && pipe(err) != 0)) std::abort();
  pid_t pid = fork();
  if (pid == 0) {
    if (out_path && !*out_path)
      close(1);
    else
      dup2(out_path ? open(out_path, O_WRONLY) : out[1], 1);
    dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  run_result r{pid, -1, {}, {}};
  // Read both pipes together: a child blocked on a full stderr pipe would
  // never close its stdout.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  for (int open_fds = 2; open_fds > 0;) {
    poll(fds, 2, -1);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buf[4096];
      // A terminal's reader gets EIO, not the end, once its writers are gone.
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, n);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  int status;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}
