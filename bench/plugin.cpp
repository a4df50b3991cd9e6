#include "plugin.h"

#include <dlfcn.h>
#include <lock_bench/plugin.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "processes.h"
#include "sweep.h"

plugin plugins[most_plugins];
int loaded_plugins = 0;

namespace {

bool good_name(const char* n) {
  std::size_t len = strnlen(n, 33);
  if (len == 0 || len > 32 || n[0] < 'a' || n[0] > 'z') return false;
  return std::all_of(n, n + len, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// What the check's child process finds.
enum : int { passed = 0, no_lock = 2, two_in = 3, lost = 4, beside = 5 };

// The check itself, in the child. First, whatever the scheduler does: one
// thread holds the lock while another asks for it, to write, or to read
// where the lock shares; the second must not get in before the first
// leaves. (On a busy machine the threads of the loop below may never run
// at once.)
int held(const plugin& p, void* l, bool read) {
  std::atomic<bool> holding{false}, asking{false}, entered{false};
  std::thread other([&] {
    void* self = p.attach ? p.attach(l) : nullptr;
    while (!holding) std::this_thread::yield();
    asking = true;
    read ? p.lock_shared(l, self) : p.lock(l, self);
    entered = true;
    read ? p.unlock_shared(l, self) : p.unlock(l, self);
    if (p.detach) p.detach(l, self);
  });
  void* self = p.attach ? p.attach(l) : nullptr;
  p.lock(l, self);
  holding = true;
  while (!asking) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int found = entered ? (read ? beside : two_in) : passed;
  p.unlock(l, self);
  other.join();
  if (p.detach) p.detach(l, self);
  return found;
}

// Then `threads` threads take the lock `rounds` times each; one
// acquisition in four is a read where the lock shares. A writer counts
// itself in and finds nobody else inside, and adds one to a count with a
// separate load and store, which only the lock keeps from losing updates;
// a reader finds no writer inside. Each stays a little while, so that a
// lock that lets two in is caught at it.
int exclusion(const plugin& p) {
  constexpr int threads = 4;
  constexpr long rounds = 100000;
  void* l = p.make();
  if (!l) return no_lock;
  for (bool read : {false, true}) {
    int found = read && !p.lock_shared ? passed : held(p, l, read);
    if (found != passed) {
      p.destroy(l);
      return found;
    }
  }
  std::atomic<int> writers{0}, readers{0}, failed{passed};
  std::atomic<long> count{0};
  std::atomic<long> writes{0};
  auto body = [&](int me) {
    void* self = p.attach ? p.attach(l) : nullptr;
    std::uint64_t x = std::uint64_t(me);
    long mine = 0;
    for (long k = 0; k < rounds && failed == passed; ++k) {
      if (p.lock_shared && k % 4 == 0) {
        p.lock_shared(l, self);
        readers.fetch_add(1);
        if (writers.load() != 0) failed = beside;
        x = work(20, x);
        readers.fetch_sub(1);
        p.unlock_shared(l, self);
        continue;
      }
      p.lock(l, self);
      if (writers.fetch_add(1) != 0)
        failed = two_in;
      else if (readers.load() != 0)
        failed = beside;
      count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      x = work(20, x);
      writers.fetch_sub(1);
      p.unlock(l, self);
      ++mine;
    }
    writes += mine;
    if (p.detach) p.detach(l, self);
    asm volatile("" ::"r"(x));
  };
  std::vector<std::thread> team;
  for (int t = 0; t < threads; ++t) team.emplace_back(body, t);
  for (std::thread& t : team) t.join();
  p.destroy(l);
  if (failed == passed && count != writes) failed = lost;
  return failed;
}

}  // namespace

std::string load(const std::string& path, const std::vector<std::string>& taken) {
  if (loaded_plugins == most_plugins)
    return "at most " + std::to_string(most_plugins) + " --lock objects in one run";
  // A name without a slash is a file here, as for any other file argument,
  // not one for the loader to look for in the library path.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  // Loading opens the file and reads it: a FIFO would wait for a writer.
  struct stat st;
  if (stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return "cannot load " + file + ": not a regular file";
  // What the object's constructors print goes to standard error, not into
  // the results on standard output.
  std::fflush(stdout);
  int out = dup(1);
  dup2(2, 1);
  void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::fflush(stdout);
  if (out >= 0) {
    dup2(out, 1);
    close(out);
  }
  if (!h) return std::string("cannot load ") + dlerror();
  auto find = [&](const char* symbol) { return dlsym(h, symbol); };
  const std::string bad = path + " is not a lock for lock_bench: ";
  for (const char* must : {"lock_bench_abi", "lock_bench_name", "lock_bench_make",
                           "lock_bench_destroy", "lock_bench_lock", "lock_bench_unlock"})
    if (!find(must)) return bad + "it has no " + must + " (see lock_bench/plugin.h)";
  int abi = *static_cast<const int*>(find("lock_bench_abi"));
  if (abi != LOCK_BENCH_ABI)
    return path + " is built for version " + std::to_string(abi) +
           " of lock_bench's plug-in interface; this lock_bench takes version " +
           std::to_string(LOCK_BENCH_ABI);
  for (auto [one, other] : {std::pair{"lock_bench_attach", "lock_bench_detach"},
                            {"lock_bench_lock_shared", "lock_bench_unlock_shared"}}) {
    if (!find(one) != !find(other))
      return bad + "it has " + (find(one) ? one : other) + " without " + (find(one) ? other : one);
  }
  const char* name = static_cast<const char*>(find("lock_bench_name"));
  if (!good_name(name)) {
    std::string shown;
    for (const char* c = name; c < name + strnlen(name, 40); ++c)
      shown += std::isprint(static_cast<unsigned char>(*c)) ? *c : '?';
    return path + " names its kind '" + shown +
           "': a kind's name is lower-case letters, digits and '_', starting with a letter, "
           "at most 32 characters";
  }
  if (std::find(taken.begin(), taken.end(), name) != taken.end())
    return path + " names its kind '" + name + "', the name of a kind already in lock_bench";
  plugin& p = plugins[loaded_plugins++];
  p.path = path;
  p.name = name;
  p.make = reinterpret_cast<void* (*)()>(find("lock_bench_make"));
  p.destroy = reinterpret_cast<void (*)(void*)>(find("lock_bench_destroy"));
  p.attach = reinterpret_cast<void* (*)(void*)>(find("lock_bench_attach"));
  p.detach = reinterpret_cast<void (*)(void*, void*)>(find("lock_bench_detach"));
  p.lock = reinterpret_cast<void (*)(void*, void*)>(find("lock_bench_lock"));
  p.unlock = reinterpret_cast<void (*)(void*, void*)>(find("lock_bench_unlock"));
  p.lock_shared = reinterpret_cast<void (*)(void*, void*)>(find("lock_bench_lock_shared"));
  p.unlock_shared = reinterpret_cast<void (*)(void*, void*)>(find("lock_bench_unlock_shared"));
  return "";
}

std::string check(const plugin& p) {
  // The check must end in this; a lock that makes four threads wait for
  // longer is no lock anyone would run.
  constexpr int limit_s = 10;
  // The child writes its finding as one byte: an object that exits by
  // itself cannot pass for a finding.
  crew c = run_processes(
      1,
      [&](int, int fd) {
        char finding = char(exclusion(p));
        _exit(write(fd, &finding, 1) == 1 ? 0 : 1);
      },
      std::chrono::seconds(limit_s));
  if (c.error) return std::string("cannot start the check of ") + p.path + ": " + strerror(c.error);
  const std::string what = p.path + " (" + p.name + ")";
  if (c.late)
    return what + " hung in the check of mutual exclusion: not done in " + std::to_string(limit_s) +
           " s; nothing timed";
  int status = c.status[0];
  bool told = c.sent[0].size() == 1;
  char finding = told ? c.sent[0][0] : -1;
  if (WIFSIGNALED(status))
    return what + " crashed in the check of mutual exclusion (" + strsignal(WTERMSIG(status)) +
           "); nothing timed";
  if (!told || WEXITSTATUS(status) != 0)
    return what + " ended the check of mutual exclusion itself, with status " +
           std::to_string(WEXITSTATUS(status)) + "; nothing timed";
  switch (finding) {
    case passed:
      return "";
    case no_lock:
      return what + " made no lock: lock_bench_make returned NULL";
    case two_in:
      return what + " is not a lock: it let two threads hold it at once; nothing timed";
    case lost:
      return what + " is not a lock: writes made under it were lost; nothing timed";
    case beside:
      return what + " is not a lock: it let a reader in beside a writer; nothing timed";
    default:
      return what + " failed the check of mutual exclusion; nothing timed";
  }
}
