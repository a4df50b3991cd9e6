#include "plugin.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <lock_bench/plugin.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "printable.h"
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

// Then `threads` threads take the lock `rounds` times each, or until
// `over` is raised; one acquisition in four is a read where the lock
// shares. A writer counts itself in and finds nobody else inside, and adds
// one to a count with a separate load and store, which only the lock keeps
// from losing updates; a reader finds no writer inside. Each stays a
// little while, so that a lock that lets two in is caught at it.
int crowd(const plugin& p, void* l, int threads, long rounds, const std::atomic<bool>& over) {
  std::atomic<int> writers{0}, readers{0}, failed{passed};
  std::atomic<long> count{0};
  std::atomic<long> writes{0};
  auto body = [&](int me) {
    void* self = p.attach ? p.attach(l) : nullptr;
    std::uint64_t x = std::uint64_t(me);
    long mine = 0;
    for (long k = 0; k < rounds && failed == passed && !over.load(std::memory_order_relaxed); ++k) {
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
  if (failed == passed && count != writes) failed = lost;
  return failed;
}

// The whole check, in the child, which tells fd the thread count of each
// phase as it starts ('p' and the count), then its finding ('f' and one
// byte): held() both ways, four threads 100,000 times each, then for a
// tenth of a second at each count of `counts` above four, where a lock
// made for a few threads (an array of four slots, say) breaks or hangs.
void exclusion(const plugin& p, const std::vector<int>& counts, int fd) {
  auto tell = [&](char what, int value) {
    char message[1 + sizeof value] = {what};
    std::memcpy(message + 1, &value, sizeof value);
    if (!send(fd, std::string(message, sizeof message))) _exit(1);
  };
  void* l = p.make();
  if (!l) return tell('f', no_lock);
  tell('p', 2);
  for (bool read : {false, true}) {
    int found = read && !p.lock_shared ? passed : held(p, l, read);
    if (found != passed) return tell('f', found);
  }
  std::atomic<bool> never{false};
  tell('p', 4);
  int found = crowd(p, l, 4, 100000, never);
  for (int n : counts) {
    if (found != passed || n <= 4) continue;
    tell('p', n);
    std::atomic<bool> over{false};
    std::thread timer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      over = true;
    });
    found = crowd(p, l, n, LONG_MAX, over);
    timer.join();
  }
  if (found == passed) p.destroy(l);
  tell('f', found);
}

#if defined(__x86_64__)
constexpr int MACHINE = EM_X86_64;
#elif defined(__aarch64__)
constexpr int MACHINE = EM_AARCH64;
#else
#error "lock_bench knows the ELF machine of x86-64 and AArch64 only"
#endif

// The machine a shared object's ELF header names, as people call it.
std::string machine_name(int m) {
  switch (m) {
    case EM_X86_64: return "x86-64";
    case EM_AARCH64: return "AArch64";
    case EM_386: return "i386";
    case EM_ARM: return "32-bit Arm";
    case EM_RISCV: return "RISC-V";
    case EM_PPC64: return "64-bit POWER";
    case EM_S390: return "s390x";
    default: return "machine " + std::to_string(m);
  }
}

// What the loader would take from FILE, read from its ELF headers before
// it is handed any of it: "" or why it cannot be loaded here. (The loader
// says "No such file or directory" of an object for another machine, and
// an object cut short crashes it.)
std::string elf_trouble(const std::string& file) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  ElfW(Ehdr) h;
  struct stat st;
  bool whole = fstat(fd, &st) == 0 && pread(fd, &h, sizeof h, 0) == ssize_t(sizeof h);
  std::string why;
  if (!whole || std::memcmp(h.e_ident, ELFMAG, SELFMAG) != 0) {
    why = "it is not a shared object (no ELF header)";
  } else if (h.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
             h.e_machine != MACHINE) {
    why = "it is built for " +
          (h.e_ident[EI_CLASS] == ELFCLASS32 && h.e_machine == EM_X86_64 ? std::string("x32")
                                                                          : machine_name(h.e_machine)) +
          (h.e_ident[EI_CLASS] == ELFCLASS32 ? " (32-bit)" : "") + ", not " + machine_name(MACHINE);
  } else if (h.e_type != ET_DYN) {
    why = "it is an ELF " + std::string(h.e_type == ET_REL ? "object file" : "file") +
          ", not a shared object (link it with -shared)";
  } else {
    for (int i = 0; i < h.e_phnum && why.empty(); ++i) {
      ElfW(Phdr) ph;
      if (pread(fd, &ph, sizeof ph, off_t(h.e_phoff + i * sizeof ph)) != ssize_t(sizeof ph))
        why = "it is cut short: its program headers are missing";
      else if (ph.p_type == PT_LOAD && ph.p_offset + ph.p_filesz > std::uint64_t(st.st_size))
        why = "it is cut short: it needs " + std::to_string(ph.p_offset + ph.p_filesz) +
              " bytes, and has " + std::to_string(st.st_size);
    }
  }
  close(fd);
  return why;
}

