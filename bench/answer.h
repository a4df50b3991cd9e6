// lock_bench --verdict: the cases asked, run as often as the verdict needs
// to tell the kinds apart, but no more for kinds already far behind, then
// the verdict itself.
#pragma once
#include <string>
#include <vector>

#include "lock_bench.h"

// Every case gets `first` runs; a case whose faster run is within `reach`
// times the best such run of its scenario gets `later` more. So does
// mutex, what a program has when it does not choose, and in a scenario
// with reads the best kind that shares and the best that does not. On
// this project's recorded runs of five, no kind whose median came within
// 25% of the winner's had its faster first run beyond 1.64 times the best.
constexpr int first = 2, later = 3;
constexpr double reach = 2;

// What the run will cost, said before it starts: the cases, how long they
// will take in all, at least and at most.
std::string announce(const std::vector<listed>& cases, const std::string& file);

// Runs CASES, the registered cases FILTER picks, in the two passes,
// showing progress on a terminal, and returns the JSON of every run, with
// repetitions numbered across both passes. Both passes interleave their
// runs.
std::string two_passes(const std::vector<listed>& cases, const std::string& filter);

// lock_bench-verdict, beside this program.
std::string verdict_tool();

// Runs lock_bench-verdict on FILE; its exit status, or 1 with a line on
// standard error when it cannot be run or is ended by a signal.
int verdict(const std::string& file);
