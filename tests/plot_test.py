#!/usr/bin/python3
"""tools/plot turns lock_bench JSON into a PNG; anything else it refuses with
one `plot:` line, status 1 and no file written.

usage: plot_test.py PLOT DATA_DIR"""
import json
import os
import shutil
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from checks import HOSTILE, made_png, png_size, refused

plot, data = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
folder = tempfile.mkdtemp()
failed = []


def write(name, content):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(content if isinstance(content, str) else json.dumps(content))
    return path


with open(os.path.join(data, "lock_bench.json")) as f:
    good = json.load(f)
text = json.dumps(good)
entry = next(r for r in good["benchmarks"] if r["run_name"].startswith("mutex/unpinned/"))


def only(keep):
    """The good run with only the benchmarks KEEP likes."""
    return {**good, "benchmarks": [r for r in good["benchmarks"] if keep(r["run_name"])]}


def broken(**fields):
    """A run with one unpinned mutex entry whose FIELDS are replaced."""
    return {"context": {}, "benchmarks": [{**entry, **fields}]}


source = write("good.json", text)
previous = write("previous.png", "an earlier chart, which a failed run must keep")
write("file", "")
bad_inputs = [  # (what, JSON content or None for no file, words the refusal holds)
    ("a missing file", None, ["cannot read"]),
    ("an empty file", "\n", ["is empty"]),
    ("a truncated file", text[:len(text) // 2], ["is not JSON"]),
    ("nesting too deep for the parser", "[" * 100000, ["is not JSON"]),
    ("a list of runs", [{"run_name": 5}], ["not Google Benchmark JSON"]),
    ("a context that is no object", {"context": [], "benchmarks": []}, ["not Google Benchmark JSON"]),
    ("benchmarks that are not objects", {"benchmarks": [1, "x"]}, ["benchmarks[0]", "run_name"]),
    ("a run_name that is a number", {"benchmarks": [{"run_name": 5}]}, ["run_name"]),
    ("real_time as a string", broken(real_time="12"), ["real_time"]),
    ("real_time that is NaN", broken(real_time=float("nan")), ["real_time"]),
    ("real_time too large for a float", "{\"benchmarks\": [" + json.dumps(entry)[:-1]
     + ", \"real_time\": 1" + "0" * 400 + "}]}", ["real_time"]),
    ("an unknown time unit", broken(time_unit="fortnights"), ["time_unit"]),
    ("repetitions as a string", broken(repetitions="5"), ["repetitions"]),
    ("handoffs as a string", broken(handoffs="0.5"), ["handoffs"]),
    ("Google Benchmark output of another program", open(os.path.join(data, "other.json")).read(),
     ["not lock_bench output"]),
    ("baselines only", only(lambda n: n.split("/")[0] in ("none", "atomic")), ["needs", "unpinned"]),
    ("pinned cases only", only(lambda n: "/unpinned/" not in n), ["needs", "unpinned"]),
    ("the classic case only", only(lambda n: n.startswith("classic/")), ["needs", "unpinned"]),
]
for what, content, words in bad_inputs:
    path = os.path.join(folder, "bad.json")
    if content is not None:
        write("bad.json", content)
    failed += [f"{what}: {w}" for w in refused(plot, [path, previous], words, folder)]
    if os.path.exists(path):
        os.unlink(path)

readonly = os.path.join(folder, "readonly")
os.mkdir(readonly, 0o555)
bad_outputs = [  # (what, chart path, words)
    ("a missing folder", os.path.join(folder, "missing", "chart.png"), ["cannot write"]),
    ("a file for a folder", os.path.join(folder, "file", "chart.png"), ["cannot write"]),
    ("/proc", "/proc/chart.png", ["cannot write"]),
    ("a folder", readonly, ["cannot write", "not a regular file"]),
    ("a pipe", os.path.join(folder, "pipe"), ["cannot write", "not a regular file"]),
]
os.mkfifo(os.path.join(folder, "pipe"))
if os.geteuid() != 0:  # root writes there all the same
    bad_outputs.append(("a read-only folder", os.path.join(readonly, "chart.png"), ["cannot write"]))
for what, chart, words in bad_outputs:
    failed += [f"{what}: {w}" for w in refused(plot, [source, chart], words, folder)]

failed += [f"usage: {w}" for w in refused(plot, [source], ["usage"], folder)]
failed += [f"no gnuplot: {w}" for w in refused(plot, [source, previous], ["gnuplot"], folder,
                                                 env={**os.environ, "PATH": "/nonexistent"})]

# Good runs make their PNG and no other file: whatever names the run and the
# chart's path hold, over an earlier chart, and run through a symbolic link as
# installed, where results.py is found only through the link's target.
link = os.path.join(folder, "bin", "lock_bench-plot")
os.mkdir(os.path.dirname(link))
os.symlink(plot, link)
installed = {**os.environ, "PYTHONSAFEPATH": "1"}
good_runs = [  # (what, tool, run, chart, environment)
    ("a lock_bench run", plot, source, "all.png", None),
    ("over an earlier chart", plot, source, previous, None),
    ("aggregates only", plot, write("aggregates.json", {**good, "benchmarks": [
        r for r in good["benchmarks"] if r["run_type"] == "aggregate"]}), "medians.png", None),
    ("no context", plot, write("bare.json", {"benchmarks": good["benchmarks"]}), "bare.png", None),
    ("hostile names", plot, write("hostile.json", {**good, "context": {
        **good["context"], "cpu_model": HOSTILE, "host_name": HOSTILE, "date": HOSTILE}}),
     HOSTILE + ".png", None),
    ("handoffs only", plot, write("plain.json", {**good, "benchmarks": [
        {k: v for k, v in r.items() if k not in ("fairness", "wait_p99")} for r in good["benchmarks"]]}),
     "plain.png", None),
    ("one hold level", plot, write("hold0.json", only(lambda n: "/hold:0/" in n)), "hold0.png", None),
    ("through a link", link, source, "linked.png", installed),
]
for what, tool, run, chart, env in good_runs:
    chart = os.path.join(folder, chart)
    failed += [f"{what}: {w}" for w in made_png(tool, [run, chart], chart, folder, env)]

# A panel per counter the run has, a row of panels per hold level.
size = {name: png_size(os.path.join(folder, name + ".png")) for name in ("all", "plain", "hold0")}
if not size["plain"][0] < size["all"][0]:
    failed.append("a run with handoffs only has as many panels as one with fairness and wait_p99")
if not size["hold0"][1] < size["all"][1]:
    failed.append("a run of one hold level has as many rows as one of two")

# What the chart plots: medians in ns, of the repetitions where the file holds
# them, else Google Benchmark's own median.
sys.path.insert(0, os.path.dirname(plot))
import results  # noqa: E402

key, name = ("mutex", "unpinned", 0, 0, 2), "mutex/unpinned/hold:0/think:0/real_time/threads:2"
runs = {"repetitions": [{"run_name": name, "run_type": "iteration", "real_time": t, "time_unit": "us"}
                        for t in (0.01, 0.02, 0.09)],
        "aggregates": [{"run_name": name, "run_type": "aggregate", "aggregate_name": a, "real_time": t}
                       for a, t in (("mean", 50.0), ("median", 20.0), ("stddev", 1.0))]}
for what, benchmarks in runs.items():
    _, cases = results.load(write("medians.json", {"benchmarks": benchmarks}))
    if cases.get(key, {}).get("ns") != 20.0:
        failed.append(f"the median of {what} is not 20 ns: {cases.get(key)}")

shutil.rmtree(folder, ignore_errors=True)
for f in failed:
    print("FAIL:", f)
sys.exit(1 if failed else 0)
