// What lock_bench records about the machine it runs on, beside Google
// Benchmark's own context: a lock's figures depend on the kernel, the C
// library, the CPUs and what else the machine is doing.
#pragma once
#include <string>
#include <vector>

// Adds kernel, glibc, cpu_model, cpus_allowed, smt, governor, hypervisor,
// load_avg_start and, on Arm, lse_atomics to the run's context. With warn, says on stderr when other
// load is high enough to change the figures.
void add_context(bool warn);

// CPU numbers, ascending, as ranges: {0, 1, 4} is "0-1,4".
std::string cpu_ranges(const std::vector<int>& cpus);

// The first "model name" in the text of /proc/cpuinfo, or "" without one.
std::string model_name(const std::string& cpuinfo);

// What an Arm CPU's /proc/cpuinfo says in its place: the core's name where
// lock_bench knows its implementer and part codes, and the codes; "" where
// there are none.
std::string arm_model(const std::string& cpuinfo);

// A hypervisor's CPUID signature as a name: "KVMKVMKVM\0\0\0" is "KVM",
// "Microsoft Hv" stays as it is; "" when nothing printable is left.
std::string hypervisor_name(const std::string& signature);

// The warning line for a 1-minute load average on the CPUs the process may
// use, or "" when the load is at most half of them.
std::string load_warning(double load, int cpus);
