#include "processes.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

crew run_processes(int n, const std::function<void(int, int)>& body,
                   std::chrono::nanoseconds limit, int victim) {
  crew c;
  c.sent.resize(n);
  c.status.assign(n, 0);
  std::vector<pid_t> pids;
  std::vector<pollfd> pipes;
  std::fflush(nullptr);  // nothing buffered is written twice
  // A pipe each: as many open files as the hard limit allows.
  rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < rlim_t(n) + 64) {
    files.rlim_cur = std::min(files.rlim_max, rlim_t(n) + 64);
    setrlimit(RLIMIT_NOFILE, &files);
  }
  pid_t parent = getpid();
  auto kill_all = [&] {
    for (std::size_t i = 0; i < pids.size(); ++i)
      if (pipes[i].fd >= 0) kill(pids[i], SIGKILL);
  };
  for (int me = 0; me < n; ++me) {
    int fds[2];
    pid_t pid = -1;
    if (pipe2(fds, O_CLOEXEC) == 0 && (pid = fork()) < 0) {
      int e = errno;
      close(fds[0]);
      close(fds[1]);
      errno = e;
    }
    if (pid == 0) {
      // It ends with lock_bench, however lock_bench ends.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
      // A crash here is told in a line: it leaves no core file behind.
      rlimit none{0, 0};
      setrlimit(RLIMIT_CORE, &none);
      prctl(PR_SET_DUMPABLE, 0);
      for (const pollfd& p : pipes) close(p.fd);
      close(fds[0]);
      body(me, fds[1]);
      _exit(0);
    }
    if (pid < 0) {
      c.error = errno;
      kill_all();
      n = me;
      break;
    }
    close(fds[1]);
    pids.push_back(pid);
    pipes.push_back({fds[0], POLLIN, 0});
  }
  c.started = n;
  auto until = std::chrono::steady_clock::now() + limit;
  int open = n;
  while (open > 0 && !c.error) {
    int wait_ms = -1;
    if (limit.count() > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() < 0) {
        c.late = true;
        kill_all();
        break;
      }
      wait_ms = int(left.count()) + 1;
    }
    // poll fails only without memory: the processes are stopped as at the limit.
    if (poll(pipes.data(), pipes.size(), wait_ms) < 0 && errno != EINTR) {
      c.late = true;
      kill_all();
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (pipes[i].fd < 0 || !pipes[i].revents) continue;
      char buffer[1 << 16];
      ssize_t got = read(pipes[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        c.sent[i].append(buffer, got);
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      close(pipes[i].fd);
      pipes[i].fd = -1;
      --open;
      while (waitpid(pids[i], &c.status[i], 0) < 0 && errno == EINTR) {
      }
      if (i != victim && c.status[i] != 0 && c.lost < 0) {
        c.lost = i;
        kill_all();
      }
    }
  }
  // Every process has ended or been killed: reap the rest.
  for (int i = 0; i < n; ++i) {
    if (pipes[i].fd < 0) continue;
    close(pipes[i].fd);
    while (waitpid(pids[i], &c.status[i], 0) < 0 && errno == EINTR) {
    }
  }
  return c;
}

bool send(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += std::size_t(put);
  }
  return true;
}

std::string ended(int status) {
  if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

void meet(std::atomic<int>& count, int n, bool wait) {
  static_assert(sizeof(std::atomic<int>) == sizeof(int));
  int* word = reinterpret_cast<int*>(&count);
  int seen = count.fetch_add(1) + 1;
  if (seen == n) {
    syscall(SYS_futex, word, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
    return;
  }
  while (wait && seen < n) {
    syscall(SYS_futex, word, FUTEX_WAIT, seen, nullptr, nullptr, 0);
    seen = count.load();
  }
}

void touch(void* at, std::size_t bytes) {
  std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
  auto* bytes_at = static_cast<unsigned char*>(at);
  for (std::size_t i = 0; i < bytes; i += page) __atomic_fetch_add(bytes_at + i, 0, __ATOMIC_RELAXED);
}

namespace {

struct fixed {
  std::uint64_t start, stop;
  long acquisitions, handoffs, writes;
  int write_waiting, readers_max, broke;
  std::size_t waits, read_waits, write_waits;
};

}  // namespace

std::string pack(const record& r) {
  fixed f{r.start,         r.stop,          r.acquisitions, r.handoffs,        r.writes,
          r.write_waiting, r.readers_max,   r.broke,        r.waits.size(),    r.read_waits.size(),
          r.write_waits.size()};
  std::string bytes(reinterpret_cast<const char*>(&f), sizeof f);
  for (const auto* v : {&r.waits, &r.read_waits, &r.write_waits})
    bytes.append(reinterpret_cast<const char*>(v->data()), v->size() * sizeof(std::uint64_t));
  return bytes;
}

bool unpack(const std::string& bytes, record& r) {
  fixed f;
  if (bytes.size() < sizeof f) return false;
  std::memcpy(&f, bytes.data(), sizeof f);
  if (bytes.size() != sizeof f + (f.waits + f.read_waits + f.write_waits) * sizeof(std::uint64_t))
    return false;
  r.start = f.start;
  r.stop = f.stop;
  r.acquisitions = f.acquisitions;
  r.handoffs = f.handoffs;
  r.writes = f.writes;
  r.write_waiting = f.write_waiting;
  r.readers_max = f.readers_max;
  r.broke = f.broke;
  const char* at = bytes.data() + sizeof f;
  for (auto [v, count] : {std::pair{&r.waits, f.waits}, {&r.read_waits, f.read_waits},
                          {&r.write_waits, f.write_waits}}) {
    v->resize(count);
    std::memcpy(v->data(), at, count * sizeof(std::uint64_t));
    at += count * sizeof(std::uint64_t);
  }
  return true;
}
