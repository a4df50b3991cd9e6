#!/usr/bin/python3
"""tools/plot turns lock_bench JSON into a PNG; anything else it refuses with
one `plot:` line, status 1 and no file written.

usage: plot_test.py PLOT DATA_DIR"""
import importlib.machinery
import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from checks import HOSTILE, made_png, png_size, refused, signalled, unwritable

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


def sparse(path):
    """A file at PATH of more bytes than the tools read."""
    with open(path, "wb") as f:
        f.truncate(256 * 2**20 + 1)


source = write("good.json", text)
previous = write("previous.png", "an earlier chart, which a failed run must keep")
write("file", "")
bad_inputs = [  # (what, JSON content, a function making the file or None for none, words the refusal holds)
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
    ("a hold lock_bench writes as 1us", broken(run_name=entry["run_name"].replace("hold:0/", "hold:1000ns/")),
     ["does not write"]),
    ("a thread count with a leading zero", broken(run_name=entry["run_name"].replace("threads:", "threads:0")),
     ["does not write"]),
    ("a time unit that is a list", broken(time_unit=["ns"]), ["time_unit"]),
    ("a time unit that is an object", broken(time_unit={"ns": 1}), ["time_unit"]),
    ("real_time of 0", broken(real_time=0), ["real_time"]),
    ("span_ns below 0", broken(span_ns=-5.0), ["span_ns"]),
    ("span_ns of 0", broken(span_ns=0), ["span_ns"]),
    ("span_ns that is NaN", broken(span_ns=float("nan")), ["span_ns"]),
    ("span_ns that is infinite", broken(span_ns=float("inf")), ["span_ns"]),
    ("span_ns in one entry only", {**good, "benchmarks": [
        {**r, "span_ns": 5.0} if r is entry else r for r in good["benchmarks"]]},
     ["span_ns"]),
    ("a thread count of 5001 digits",
     broken(run_name=entry["run_name"].replace("threads:", "threads:" + "0" * 5000)), ["digits"]),
    ("a thread count too large for a float", broken(run_name=entry["run_name"] + "9" * 400), ["digits"]),
    ("two runs in one file", {**good, "benchmarks": good["benchmarks"] * 2}, ["repeats", "mutex/"]),
    ("endless bytes", lambda path: os.symlink("/dev/zero", path), ["not a regular file"]),
    ("a pipe no one writes to", os.mkfifo, ["not a regular file"]),
    ("more than 256 MiB", sparse, ["larger than 256 MiB"]),
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
    if callable(content):
        content(path)
    elif content is not None:
        write("bad.json", content)
    failed += [f"{what}: {w}" for w in refused(plot, [path, previous], words, folder)]
    if os.path.exists(path):
        os.unlink(path)



# The ping-pong matrix (plot --pingpong): a case per pair of CPUs, the
# diagonal included, each measured once.
def pingpong(a, b, ns, **fields):
    name = f"pingpong/cpu:{a}/cpu:{b}/real_time/threads:2"
    return {"name": name, "run_name": name, "run_type": "iteration", "repetitions": 1,
            "real_time": ns, "time_unit": "ns", "transfer_ns": ns, **fields}


matrix = {"context": good["context"],
          "benchmarks": [pingpong(0, 0, 950.0), pingpong(0, 1, 61.5), pingpong(1, 1, 1010.0)]}
bad_matrices = [  # (what, JSON content or None for no file, words the refusal holds)
    ("a missing file", None, ["cannot read"]),
    ("a truncated file", json.dumps(matrix)[:40], ["is not JSON"]),
    ("lock cases only", text, ["no ping-pong case"]),
    ("failed cases only", {"benchmarks": [pingpong(0, 1, 61.5, error_occurred=True)]},
     ["no ping-pong case"]),
    ("no transfer_ns", {"benchmarks": [{k: v for k, v in pingpong(0, 1, 5.0).items()
                                        if k != "transfer_ns"}]}, ["transfer_ns"]),
    ("transfer_ns as a string", {"benchmarks": [pingpong(0, 1, "61.5")]}, ["transfer_ns"]),
    ("transfer_ns that is NaN", {"benchmarks": [pingpong(0, 1, float("nan"))]}, ["transfer_ns"]),
    ("transfer_ns of 0", {"benchmarks": [pingpong(0, 1, 0)]}, ["transfer_ns"]),
    ("a pair twice", {"benchmarks": matrix["benchmarks"] + [pingpong(0, 1, 600.0)]}, ["repeats", "cpu:1"]),
    ("a CPU of 5001 digits", {"benchmarks": [pingpong(0, "0" * 5000 + "1", 50.0)]}, ["digits"]),
    ("repetitions as a string", {"benchmarks": [pingpong(0, 1, 5.0, repetitions="5")]},
     ["repetitions"]),
    ("more CPUs than lock_bench measures", {"benchmarks": [pingpong(0, b, 50.0) for b in range(65)]},
     ["more than 64 CPUs"]),
]
for what, content, words in bad_matrices:
    path = os.path.join(folder, "bad.json")
    if content is not None:
        write("bad.json", content)
    failed += [f"--pingpong, {what}: {w}"
               for w in refused(plot, ["--pingpong", path, previous], words, folder)]
    if os.path.exists(path):
        os.unlink(path)
failed += [f"--pingpong usage: {w}"
           for w in refused(plot, ["--pingpong", source], ["usage"], folder)]

good_matrices = [  # (what, JSON content, chart)
    ("two CPUs", matrix, "matrix.png"),
    ("repetitions and their aggregates", {"context": {}, "benchmarks": [
        pingpong(0, 1, ns, repetitions=3, repetition_index=i) for i, ns in enumerate((60.0, 70.0, 90.0))] + [
        {**pingpong(0, 1, ns), "run_type": "aggregate", "aggregate_name": a}
        for a, ns in (("mean", 73.0), ("median", 70.0))]}, "repeated.png"),
    ("a sample of CPUs, some pairs missing", {"benchmarks": [
        pingpong(a, b, 40.0 + a + b) for a, b in ((0, 0), (0, 7), (0, 64), (7, 7), (64, 64))]},
     "sample.png"),
    ("hostile names", {**matrix, "context": {"cpu_model": HOSTILE, "date": HOSTILE}},
     HOSTILE + "-matrix.png"),
]
for what, content, chart in good_matrices:
    chart = os.path.join(folder, chart)
    failed += [f"--pingpong, {what}: {w}"
               for w in made_png(plot, ["--pingpong", write("matrix.json", content), chart], chart, folder)]

readonly = os.path.join(folder, "readonly")
os.mkdir(readonly, 0o555)
bad_outputs = [  # (what, chart path, words)
    ("a missing folder", os.path.join(folder, "missing", "chart.png"), ["cannot write"]),
    ("a file for a folder", os.path.join(folder, "file", "chart.png"), ["cannot write"]),
    ("/proc", "/proc/chart.png", ["cannot write"]),
    ("a folder", readonly, ["cannot write", "not a regular file"]),
    ("a pipe", os.path.join(folder, "pipe"), ["cannot write", "not a regular file"]),
    ("a link to a pipe", os.path.join(folder, "to-pipe"), ["cannot write", "not a regular file"]),
    ("the results", source, ["would replace"]),
    ("the results by another name", "./good.json", ["would replace"]),
    ("a link to the results", os.path.join(folder, "to-good.json"), ["would replace"]),
    ("a hard link to the results", os.path.join(folder, "good-too.json"), ["would replace"]),
]
os.mkfifo(os.path.join(folder, "pipe"))
os.symlink("pipe", os.path.join(folder, "to-pipe"))
os.symlink("good.json", os.path.join(folder, "to-good.json"))
os.link(source, os.path.join(folder, "good-too.json"))
if os.geteuid() != 0:  # root writes there all the same
    bad_outputs.append(("a read-only folder", os.path.join(readonly, "chart.png"), ["cannot write"]))
for what, chart, words in bad_outputs:
    failed += [f"{what}: {w}" for w in refused(plot, [source, chart], words, folder)]
# Over the file size limit (ulimit -f) the chart cannot be written whole:
# the earlier one stays, and no part of the new one is left.
failed += [f"a chart over the file size limit: {w}" for w in refused(
    plot, [source, previous], ["cannot write", "File too large"], folder, limit=4096)]

shutil.copy(source, os.path.join(folder, "-5"))
bad_usage = [  # (what, arguments, words the refusal holds)
    ("no arguments", [], ["usage"]),
    ("one path", [source], ["usage"]),
    ("three paths", [source, previous, previous], ["usage"]),
    ("an option where the chart belongs", [source, "--chart"], ["usage"]),
    ("an unknown option", ["--pingpong", "-x", "y.png"], ["usage"]),
    ("a path that starts with -", ["-5", previous], ["usage", "./-5"]),
    ("such a path after --", ["--", "-5", previous], ["usage", "./-5"]),
    ("a missing path with a newline", ["no\nsuch.json", previous], ["cannot read", "no?such.json"]),
    # where the terminal takes only ASCII, the path as the user gave it, its controls masked
    ("a missing path not in ASCII, with controls", ["nö\x1b[2J\x9b.json", previous],
     ["cannot read", "n\\xf6?[2J?.json"], {"PYTHONIOENCODING": "ascii"}),
    ("a chart path not in ASCII in a missing folder", [source, "nö/chart.png"], ["cannot write", "n\\xf6/"],
     {"PYTHONIOENCODING": "ascii"}),
]
for what, args, words, *env in bad_usage:
    failed += [f"{what}: {w}" for w in refused(plot, args, words, folder, {**os.environ, **env[0]} if env else None)]
failed += [f"the help: {w}" for w in unwritable(plot, ["--help"])]
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

# A chart path that is a symbolic link: the file it names gets the chart, the
# link stays.
for what, name, target, earlier in (("a link to an earlier chart", "to-earlier.png", "earlier.png", True),
                                    ("a link to no file yet", "to-new.png", "new.png", False)):
    if earlier:
        write(target, "an earlier chart")
    os.symlink(target, os.path.join(folder, name))
    failed += [f"{what}: {w}" for w in made_png(plot, [source, os.path.join(folder, name)],
                                                os.path.join(folder, target), folder)]

# Stopped while gnuplot draws: one line, 128 + the signal's number, the earlier
# chart as it was and no temporary file; a signal the caller ignores (nohup)
# stays ignored.
write("stopped.png", "an earlier chart")
for what, signum, ignored in (("Ctrl-C", signal.SIGINT, False), ("SIGTERM", signal.SIGTERM, False),
                              ("SIGHUP", signal.SIGHUP, False), ("nohup", signal.SIGHUP, True)):
    wanted = ((0, "", ["stopped.png"]) if ignored else
              (128 + signum, f"plot: stopped by {signal.Signals(signum).name}\n", []))
    got = signalled(plot, [source, "stopped.png"], signum, folder, ignored)
    if got != wanted:
        failed.append(f"{what} while gnuplot draws: {got}, wanted {wanted}")

# What the chart plots: medians in ns, of the repetitions where the file holds
# them, else Google Benchmark's own median.
sys.path.insert(0, os.path.dirname(plot))
import results  # noqa: E402

# A kind loaded from a shared object is timed in a process of its own, by
# hand: the same case of two threads under another name.
key = results.Case("mutex", "unpinned", 0, 0, 0, 2)
for name in ("mutex/unpinned/hold:0/think:0/real_time/threads:2",
             "mutex/unpinned/hold:0/think:0/manual_time/threads:2"):
    runs = {"repetitions": [{"run_name": name, "run_type": "iteration", "repetition_index": i,
                             "real_time": t, "time_unit": "us"} for i, t in enumerate((0.01, 0.02, 0.09))],
            "aggregates": [{"run_name": name, "run_type": "aggregate", "aggregate_name": a, "real_time": t}
                           for a, t in (("mean", 50.0), ("median", 20.0), ("stddev", 1.0))]}
    for what, benchmarks in runs.items():
        try:
            _, cases = results.load(write("medians.json", {"benchmarks": benchmarks}))
        except results.Bad as e:
            cases = str(e)
        if not isinstance(cases, dict) or list(cases) != [key] or cases[key]["ns"] != 20.0:
            failed.append(f"the median of {what} of {name} is not 20 ns of {key}: {cases}")

# What the matrix plots: each pair's median transfer, both ways round.
found = importlib.util.spec_from_loader("plot_tool", importlib.machinery.SourceFileLoader("plot_tool", plot))
tool = importlib.util.module_from_spec(found)
found.loader.exec_module(tool)
repeated = good_matrices[1][1]["benchmarks"]
for what, benchmarks in (("repetitions", repeated[:3]), ("aggregates", [
        {**r, "repetitions": 3, "transfer_ns": ns}
        for r, ns in zip(repeated[3:], (73.0, 70.0))] + [
        {**repeated[3], "aggregate_name": "stddev", "transfer_ns": 12.5}])):
    _, cells, repetitions = tool.pingpong(write("matrix.json", {"benchmarks": benchmarks}))
    if cells != {(0, 1): 70.0, (1, 0): 70.0} or repetitions != 3:
        failed.append(f"the matrix of three {what} is not 70 ns both ways: {cells}, {repetitions}")

shutil.rmtree(folder, ignore_errors=True)
for f in failed:
    print("FAIL:", f)
sys.exit(1 if failed else 0)