// Whether [at, at + bytes) lies in a segment of the object h that maps
// with `flag` (PF_R for data, PF_X for code): a symbol defined as an
// absolute address does not.
bool in_object(void* h, const void* at, std::size_t bytes, ElfW(Word) flag) {
  link_map* lm = nullptr;
  if (dlinfo(h, RTLD_DI_LINKMAP, &lm) != 0 || !lm) return false;
  struct find {
    const link_map* lm;
    std::uintptr_t from, to;
    ElfW(Word) flag;
    bool found = false;
  } f{lm, std::uintptr_t(at), std::uintptr_t(at) + bytes, flag};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto& f = *static_cast<find*>(data);
        if (info->dlpi_addr != f.lm->l_addr || std::strcmp(info->dlpi_name, f.lm->l_name) != 0)
          return 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
          if (ph.p_type == PT_LOAD && (ph.p_flags & f.flag) && f.from >= start && f.to <= start + ph.p_memsz)
            f.found = true;
        }
        return 1;
      },
      &f);
  return f.found;
}

// The bytes of a symbol's name from `at` to the end of its segment, at most
// `most`: how far lock_bench_name may be read.
std::size_t readable(void* h, const char* at, std::size_t most) {
  while (most > 0 && !in_object(h, at, most, PF_R)) --most;
  return most;
}


// Opens FILE and fills p from its symbols: "" or why it is no lock kind.
// PATH is FILE as the user named it, shown.
std::string open_object(const std::string& file, const std::string& path,
                        const std::vector<std::string>& taken, plugin& p) {
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
  if (!h) return "cannot load " + printable(dlerror());
  auto find = [&](const char* symbol) { return dlsym(h, symbol); };
  const std::string bad = path + " is not a lock for lock_bench: ";
  for (const char* must : {"lock_bench_abi", "lock_bench_name", "lock_bench_make",
                           "lock_bench_destroy", "lock_bench_lock", "lock_bench_unlock"})
    if (!find(must)) return bad + "it has no " + must + " (see lock_bench/plugin.h)";
  for (const char* data : {"lock_bench_abi", "lock_bench_name"})
    if (!in_object(h, find(data), data[11] == 'a' ? sizeof(int) : 1, PF_R))
      return bad + "its " + data + " is not data of its own (an absolute symbol?)";
  for (const char* code : {"lock_bench_make", "lock_bench_destroy", "lock_bench_attach",
                           "lock_bench_detach", "lock_bench_lock", "lock_bench_unlock",
                           "lock_bench_lock_shared", "lock_bench_unlock_shared"})
    if (find(code) && !in_object(h, find(code), 1, PF_X))
      return bad + "its " + code + " is not code of its own";
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
  const char* at = static_cast<const char*>(find("lock_bench_name"));
  std::string name(at, strnlen(at, readable(h, at, 40)));
  if (!good_name(name.c_str()))
    return path + " names its kind '" + printable(name) +
           "': a kind's name is lower-case letters, digits and '_', starting with a letter, "
           "at most 32 characters";
  if (std::find(taken.begin(), taken.end(), name) != taken.end())
    return path + " names its kind '" + name + "', the name of a kind already in lock_bench";
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

// An object's destructors run as lock_bench exits: what they print goes to
// standard error, after the results on standard output.
void destructors_to_stderr() {
  std::fflush(stdout);
  dup2(2, 1);
}

}  // namespace

