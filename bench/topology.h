// The CPUs this process may use and what they share, as hwloc reads them:
// from this machine, or from the machine HWLOC_SYNTHETIC or HWLOC_XMLFILE
// describes, so that the cases of a machine we do not have can be listed.
#pragma once
#include <hwloc.h>

#include <string>
#include <vector>

// One hardware thread (hwloc's PU). The ids tell which PUs share a core, a
// last-level cache or a package: equal ids, the same one. Where hwloc knows
// no core, a PU is a core of its own; where it knows no cache, the package
// stands for it; where it knows no package, there is one.
struct pu {
  int os;  // the OS CPU number, as sched_setaffinity takes it
  int core, cache, package;
  bool operator==(const pu& o) const {
    return os == o.os && core == o.core && cache == o.cache && package == o.package;
  }
};

struct topology {
  std::vector<pu> pus;  // the PUs the process may use, in hwloc's order
  bool here = true;     // false: the topology of another machine
  std::string foreign;  // then the HWLOC_ variables that were set
  std::string error;    // why hwloc could not read it, or ""
};

// The PUs of a loaded topology that are in `allowed`, in hwloc's order.
std::vector<pu> pus_of(hwloc_topology_t t, hwloc_const_cpuset_t allowed);

// The topology of this process, read once.
const topology& machine();
