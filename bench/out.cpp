#include "out.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

// aim()'s error for a file of another user's.
constexpr int not_ours = -1;

bool same_file(const struct stat& st, int fd) {
  struct stat o;
  return fstat(fd, &o) == 0 && o.st_dev == st.st_dev && o.st_ino == st.st_ino;
}

// No signal may end the process while a temporary file of its exists.
struct signals_held {
  sigset_t before;
  signals_held() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
  }
  ~signals_held() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
};

// The name a new file gets when PATH does not exist: PATH itself, or the
// end of the chain of links it starts, so that a dangling link stays a
// link to the new file. "" with errno set when the chain loops.
std::string last_link(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    char to[PATH_MAX];
    ssize_t n = readlink(path.c_str(), to, sizeof to);
    if (n < 0) return path;
    std::string link(to, static_cast<std::size_t>(n));
    path = link[0] == '/' ? link : path.substr(0, path.rfind('/') + 1) + link;
  }
  errno = ELOOP;
  return "";
}

// 0, or the errno of the write that failed.
int put(int fd, const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    at += static_cast<std::size_t>(n);
  }
  return 0;
}

// The template of a temporary file beside PATH: a short name of its own,
// so that a PATH of the longest name a folder takes still has one.
std::string beside(const std::string& path) {
  return path.substr(0, path.rfind('/') + 1) + ".lock_bench-XXXXXX";
}

// A new file from the template NAME (ending in XXXXXX) holding TEXT, with
// MODE, and with `like`, the owner and group of the file it replaces
// (root gives it back to its owner; anyone else keeps its group where they
// may); 0, or the errno of the step that failed, which removes the file.
int keep(std::string& name, const std::string& text, mode_t mode, const struct stat* like = nullptr) {
  int fd = mkstemp(name.data());
  if (fd < 0) return errno;
  int error = 0;
  if (like && (geteuid() == 0 ? fchown(fd, like->st_uid, like->st_gid) : fchown(fd, -1, like->st_gid)) &&
      geteuid() == 0)
    error = errno;
  if (!error) error = fchmod(fd, mode) ? errno : put(fd, text);
  if (!error && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && !error) error = errno;
  if (error) unlink(name.c_str());
  return error;
}

// Writes TEXT to a new file beside PATH and renames it over PATH, keeping
// the permissions of the file it replaces (a new one gets the usual ones);
// 0 or the errno of the step that failed, which leaves no new file behind.
int replace(const std::string& path, const std::string& text) {
  mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  bool there = stat(path.c_str(), &st) == 0;
  mode_t mode = there ? st.st_mode & 07777 : 0666 & ~mask;
  signals_held held;
  std::string temp = beside(path);
  int error = keep(temp, text, mode, there ? &st : nullptr);
  if (!error && std::rename(temp.c_str(), path.c_str()) != 0) {
    error = errno;
    unlink(temp.c_str());
  }
  return error;
}

// Writes TEXT to PATH, a name that must not be taken: if another process
// took it meanwhile, to PATH-2, PATH-3 and so on (before the extension),
// never over what is there. The name written, or "" with errno set.
std::string publish(const std::string& path, const std::string& text) {
  mode_t mask = umask(0);
  umask(mask);
  signals_held held;
  std::string temp = beside(path);
  if (int error = keep(temp, text, 0666 & ~mask)) {
    errno = error;
    return "";
  }
  std::size_t dot = path.rfind('.'), slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
  for (int k = 1; k < 1000; ++k) {
    std::string name = k == 1 ? path : path.substr(0, dot) + "-" + std::to_string(k) + path.substr(dot);
    if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) return name;
    if (errno == EEXIST) continue;
    // A file system without RENAME_NOREPLACE takes a hard link as surely.
    if (errno != EINVAL || link(temp.c_str(), name.c_str()) != 0) {
      if (errno == EEXIST) continue;
      int e = errno;
      unlink(temp.c_str());
      errno = e;
      return "";
    }
    unlink(temp.c_str());
    return name;
  }
  unlink(temp.c_str());
  errno = EEXIST;
  return "";
}

