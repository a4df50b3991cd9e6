#include "topology.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

topology read() {
  topology r;
  hwloc_topology_t t;
  if (hwloc_topology_init(&t) != 0) {
    r.error = std::string("hwloc cannot start: ") + std::strerror(errno);
    return r;
  }
  // hwloc itself takes these variables, but falls back to this machine
  // when it cannot read them: a typing error would then list this
  // machine's cases as if they were the other one's.
  const char* synthetic = std::getenv("HWLOC_SYNTHETIC");
  const char* xml = std::getenv("HWLOC_XMLFILE");
  if (synthetic && *synthetic && hwloc_topology_set_synthetic(t, synthetic) != 0)
    r.error = std::string("HWLOC_SYNTHETIC is not a topology hwloc can read: '") + synthetic + "'";
  else if (xml && *xml && hwloc_topology_set_xml(t, xml) != 0)
    r.error = std::string("cannot read HWLOC_XMLFILE ") + xml + ": " + std::strerror(errno);
  else if (hwloc_topology_load(t) != 0)
    r.error = std::string("hwloc cannot read the topology: ") + std::strerror(errno);
  if (!r.error.empty()) {
    hwloc_topology_destroy(t);
    return r;
  }
  r.here = hwloc_topology_is_thissystem(t);
  hwloc_bitmap_t allowed = hwloc_bitmap_alloc();
  // Another machine's topology lets this process use all its CPUs.
  if (!r.here || hwloc_get_cpubind(t, allowed, HWLOC_CPUBIND_PROCESS) != 0)
    hwloc_bitmap_copy(allowed, hwloc_topology_get_allowed_cpuset(t));
  r.pus = pus_of(t, allowed);
  hwloc_bitmap_free(allowed);
  hwloc_topology_destroy(t);
  if (r.pus.empty()) r.error = "hwloc finds no CPU that this process may use";
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
  static const topology m = read();
  return m;
}