std::string load(const std::string& given, const std::vector<std::string>& taken) {
  if (loaded_plugins == most_plugins)
    return "at most " + std::to_string(most_plugins) + " --lock objects in one run";
  // A name without a slash is a file here, as for any other file argument,
  // not one for the loader to look for in the library path.
  std::string file = given.find('/') == std::string::npos ? "./" + given : given;
  std::string path = printable(given), shown = printable(file);
  // Loading opens the file and reads it: a FIFO would wait for a writer.
  struct stat st;
  if (stat(file.c_str(), &st) != 0) return "cannot load " + shown + ": " + std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "cannot load " + shown + ": not a regular file";
  if (std::string why = elf_trouble(file); !why.empty()) return "cannot load " + shown + ": " + why;
  // The object's constructors run first in a child process, and its
  // symbols are read there: one that crashes, aborts or ends the process
  // ends only the child.
  crew c = run_processes(
      1,
      [&](int, int fd) {
        dup2(2, 1);
        plugin scratch;
        std::string why = open_object(file, path, taken, scratch);
        if (why.empty()) why = "+";
        _exit(send(fd, why) ? 0 : 1);
      },
      std::chrono::seconds(10));
  if (c.error) return "cannot load " + shown + ": " + std::strerror(c.error);
  const std::string& said = c.sent[0];
  if (c.late) return "cannot load " + shown + ": loading it did not end in 10 s";
  if (WIFSIGNALED(c.status[0]))
    return "cannot load " + shown + ": loading it crashed (" + strsignal(WTERMSIG(c.status[0])) +
           "): a constructor of its, or a damaged object";
  if (said.empty())
    return "cannot load " + shown + ": loading it ended the process, with status " +
           std::to_string(WEXITSTATUS(c.status[0])) + " (a constructor that exits?)";
  if (said != "+") return said;
  plugin& p = plugins[loaded_plugins];
  if (std::string why = open_object(file, path, taken, p); !why.empty()) return why;
  if (loaded_plugins++ == 0) std::atexit(destructors_to_stderr);
  return "";
}

std::string check(const plugin& p, const std::vector<int>& counts) {
  // The check must end in this; a lock that makes four threads wait for
  // longer is no lock anyone would run. Each count above four adds time.
  int extra = int(std::count_if(counts.begin(), counts.end(), [](int n) { return n > 4; }));
  const int limit_s = 10 + 5 * extra;
  crew c = run_processes(
      1,
      [&](int, int fd) {
        exclusion(p, counts, fd);
        _exit(0);
      },
      std::chrono::seconds(limit_s));
  if (c.error) return std::string("cannot start the check of ") + p.path + ": " + strerror(c.error);
  const std::string what = p.path + " (" + p.name + ")";
  // The child's messages: the phases it started, then its finding.
  int phase = 0, finding = -1;
  const std::string& said = c.sent[0];
  for (std::size_t at = 0; at + 1 + sizeof(int) <= said.size(); at += 1 + sizeof(int)) {
    int value;
    std::memcpy(&value, said.data() + at + 1, sizeof value);
    (said[at] == 'p' ? phase : finding) = value;
  }
  const std::string threads = " at " + std::to_string(phase) + " threads";
  if (c.late)
    return what + " hung in the check of mutual exclusion" + (phase > 4 ? threads : "") +
           ": not done in " + std::to_string(limit_s) + " s; nothing timed";
  int status = c.status[0];
  if (WIFSIGNALED(status))
    return what + " crashed in the check of mutual exclusion (" + strsignal(WTERMSIG(status)) +
           ")" + (phase > 4 ? threads : "") + "; nothing timed";
  if (finding < 0 || WEXITSTATUS(status) != 0)
    return what + " ended the check of mutual exclusion itself, with status " +
           std::to_string(WEXITSTATUS(status)) + "; nothing timed";
  const std::string where = phase > 4 ? threads : "";
  switch (finding) {
    case passed:
      return "";
    case no_lock:
      return what + " made no lock: lock_bench_make returned NULL";
    case two_in:
      return what + " is not a lock: it let two threads hold it at once" + where + "; nothing timed";
    case lost:
      return what + " is not a lock: writes made under it were lost" + where + "; nothing timed";
    case beside:
      return what + " is not a lock: it let a reader in beside a writer" + where + "; nothing timed";
    default:
      return what + " failed the check of mutual exclusion; nothing timed";
  }
}
