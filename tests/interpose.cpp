// LD_PRELOAD library that stands between the program and the platform calls
// it makes, so the tests can see the call pattern, script the clock and make
// calls fail. Driven by the environment, which the program itself never reads:
//   SOM_TRACE=path         write one line per thread at exit (see trace())
//   SOM_CLOCK="s us s us"  the first and second gettimeofday readings
//   SOM_FAIL=init|create1|create2   fail that call with EAGAIN
#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <class F>
F real(F, const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// One record per thread; each is written only by its own thread and read
// at exit, after the program has joined every worker.
struct record {
  long tid;
  long locks, unlocks, bad;  // the lock is held while locks > unlocks
  char calls[256];
};
record records[16];
std::atomic<int> used{0};
thread_local record* self;

record& me() {
  if (!self) {
    self = &records[used.fetch_add(1)];
    self->tid = syscall(SYS_gettid);
  }
  return *self;
}

void note(const char* call) {
  char* c = me().calls;
  size_t n = std::strlen(c);
  std::snprintf(c + n, sizeof me().calls - n, "%s%s", n ? " " : "", call);
}

bool fail(const char* call) {
  const char* f = std::getenv("SOM_FAIL");
  return f && std::strcmp(f, call) == 0;
}

// The program exports these; a null pointer means a build without exports.
unsigned char* data() { return static_cast<unsigned char*>(dlsym(RTLD_DEFAULT, "data")); }
void* mutex() { return dlsym(RTLD_DEFAULT, "mutex"); }

// -1: not looked at; 1: every element holds the value; 0: some do not.
int all(int value) {
  unsigned char* d = data();
  if (!d) return -1;
  for (int i = 0; i < 10000000; ++i)
    if (d[i] != value) return 0;
  return 1;
}

int filled = -1, cleared = -1, destroyed = -1, readings = 0, creates = 0;

__attribute__((destructor)) void trace() {
  const char* path = std::getenv("SOM_TRACE");
  FILE* f = path ? std::fopen(path, "w") : nullptr;
  if (!f) return;
  std::fprintf(f, "filled %d\ncleared %d\ndestroy %d\n", filled, cleared, destroyed);
  for (int i = 0; i < used.load(); ++i) {
    const record& r = records[i];
    std::fprintf(f, "thread %ld locks %ld unlocks %ld bad %ld calls %s\n", r.tid, r.locks,
                 r.unlocks, r.bad, r.calls);
  }
  std::fclose(f);
}

}  // namespace

extern "C" {

int pthread_mutex_init(pthread_mutex_t* m, const pthread_mutexattr_t* a) {
  note("init");
  if (fail("init")) return EAGAIN;
  return real(&pthread_mutex_init, "pthread_mutex_init")(m, a);
}

int pthread_mutex_destroy(pthread_mutex_t* m) {
  note("destroy");
  return destroyed = real(&pthread_mutex_destroy, "pthread_mutex_destroy")(m);
}

int pthread_mutex_lock(pthread_mutex_t* m) {
  static auto f = real(&pthread_mutex_lock, "pthread_mutex_lock");
  static void* const ours = mutex();
  record& r = me();
  if (r.locks == 0) note("lock");
  int rc = f(m);
  r.bad += r.locks++ != r.unlocks || m != ours;  // already held, or not ours
  return rc;
}

int pthread_mutex_unlock(pthread_mutex_t* m) {
  static auto f = real(&pthread_mutex_unlock, "pthread_mutex_unlock");
  static void* const ours = mutex();
  record& r = me();
  r.bad += ++r.unlocks != r.locks || m != ours;  // not held, or not ours
  return f(m);
}

int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*fn)(void*), void* arg) {
  note("create");
  ++creates;
  if (creates == 1) filled = all(1);
  if (fail(creates == 1 ? "create1" : "create2")) return EAGAIN;
  return real(&pthread_create, "pthread_create")(t, a, fn, arg);
}

int pthread_join(pthread_t t, void** result) {
  note("join");
  return real(&pthread_join, "pthread_join")(t, result);
}

int gettimeofday(struct timeval* tv, void* tz) {
  note("time");
  ++readings;
  if (readings == 2) cleared = all(0);
  long s[4];
  const char* clock = std::getenv("SOM_CLOCK");
  if (clock && std::sscanf(clock, "%ld %ld %ld %ld", &s[0], &s[1], &s[2], &s[3]) == 4 &&
      readings <= 2) {
    tv->tv_sec = s[2 * readings - 2];
    tv->tv_usec = s[2 * readings - 1];
    return 0;
  }
  return real(&gettimeofday, "gettimeofday")(tv, tz);
}

int printf(const char* format, ...) {
  note("printf");
  va_list ap;
  va_start(ap, format);
  int n = std::vprintf(format, ap);
  va_end(ap);
  return n;
}

int puts(const char* s) {
  note("puts");
  return real(&puts, "puts")(s);
}

}  // extern "C"
