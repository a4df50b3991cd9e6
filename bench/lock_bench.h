// What lock_bench's main needs of its cases.
#pragma once

// Registers every case with Google Benchmark.
void register_cases();

// The cases a run with no filter runs.
extern const char* const default_filter;
