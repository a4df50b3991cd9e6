#include "topology.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

// The outermost ancestor of `o` that `is` picks, or nullptr.
template <class P>
hwloc_obj_t outermost(hwloc_obj_t o, P is) {
  hwloc_obj_t found = nullptr;
  for (o = o->parent; o; o = o->parent)
    if (is(o)) found = o;
  return found;
}

int id(hwloc_obj_t o) { return static_cast<int>(o->gp_index); }

// hwloc reads a whole file of any size, and standard input for "-": an
// XML description is read here instead, up to a bound far above that of
// a machine of thousands of CPUs.
constexpr std::size_t most_xml = 64 << 20;

std::string read_xml(const char* variable, const char* path, std::string& error) {
  std::string text, where = std::string(variable) + " " + path;
  // A FIFO or a terminal would keep hwloc waiting, /dev/zero reading.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    error = "cannot read " + where + ": " + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    error = where + " is not a regular file";
  } else {
    char chunk[65536];
    for (;;) {
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = "cannot read " + where + ": " + std::strerror(errno);
      if (n <= 0) break;
      text.append(chunk, static_cast<std::size_t>(n));
      if (text.size() > most_xml) {
        error = where + " is larger than 64 MiB: not a topology";
        break;
      }
    }
  }
  if (fd >= 0) close(fd);
  return text;
}

topology read() {
  topology r;
  hwloc_topology_t t;
  if (hwloc_topology_init(&t) != 0) {
    r.error = std::string("hwloc cannot start: ") + std::strerror(errno);
    return r;
  }
  // hwloc itself takes these variables, but falls back to this machine
  // when it cannot read them: a typing error would then list this
  // machine's cases as if they were the other one's. The FORCE forms win,
  // as in hwloc.
  auto env = [](const char* a, const char* b) {
    const char* v = std::getenv(a);
    if (!v || !*v) v = std::getenv(a = b);
    return std::make_pair(a, std::string(v ? v : ""));
  };
  auto [synthetic_name, synthetic] = env("HWLOC_FORCE_SYNTHETIC", "HWLOC_SYNTHETIC");
  auto [xml_name, xml] = env("HWLOC_FORCE_XMLFILE", "HWLOC_XMLFILE");
  std::string description;
  if (!synthetic.empty()) {
    if (hwloc_topology_set_synthetic(t, synthetic.c_str()) != 0)
      r.error = std::string(synthetic_name) + " is not a topology hwloc can read: '" + synthetic + "'";
  } else if (!xml.empty()) {
    description = read_xml(xml_name, xml.c_str(), r.error);
    if (r.error.empty() &&
        hwloc_topology_set_xmlbuffer(t, description.data(), int(description.size())) != 0)
      r.error = std::string(xml_name) + " " + xml + " is not a topology hwloc can read";
  }
  // Only what was read above: hwloc must not read the file again.
  std::vector<std::pair<const char*, std::string>> files;
  for (const char* v : {"HWLOC_FORCE_XMLFILE", "HWLOC_XMLFILE"})
    if (const char* value = std::getenv(v)) files.emplace_back(v, value);
  for (auto& [name, value] : files) unsetenv(name);
  if (r.error.empty() && hwloc_topology_load(t) != 0)
    r.error = std::string("hwloc cannot read the topology: ") + std::strerror(errno);
  for (auto& [name, value] : files) setenv(name, value.c_str(), 1);
  if (!r.error.empty()) {
    hwloc_topology_destroy(t);
    return r;
  }
  hwloc_bitmap_t allowed = hwloc_bitmap_alloc();
  // Another machine's topology lets this process use all its CPUs.
  if (!hwloc_topology_is_thissystem(t) || hwloc_get_cpubind(t, allowed, HWLOC_CPUBIND_PROCESS) != 0)
    hwloc_bitmap_copy(allowed, hwloc_topology_get_allowed_cpuset(t));
  r.pus = pus_of(t, allowed);
  hwloc_bitmap_free(allowed);
  hwloc_topology_destroy(t);
  if (r.pus.empty()) r.error = "hwloc finds no CPU that this process may use";
  return r;
}

// The environment's HWLOC_ variables, which change what hwloc reads.
std::vector<std::string> hwloc_variables() {
  std::vector<std::string> found;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "HWLOC_", 6) == 0) found.emplace_back(*e);
  return found;
}

// PUS with their core, cache and package numbered in order of appearance,
// so that two reads of one machine compare equal.
std::vector<pu> plain(std::vector<pu> pus) {
  std::map<int, int> core, cache, package;
  for (pu& p : pus) {
    p.core = core.emplace(p.core, int(core.size())).first->second;
    p.cache = cache.emplace(p.cache, int(cache.size())).first->second;
    p.package = package.emplace(p.package, int(package.size())).first->second;
  }
  return pus;
}

// The topology as the environment makes hwloc read it. It is this
// machine's when no HWLOC_ variable is set, or when it is the one hwloc
// reads with none set: hwloc's own word (HWLOC_THISSYSTEM) can be set.
topology read_here() {
  topology r = read();
  std::vector<std::string> set = hwloc_variables();
  if (!r.error.empty() || set.empty()) return r;
  for (const std::string& v : set) unsetenv(v.substr(0, v.find('=')).c_str());
  // What hwloc says of this machine (a missing /sys in a container) was
  // not asked for here.
  int saved = dup(2), null = open("/dev/null", O_WRONLY);
  if (saved >= 0 && null >= 0) dup2(null, 2);
  topology real = read();
  if (saved >= 0 && null >= 0) dup2(saved, 2);
  for (int fd : {saved, null})
    if (fd >= 0) close(fd);
  for (const std::string& v : set) {
    std::size_t eq = v.find('=');
    setenv(v.substr(0, eq).c_str(), v.c_str() + eq + 1, 1);
  }
  r.here = real.error.empty() && plain(r.pus) == plain(real.pus);
  if (!r.here)
    for (const std::string& v : set) r.foreign += (r.foreign.empty() ? "" : ", ") + v.substr(0, v.find('='));
  return r;
}

}  // namespace

std::vector<pu> pus_of(hwloc_topology_t t, hwloc_const_cpuset_t allowed) {
  std::vector<pu> pus;
  for (hwloc_obj_t p = nullptr; (p = hwloc_get_next_obj_by_type(t, HWLOC_OBJ_PU, p));) {
    if (!hwloc_bitmap_isset(allowed, p->os_index)) continue;
    hwloc_obj_t core = hwloc_get_ancestor_obj_by_type(t, HWLOC_OBJ_CORE, p);
    hwloc_obj_t package = hwloc_get_ancestor_obj_by_type(t, HWLOC_OBJ_PACKAGE, p);
    hwloc_obj_t cache = outermost(p, [](hwloc_obj_t o) { return hwloc_obj_type_is_dcache(o->type); });
    int package_id = package ? id(package) : -1;
    pus.push_back({static_cast<int>(p->os_index), id(core ? core : p),
                   cache ? id(cache) : package_id, package_id});
  }
  return pus;
}

const topology& machine() {
  static const topology m = read_here();
  return m;
}
