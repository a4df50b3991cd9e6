// Lock kinds loaded at run time from shared objects (lock_bench/plugin.h):
// found, checked for mutual exclusion in a child process, then run as any
// built-in kind under their own names.
#pragma once
#include <cerrno>
#include <string>
#include <vector>

// What lock_bench found in one object.
struct plugin {
  std::string path, name;
  void* (*make)();
  void (*destroy)(void*);
  void* (*attach)(void*);  // attach and detach may both be missing
  void (*detach)(void*, void*);
  void (*lock)(void*, void*);
  void (*unlock)(void*, void*);
  void (*lock_shared)(void*, void*);  // both, or neither
  void (*unlock_shared)(void*, void*);
};

// The objects of a run, in the order of their --lock flags.
constexpr int most_plugins = 4;
extern plugin plugins[most_plugins];
extern int loaded_plugins;

// Loads the object at PATH into the next free slot, given the names taken
// already: "" or the line that says why it cannot be a lock kind. Its ELF
// headers are read first, and it is loaded in a child process before
// lock_bench loads it itself.
std::string load(const std::string& path, const std::vector<std::string>& taken);

// Runs plugin p's lock in a child process, several threads a few hundred
// thousand times, then a while at each of `counts` (the thread counts of
// the run) above four, with a checker under it: "" or the line that says
// how it failed, crashed or hung.
std::string check(const plugin& p, const std::vector<int>& counts);

// The kind of plugin N, which shares when S: its calls go through the
// pointers found in the object.
template <int N, bool S>
struct loaded {
  static constexpr bool excludes = true;
  static constexpr bool shares = S;
  static constexpr const char* one_process =
      "a loaded kind's lock is made in lock_bench's own memory (lock_bench_make)";
  static constexpr bool recovers = false;
  // Never trusted after the check: its runs happen in a process of their
  // own, and the counting pass watches that it excludes.
  static constexpr bool watched = true;
  static inline const char* name = "";
  static const plugin& p() { return plugins[N]; }
  void* l = nullptr;

  // A thread's own, detached when the thread is done with the lock.
  struct local {
    void* lock = nullptr;
    void* self = nullptr;
    local(void* l, void* s) : lock(l), self(s) {}
    local(local&& o) noexcept : lock(o.lock), self(o.self) { o.lock = nullptr; }
    local& operator=(local&&) = delete;
    ~local() {
      if (lock && p().detach) p().detach(lock, self);
    }
  };
  local join() { return {l, p().attach ? p().attach(l) : nullptr}; }
  int init(bool = false) { return (l = p().make()) ? 0 : ENOMEM; }
  void fini() { p().destroy(l); }
  void lock(local& t) { p().lock(l, t.self); }
  void unlock(local& t) { p().unlock(l, t.self); }
  void lock_shared(local& t) { p().lock_shared(l, t.self); }
  void unlock_shared(local& t) { p().unlock_shared(l, t.self); }
};
