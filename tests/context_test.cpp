// What lock_bench records about the machine: the text it reads turned into
// short values, the load warning, and every key the verdict shows present.
#include "context.h"

#include <benchmark/benchmark.h>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>

namespace {

TEST(context, cpu_ranges_join_neighbours) {
  EXPECT_EQ(cpu_ranges({}), "");
  EXPECT_EQ(cpu_ranges({3}), "3");
  EXPECT_EQ(cpu_ranges({0, 1}), "0-1");
  EXPECT_EQ(cpu_ranges({0, 1, 4}), "0-1,4");
  EXPECT_EQ(cpu_ranges({0, 2, 3, 4, 7, 8, 10}), "0,2-4,7-8,10");
}

// The CPU's name from /proc/cpuinfo. x86 gives a model name, the first
// block's; arm64 gives implementer and part codes instead: the core's name
// where known, and the codes always, so that two Arm machines can be told
// apart.
TEST(context, cpu_name_from_cpuinfo) {
  struct {
    std::string text, model, arm;
  } table[] = {
      // x86: "model" comes before "model name", one block per CPU
      {"processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 63\n"
       "model name\t: Intel(R) Xeon(R) CPU           E5-2680 v3 @ 2.50GHz\nstepping\t: 2\n\n"
       "processor\t: 1\nmodel\t\t: 63\nmodel name\t: Other CPU\n",
       "Intel(R) Xeon(R) CPU E5-2680 v3 @ 2.50GHz", ""},
      {"processor\t: 0\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd atomics\nCPU implementer\t: 0x41\n"
       "CPU architecture: 8\nCPU variant\t: 0x3\nCPU part\t: 0xd0c\nCPU revision\t: 1\n\n"
       "processor\t: 1\nCPU implementer\t: 0x41\nCPU part\t: 0xd40\n",
       "", "Arm Neoverse N1 (implementer 0x41, part 0xd0c)"},
      {"CPU implementer\t: 0x61\nCPU part\t: 0x022\n", "", "Arm implementer 0x61, part 0x022"},
      {"processor\t: 0\nBogoMIPS\t: 50.00\nCPU part\t: 0xd0c\n", "", ""},
      {"CPU implementer\t: 0x41\n", "", ""},
      {"", "", ""},
  };
  for (const auto& t : table) {
    EXPECT_EQ(model_name(t.text), t.model) << t.text;
    EXPECT_EQ(arm_model(t.text), t.arm) << t.text;
  }
}

TEST(context, hypervisor_name_from_the_signature) {
  EXPECT_EQ(hypervisor_name(std::string("KVMKVMKVM\0\0\0", 12)), "KVM");
  EXPECT_EQ(hypervisor_name("Microsoft Hv"), "Microsoft Hv");
  EXPECT_EQ(hypervisor_name("VMwareVMware"), "VMware");
  EXPECT_EQ(hypervisor_name("bhyve bhyve "), "bhyve");
  EXPECT_EQ(hypervisor_name(std::string(12, '\0')), "");
}

TEST(context, load_warning_above_half_the_cpus) {
  EXPECT_EQ(load_warning(0.0, 2), "");
  EXPECT_EQ(load_warning(1.0, 2), "");
  EXPECT_EQ(load_warning(1.5, 3), "");
  EXPECT_NE(load_warning(1.6, 3), "");
  std::string w = load_warning(1.01, 2);
  EXPECT_NE(w.find("load average 1.01"), std::string::npos) << w;
  EXPECT_NE(w.find("2 CPUs"), std::string::npos) << w;
  EXPECT_EQ(w.find('\n'), std::string::npos) << w;
}

// Writes Google Benchmark's JSON context, then declines to run any case.
struct context_only : benchmark::JSONReporter {
  bool ReportContext(const Context& c) override {
    JSONReporter::ReportContext(c);
    return false;
  }
};

TEST(context, every_key_the_verdict_reads) {
  benchmark::RegisterBenchmark("unused", [](benchmark::State& st) {
    for (auto _ : st) {
    }
  });
  add_context(false);
  std::ostringstream json;
  context_only r;
  r.SetOutputStream(&json);
  r.SetErrorStream(&json);
  benchmark::RunSpecifiedBenchmarks(&r);
  std::string text = json.str();
  for (std::string key : {"kernel", "glibc", "cpu_model", "cpus_allowed", "smt", "governor",
                          "hypervisor", "load_avg_start"}) {
    std::regex pair('"' + key + "\": \"[^\"]+\"");
    EXPECT_TRUE(std::regex_search(text, pair)) << key << " in\n" << text;
  }
}

}  // namespace
