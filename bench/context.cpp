#include "context.h"

#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#ifdef __GLIBC__
#include <gnu/libc-version.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace {

// The whole of a file, or "" when it cannot be read.
std::string slurp(const char* path) {
  std::ifstream f(path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// The first line of a file, or "" when it cannot be read.
std::string first_line(const char* path) {
  std::ifstream f(path);
  std::string line;
  std::getline(f, line);
  return line;
}

// S with its words one space apart and no space around them.
std::string words(const std::string& s) {
  std::istringstream in(s);
  std::string out;
  for (std::string w; in >> w;) out += (out.empty() ? "" : " ") + w;
  return out;
}

std::string kernel() {
  utsname u;
  if (uname(&u) != 0) return "unknown";
  return std::string(u.release) + " " + u.machine;
}

std::string glibc() {
#ifdef __GLIBC__
  return gnu_get_libc_version();
#else
  return "unknown";
#endif
}

std::string cpu_model() {
  std::string info = slurp("/proc/cpuinfo");
  std::string m = model_name(info);
  if (m.empty()) m = arm_model(info);
  return m.empty() ? "unknown" : m;
}

// The CPUs this process may use, ascending; none when the kernel does not say.
std::vector<int> allowed() {
  std::vector<int> cpus;
  cpu_set_t s;
  if (sched_getaffinity(0, sizeof s, &s) != 0) return cpus;
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &s)) cpus.push_back(c);
  return cpus;
}

std::string cpus_allowed(const std::vector<int>& cpus) {
  if (cpus.empty()) return "unknown";
  return std::to_string(cpus.size()) + " (" + cpu_ranges(cpus) + ")";
}

std::string smt() {
  std::string active = words(first_line("/sys/devices/system/cpu/smt/active"));
  return active == "1" ? "on" : active == "0" ? "off" : "unknown";
}

// Containers and many virtual machines have no cpufreq directory.
std::string governor() {
  std::string g = words(first_line("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"));
  return g.empty() ? "not exposed" : g;
}

std::string hypervisor() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return "unknown";
  if (!(c & 1u << 31)) return "none";
  // A hypervisor answers leaf 0x40000000 with its signature in EBX, ECX,
  // EDX. __get_cpuid would refuse the leaf: it is above the highest
  // standard one.
  __cpuid(0x40000000, a, b, c, d);
  char sig[12];
  std::memcpy(sig, &b, 4);
  std::memcpy(sig + 4, &c, 4);
  std::memcpy(sig + 8, &d, 4);
  std::string name = hypervisor_name(std::string(sig, sizeof sig));
  return name.empty() ? "yes" : name;
#else
  return "unknown";
#endif
}

std::string load_avg(const double* load, bool known) {
  if (!known) return "unknown";
  char s[64];
  std::snprintf(s, sizeof s, "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return s;
}

}  // namespace

std::string cpu_ranges(const std::vector<int>& cpus) {
  std::string out;
  for (std::size_t i = 0, j; i < cpus.size(); i = j + 1) {
    for (j = i; j + 1 < cpus.size() && cpus[j + 1] == cpus[j] + 1;) ++j;
    if (!out.empty()) out += ',';
    out += std::to_string(cpus[i]);
    if (j > i) out += '-' + std::to_string(cpus[j]);
  }
  return out;
}

// The first value of FIELD in the text of /proc/cpuinfo, or "".
std::string field(const std::string& cpuinfo, const std::string& name) {
  std::istringstream in(cpuinfo);
  for (std::string line; std::getline(in, line);) {
    std::size_t colon = line.find(':');
    if (colon != std::string::npos && words(line.substr(0, colon)) == name)
      return words(line.substr(colon + 1));
  }
  return "";
}

std::string model_name(const std::string& cpuinfo) { return field(cpuinfo, "model name"); }

std::string arm_model(const std::string& cpuinfo) {
  std::string implementer = field(cpuinfo, "CPU implementer"), part = field(cpuinfo, "CPU part");
  if (implementer.empty() || part.empty()) return "";
  // The cores of the Arm servers one meets most; the codes say the rest.
  static const std::map<std::pair<std::string, std::string>, std::string> known = {
      {{"0x41", "0xd0c"}, "Arm Neoverse N1"}, {{"0x41", "0xd40"}, "Arm Neoverse V1"},
      {{"0x41", "0xd49"}, "Arm Neoverse N2"}, {{"0x41", "0xd4f"}, "Arm Neoverse V2"},
      {{"0x41", "0xd8e"}, "Arm Neoverse N3"}, {{"0x41", "0xd84"}, "Arm Neoverse V3"},
      {{"0x41", "0xd08"}, "Arm Cortex-A72"},  {{"0xc0", "0xac3"}, "Ampere-1"},
      {{"0x46", "0x001"}, "Fujitsu A64FX"},
  };
  auto it = known.find({implementer, part});
  std::string codes = "implementer " + implementer + ", part " + part;
  return it == known.end() ? "Arm " + codes : it->second + " (" + codes + ")";
}

std::string hypervisor_name(const std::string& signature) {
  std::string s;
  for (char c : signature)
    if (c >= ' ' && c <= '~') s += c;
  // Most signatures repeat a short name to fill the twelve bytes.
  for (std::size_t n = 1; n < s.size(); ++n) {
    if (s.size() % n == 0 && s.compare(n, std::string::npos, s, 0, s.size() - n) == 0) {
      s.resize(n);
      break;
    }
  }
  return words(s);
}

std::string load_warning(double load, int cpus) {
  if (!(load > cpus / 2.0)) return "";
  char s[160];
  std::snprintf(s, sizeof s,
                "lock_bench: warning: load average %.2f exceeds half of the %d CPUs; "
                "other load changes what a lock does",
                load, cpus);
  return s;
}

void add_context(bool warn) {
  std::vector<int> cpus = allowed();
  double load[3];
  bool known = getloadavg(load, 3) == 3;
  benchmark::AddCustomContext("kernel", kernel());
  benchmark::AddCustomContext("glibc", glibc());
  benchmark::AddCustomContext("cpu_model", cpu_model());
  benchmark::AddCustomContext("cpus_allowed", cpus_allowed(cpus));
  benchmark::AddCustomContext("smt", smt());
  benchmark::AddCustomContext("governor", governor());
  benchmark::AddCustomContext("hypervisor", hypervisor());
#if defined(__aarch64__)
  // Atomics by single instructions (ARMv8.1 LSE) or by exclusive
  // load-store loops: a lock's handoff differs between the two.
  benchmark::AddCustomContext("lse_atomics", getauxval(AT_HWCAP) & HWCAP_ATOMICS ? "yes" : "no");
#endif
  benchmark::AddCustomContext("load_avg_start", load_avg(load, known));
  if (warn && known && !cpus.empty()) {
    std::string w = load_warning(load[0], static_cast<int>(cpus.size()));
    if (!w.empty()) std::fprintf(stderr, "%s\n", w.c_str());
  }
}
