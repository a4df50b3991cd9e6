#include "locks.h"

#include <oneapi/tbb/version.h>

#include <cstdlib>

std::vector<std::pair<std::string, std::string>> as_shipped() {
  // Debian builds abseil without NDEBUG, which leaves absl::Mutex checking
  // every Lock() for deadlock cycles: three times the cost of an
  // uncontended lock. Programs built for production run without it.
  absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
  absl::EnableMutexInvariantDebugging(false);
  // GLIBC_TUNABLES can change the pthread kinds: glibc.pthread.mutex_spin_count
  // how long `adaptive` spins, glibc.elision.enable whether locks elide.
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  return {
      {"abseil", std::to_string(ABSL_LTS_RELEASE_VERSION) +
                     ", deadlock detection and invariant debugging off"},
      {"onetbb", std::string(TBB_runtime_version()) + ", release library, assertions " +
                     (TBB_USE_ASSERT ? "on" : "off")},
      {"concurrency_kit", CK_VERSION},
      {"glibc_tunables", tunables && *tunables ? tunables : "none set"},
  };
}
