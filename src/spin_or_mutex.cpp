// spin_or_mutex: what it costs two threads to share one lock.
//
// Two workers each sweep the same 10,000,000-byte array once, taking the
// default pthread mutex around every single one-byte store. The figure is
// the wall-clock time from just before the first worker starts to just
// after the second one is joined.
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr int count = 10000000;

// External linkage on purpose: nothing ever reads data back, and g++ -O2
// deletes every store into a write-only array that no other unit can see
// (static or in an anonymous namespace), the fill and both sweeps with it.
unsigned char data[count];
pthread_mutex_t mutex;

// glibc 2.30 and later declare ::gettid in <unistd.h>; ours keeps its own
// scope and asks the kernel directly.
namespace som {
long gettid() { return syscall(SYS_gettid); }
}  // namespace som

void* consumer(void*) {
  int i = 0;
  std::printf("Consumer TID %lu\n", static_cast<unsigned long>(som::gettid()));
  std::puts("plarvo test!");
  for (;;) {
    // The bound test happens under the lock, so the last acquisition of
    // each worker only tests and releases: 10,000,001 pairs per worker.
    pthread_mutex_lock(&mutex);
    if (i == count) {
      pthread_mutex_unlock(&mutex);
      return nullptr;
    }
    data[i] = 0;
    ++i;
    pthread_mutex_unlock(&mutex);
  }
}

static int fail(const char* call, int err) {
  std::fprintf(stderr, "spin_or_mutex: %s: %s\n", call, std::strerror(err));
  return 1;
}

int main() {
  int err = pthread_mutex_init(&mutex, nullptr);
  if (err != 0) return fail("pthread_mutex_init", err);
  for (int i = 0; i < count; ++i) data[i] = 1;

  timeval start, end;
  gettimeofday(&start, nullptr);
  pthread_t first, second;
  err = pthread_create(&first, nullptr, consumer, nullptr);
  if (err != 0) return fail("pthread_create", err);
  err = pthread_create(&second, nullptr, consumer, nullptr);
  if (err != 0) {
    // The first worker runs its whole sweep before we may leave.
    pthread_join(first, nullptr);
    return fail("pthread_create", err);
  }
  pthread_join(first, nullptr);
  pthread_join(second, nullptr);
  gettimeofday(&end, nullptr);

  // One signed count of microseconds, printed as a decimal with the sign on
  // the whole figure: -0.5 s is "-0.500000", not "-1.500000" as a separate
  // seconds and microseconds pair would give.
  long long us =
      (static_cast<long long>(end.tv_sec) - start.tv_sec) * 1000000 + (end.tv_usec - start.tv_usec);
  unsigned long long mag = us < 0 ? -static_cast<unsigned long long>(us) : us;
  std::printf("Result - %s%llu.%06llu\n", us < 0 ? "-" : "", mag / 1000000, mag % 1000000);
  pthread_mutex_destroy(&mutex);

  // stdout is fully buffered when it is not a terminal, so a full disk or a
  // closed descriptor only shows here, not in the printf calls above.
  if (std::fflush(stdout) != 0) return fail("standard output", errno);
  if (std::ferror(stdout)) return fail("standard output", EIO);
  return 0;
}
