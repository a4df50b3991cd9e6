#!/usr/bin/python3
"""Google Benchmark's compare.py reads lock_bench's JSON: given two runs, one
a quarter slower than the other, it names every case and sees the change.

usage: compare_test.py COMPARE_PY DATA_DIR"""
import json
import os
import re
import subprocess
import sys
import tempfile

compare, data = sys.argv[1:]
if not os.path.isfile(compare):
    sys.exit(f"FAIL: no {compare} (apt-get install libbenchmark-tools python3-scipy)")
before = os.path.join(data, "lock_bench.json")
with open(before) as f:
    run = json.load(f)
names = {r["run_name"] for r in run["benchmarks"]}
for r in run["benchmarks"]:
    if r["run_type"] == "iteration" or r["aggregate_name"] in ("mean", "median"):
        r["real_time"] *= 1.25

with tempfile.NamedTemporaryFile("w", suffix=".json") as after:
    json.dump(run, after)
    after.flush()
    result = subprocess.run(["/usr/bin/python3", compare, "--no-color", "benchmarks", before, after.name],
                            capture_output=True, text=True)

failed = []
if result.returncode != 0:
    failed.append(f"compare.py exit status {result.returncode}: {result.stderr.strip()[-300:]}")
# a case, then the relative change of its real time and of its CPU time
changes = {m[1]: m[2] for m in re.finditer(r"^(\S+?)(?:_median)?\s+([-+]\d\.\d+)\s", result.stdout, re.M)}
for name in sorted(names):
    if changes.get(name) != "+0.2500":
        failed.append(f"{name}: time change {changes.get(name)}, wanted +0.2500")
for f in failed:
    print("FAIL:", f)
sys.exit(1 if failed else 0)