// Where the results of TARGET go: REAL, the regular file to replace, or
// THROUGH, the descriptor to write through. 0, or the errno that says why
// TARGET cannot take them (EISDIR for a directory, ENOTBLK for a block
// device, which results written over would destroy).
int aim(const std::string& target, std::string& real, int& through) {
  struct stat st;
  if (target.empty() || target.back() == '/') return EISDIR;
  if (stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (S_ISBLK(st.st_mode)) return ENOTBLK;
    if (S_ISSOCK(st.st_mode)) return ENXIO;
    // Standard output or error named by its file (/dev/stdout) gets the
    // results after what was written there, not over it. A FIFO is opened
    // only for the results: until then it need not have a reader.
    if (same_file(st, 1) || same_file(st, 2)) {
      through = fcntl(same_file(st, 1) ? 1 : 2, F_DUPFD_CLOEXEC, 3);
    } else if (S_ISFIFO(st.st_mode)) {
      return faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) ? errno : 0;
    } else if (!S_ISREG(st.st_mode)) {
      through = open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    } else {
      // A file is replaced by a new one: someone else's would become ours.
      if (geteuid() != 0 && st.st_uid != geteuid()) return not_ours;
      char* path = realpath(target.c_str(), nullptr);
      if (path) real = path;
      std::free(path);
    }
    if (through < 0 && real.empty()) return errno;
  } else if (errno == ENOENT) {
    real = last_link(target);
    if (real.empty()) return errno;
  } else {
    return errno;
  }
  if (real.empty()) return 0;
  // The folder takes a new file of that name: what else a full run could
  // find only at its end (no permission, a read-only file system, a name
  // too long) shows now.
  signals_held held;
  std::string probe = beside(real);
  int fd = mkstemp(probe.data());
  if (fd < 0) return errno;
  close(fd);
  unlink(probe.c_str());
  return 0;
}

}  // namespace

results_file::results_file(const std::string& target, bool fresh)
    : target_(target), written_(target), fresh_(fresh) {
  if (int error = aim(target, real_, through_)) {
    error_ = "cannot write " + target + ": " +
             (error == ENOTBLK    ? "it is a block device"
              : error == not_ours ? "it belongs to another user, and the new file would be yours"
                                  : std::strerror(error));
    return;
  }
  memory_ = memfd_create("lock_bench results", MFD_CLOEXEC);
  if (memory_ < 0)
    error_ = std::string("cannot keep the results in memory: ") + std::strerror(errno);
}

results_file::~results_file() {
  if (through_ >= 0) close(through_);
  if (memory_ >= 0) close(memory_);
}

std::string results_file::buffer() const { return "/proc/self/fd/" + std::to_string(memory_); }

std::string results_file::text() const {
  std::string text;
  char chunk[65536];
  for (off_t at = 0;;) {
    ssize_t n = pread(memory_, chunk, sizeof chunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(chunk, static_cast<std::size_t>(n));
    at += n;
  }
}

std::string results_file::commit() {
  // A write that fails says why in one line, instead of the signal that
  // would end the process for a closed pipe or a file size limit.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  std::string results = text();
  int error = 0;
  if (fresh_) {
    written_ = publish(target_, results);
    if (written_.empty()) error = errno;
  } else if (!real_.empty()) {
    error = replace(real_, results);
  } else {
    int fd = through_ >= 0 ? through_ : open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    error = fd < 0 ? errno : put(fd, results);
    if (fd >= 0 && fd != through_) close(fd);
  }
  if (!error) return "";
  // A whole run's results are not lost for want of a place: they go where
  // temporary files go, and the line says where.
  std::string why = "cannot write " + target_ + ": " + std::strerror(error);
  const char* tmp = std::getenv("TMPDIR");
  std::string kept = std::string(tmp && *tmp ? tmp : "/tmp") + "/lock_bench-results.XXXXXX";
  signals_held held;
  if (keep(kept, results, 0600) == 0) why += "; the results are in " + kept;
  return why;
}
