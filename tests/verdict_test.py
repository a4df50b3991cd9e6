#!/usr/bin/python3
"""tools/verdict: what it concludes from small hand-made runs, and how it
refuses what it cannot judge: one `verdict:` line, status 1, no file written.

usage: verdict_test.py VERDICT DATA_DIR"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from checks import HOSTILE, made_png, refused, signalled, unwritable

verdict, data = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
folder = tempfile.mkdtemp()
failed = []


def case(name, times, aggregates_only=False, **counters):
    """Google Benchmark's entries for case NAME with one repetition per time:
    each repetition, then the aggregates."""
    entry = {"name": name, "run_name": name, "run_type": "iteration", "repetitions": len(times),
             "threads": 1 if "processes:" in name else int(name.rsplit(":", 1)[1]), "iterations": 1000, "time_unit": "ns", **counters}
    runs = [{**entry, "repetition_index": i, "real_time": t, "cpu_time": t} for i, t in enumerate(times)]
    ordered = sorted(times)
    for aggregate, value in (("mean", sum(times) / len(times)), ("median", ordered[len(times) // 2]),
                             ("stddev", 0.1), ("cv", 0.01)):
        runs.append({**entry, "name": f"{name}_{aggregate}", "run_type": "aggregate",
                     "aggregate_name": aggregate, "real_time": value, "cpu_time": value})
    return [r for r in runs if r["run_type"] == "aggregate"] if aggregates_only else runs


def cut(name, times, **counters):
    """Case NAME's entries, five repetitions asked for, with only TIMES whole."""
    return [{**r, "repetitions": 5} for r in case(name, times, **counters)]


def write(name, benchmarks, context=None):
    """A file NAME of BENCHMARKS' entries, or of the text BENCHMARKS."""
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(benchmarks if isinstance(benchmarks, str) else json.dumps(
            {"context": context or {"kernel": "6.1.0", "num_cpus": 2}, "benchmarks": benchmarks}))
    return path


def pair(name, spin, mutex):
    """A file NAME of a fast spin and a slow mutex at two threads, each entry
    with the fields SPIN and MUTEX."""
    return write(name, case("spin/" + two, fast, **spin) + case("mutex/" + two, slow, **mutex))


def scenario(output, title):
    """(heading's verdict, text) of scenario TITLE in the report OUTPUT."""
    m = re.search(rf"^### {re.escape(title)}: ([^\n]*)\n(.*?)(?=^#|\Z)", output, re.M | re.S)
    return (m[1], m[2]) if m else (None, "")


def row(text, kind):
    """The cells of KIND's row in one scenario's TEXT: rank, kind, median ns, ..."""
    m = re.search(rf"^\|([^|\n]*\| {kind} \|.*)\|$", text, re.M)
    return [c.strip() for c in m[1].split("|")] if m else []


fast, slow = [10.0, 10.1, 9.9, 10.05, 9.95], [15.0, 15.2, 14.8, 15.1, 14.9]
same = [10.0, 10.3, 9.8, 10.2, 10.1], [10.1, 9.9, 10.4, 10.0, 10.2]
# faster at p = 0.028 one-sided, so not at p = 0.056 two-sided
near = [10.0, 10.2, 10.85, 10.9, 11.0], [10.8, 11.1, 11.2, 11.3, 11.4]
two, four, tail, eight = ("unpinned/hold:0/think:0/real_time/threads:2",
                          "unpinned/hold:0/think:0/real_time/threads:4",
                          "spread/hold:1us/think:0/real_time/threads:2",
                          "unpinned/hold:0/think:0/real_time/threads:8")
starving, three, four_runs = ("spread/hold:0/think:0/real_time/threads:16",
                              "unpinned/hold:0/think:0/real_time/threads:32",
                              "unpinned/hold:0/think:0/real_time/threads:64")


processes = "unpinned/hold:0/think:0/processes:2/manual_time"
loaded = "unpinned/hold:100ns/think:0/real_time/threads:12"


def read(share):
    return f"unpinned/read:{share}/hold:0/think:0/real_time/threads:6"


# a winner that left a thread with no acquisition in two of its five runs
starved = case("spin/" + starving, fast, fairness=0.9, starved=0.0)
for r in starved[:2]:
    r["starved"] = 1.0
run = [
    # a clear winner, spin, over adaptive and mutex, with the baselines below it
    *case("spin/" + two, fast, fairness=0.9, wait_p99=100.0, starved=0.0),
    *case("adaptive/" + two, slow, fairness=0.95, wait_p99=90.0),
    *case("mutex/" + two, [20.0, 20.5, 19.5, 20.2, 60.0], fairness=0.95),
    *case("none/" + two, [0.3] * 5),
    *case("atomic/" + two, [8.0, 8.1, 7.9, 8.05, 7.95]),
    # spin and mutex that the test cannot tell apart, nor at 8 threads
    *case("spin/" + four, same[0]),
    *case("mutex/" + four, same[1]),
    *case("spin/" + eight, near[0]),
    *case("mutex/" + eight, near[1]),
    # a winner with a far worse tail than the runner-up
    *case("spin/" + tail, fast, fairness=0.5, wait_p99=50000.0),
    *case("mutex/" + tail, slow, fairness=0.9, wait_p99=2000.0),
    *case("classic/iterations:10000000/real_time/threads:2", [30.0] * 5),
    *starved,
    *case("mutex/" + starving, slow, fairness=0.9, starved=0.0),
    # runs cut short: three against three cannot reach p < 0.05, four can;
    # mutex's fairness NaN, a figure its runs could not take
    *cut("spin/" + three, fast[:3]),
    *cut("mutex/" + three, slow[:3]),
    *cut("spin/" + four_runs, fast[:4]),
    *cut("mutex/" + four_runs, slow[:4], fairness=float("nan")),
    *cut("adaptive/" + four_runs, slow[:3]),
    # a kind cut in every run, named though it has no figure; and one that
    # lock_bench --verdict ran only twice, far behind
    *[{"name": "ck_ticket/" + four_runs, "run_name": "ck_ticket/" + four_runs, "run_type": "iteration",
       "repetitions": 5, "repetition_index": i, "threads": 64, "error_occurred": True,
       "error_message": "cut"} for i in range(5)],
    *case("tbb_spin/" + four_runs, [100.0, 90.0]),
    # with reads, rwlock sharing against two exclusive kinds: at 90% reads it
    # wins but its writers wait over ten rounds of six threads and 100 times
    # as long as its readers; at 100% mutex wins; at 50% the test cannot
    # tell rwlock from the faster exclusive kind, whose writers wait 100
    # times as long as its readers, but not ten rounds
    *case("rwlock/" + read(90), fast, write_wait_p99=50000.0, read_wait_p99=500.0, writes_share=1.0,
          readers_max=6.0),
    *case("mutex/" + read(90), slow, write_wait_p99=2000.0, writes_share=1.0, readers_max=1.0),
    *case("rwlock/" + read(100), slow, readers_max=6.0),
    *case("mutex/" + read(100), fast, readers_max=1.0),
    *case("rwlock/" + read(50), same[0], write_wait_p99=5000.0, read_wait_p99=50.0, writes_share=0.5),
    *case("mutex/" + read(50), same[1], write_wait_p99=1000.0),
    *case("spin/" + read(50), slow, write_wait_p99=1000.0),
    # processes beside the threads of the first scenario: spin's as fast,
    # mutex's slower; none, a baseline, is no answer
    *case("spin/" + processes, same[1]),
    *case("mutex/" + processes, [65.0, 66.0, 67.0, 68.0, 69.0]),
    *case("none/" + processes, [0.3] * 5),
    # a kind loaded from a shared object (spin here, a kind every scenario
    # has), timed by hand in a process of its own, against a built-in one in
    # the same scenario of threads
    *case("spin/" + loaded.replace("real_time", "manual_time"), fast),
    *case("mutex/" + loaded, slow),
]
source = write("run.json", run, {"kernel": "6.1.0-28-amd64", "glibc": "2.36", "num_cpus": 2,
                                 "cpu_model": "AMD EPYC 7B13", "smt": "off", "load_avg_start": "0.50 0.40 0.30",
                                 "shared_kinds": "rwlock ck_rw", "verdict_runs": "2 each; 3 more for some"})
result = subprocess.run([verdict, source], capture_output=True, text=True)
out = result.stdout
if result.returncode != 0 or result.stderr:
    failed.append(f"a good run: exit status {result.returncode}, stderr {result.stderr!r}")

head, text = scenario(out, "unpinned, hold 0, think 0, 2 threads")
if head != "spin wins":
    failed.append(f"clear winner: {head!r}, wanted spin to win")
if "1.50x as fast as adaptive" not in text or "2.02x as fast as mutex" not in text:
    failed.append(f"clear winner: margins over adaptive (1.50x) and mutex (2.02x) missing:\n{text}")
if "tail" in text:
    failed.append("clear winner: flagged a tail no worse than the runner-up's")
if row(text, "mutex")[2:3] != ["20.2"]:
    failed.append(f"clear winner: mutex's median is not 20.2 ns: {row(text, 'mutex')}")
if not all(row(text, k)[:1] == ["floor"] for k in ("none", "atomic")):
    failed.append("clear winner: the baselines are not shown as the floor")

head, text = scenario(out, "unpinned, hold 0, think 0, 4 threads")
if head not in ("tie: spin, mutex", "tie: mutex, spin"):
    failed.append(f"no significant difference: {head!r}, wanted a tie of spin and mutex")
head, text = scenario(out, "unpinned, hold 0, think 0, 8 threads")
if head != "tie: spin, mutex":
    failed.append(f"a difference a one-sided test would take: {head!r}, wanted a tie")

head, text = scenario(out, "spread, hold 1us, think 0, 2 threads")
if head != "spin wins" or not re.search(r"tail.*fairness 0.50.*wait p99", text):
    failed.append(f"bad tail: {head!r}, wanted spin to win with its fairness and wait p99 flagged:\n{text}")
if "classic" in out:
    failed.append("the classic case is judged")
head, text = scenario(out, "spread, hold 0, think 0, 16 threads")
if head != "spin wins" or "starved in 2 of 5 runs" not in text:
    failed.append(f"starved threads: {head!r}, wanted spin to win with its starved runs flagged:\n{text}")
head, text = scenario(out, "unpinned, hold 0, think 0, 32 threads")
if head != "not decided" or "Not ranked" not in text or "mutex, spin" not in text:
    failed.append(f"three runs against three: {head!r}, wanted no verdict, both named:\n{text}")
head, text = scenario(out, "unpinned, hold 0, think 0, 64 threads")
if head != "spin wins":
    failed.append(f"four runs against four: {head!r}, wanted spin to win")
if row(text, "adaptive")[:1] != ["not ranked"]:
    failed.append(f"a kind of three runs beside four: {row(text, 'adaptive')}, wanted it not ranked")
if not re.search(r"^Not ranked, .*: adaptive, ck_ticket\.$", text, re.M):
    failed.append(f"a kind cut in every run is not named among those not ranked:\n{text}")
if row(text, "tbb_spin")[:1] != ["behind"] or not re.search(r"^Far behind .*: tbb_spin\.$", text, re.M):
    failed.append(f"a kind left behind after its first runs: {row(text, 'tbb_spin')}:\n{text}")

# shared or exclusive, per scenario with reads: best of each side, margin,
# p, answer, and writers starved by a shared winner
answers = {m[0]: m[1:] for m in re.findall(
    r"^\| unpinned \| (\d+)% \| 0 \| 0 \| 6 \| (\w+) \| (\w+) \| ([\d.]+)x \| ([\d.]+) \| (.*) \|$", out, re.M)}
wanted = {"90": ("rwlock", "mutex", "1.50", "0.008", "shared, starves writers: write wait p99 50,000 ns "
                 "against 500 for reads"),
          "100": ("rwlock", "mutex", "1.50", "0.008", "exclusive"),
          "50": ("rwlock", "mutex", "1.00", "0.916", "either")}
if answers != wanted:
    failed.append(f"shared or exclusive: {answers}, wanted {wanted}")
head, text = scenario(out, "unpinned, 90% reads, hold 0, think 0, 6 threads")
if head != "rwlock wins" or row(text, "rwlock")[-4:] != ["500", "50,000", "1", "6"]:
    failed.append(f"a scenario with reads: {head!r}, rwlock's row {row(text, 'rwlock')}")

# threads or processes: each kind's processes against its threads, with p
answers = re.findall(r"^\| unpinned \| 0 \| 0 \| 2 \| (\w+) \| ([\d.]+) \| ([\d.]+) \| ([\d.]+)x \| "
                     r"([\d.]+) \| (.*) \|$", out, re.M)
wanted = [("mutex", "20.2", "67", "3.32", "0.008", "processes slower"),
          ("spin", "10", "10.1", "1.01", "0.343", "same")]
if answers != wanted:
    failed.append(f"threads or processes: {answers}, wanted {wanted}")
head, text = scenario(out, "unpinned, hold 100ns, think 0, 12 threads")
if head != "spin wins" or row(text, "mutex")[:1] != ["2"]:
    failed.append(f"a loaded kind against a built-in one: {head!r}, wanted spin to win over mutex:\n{text}")
head, text = scenario(out, "unpinned, hold 0, think 0, 2 processes")
if head != "spin wins":
    failed.append(f"a scenario of processes: {head!r}, wanted spin to win")
if "Not ranked" in text:
    failed.append(f"a scenario of processes names kinds run only as threads:\n{text}")

# per thread count: who wins or ties most, and how often mutex comes within 10%
summary = dict(re.findall(r"^\| (\d+) \| \d+ \| (.*) \|$", out, re.M))
if summary.get("2") != "spin (2) | 0 of 2" or summary.get("4") != "mutex, spin (1) | 1 of 1":
    failed.append(f"summary by threads: {summary}")
for key in ("kernel", "glibc", "CPU", "SMT", "load average"):
    if not re.search(rf"^- {key}\b.*:", out, re.M):
        failed.append(f"the summary does not give the {key}")

# Whatever the terminal's encoding and whatever the file holds, the report
# is printed, and nothing of the file reaches the terminal as a control: each
# context value stays on its line.
context = {"kernel": "6.1.0", "host_name": "vm", "shared_kinds": "rwlock ck_rw"}
controls = "\x1b]0;title\x07\x1b[2J\nnext\r\x9b1m\u202e\x00"
for what, fields, encoding, wanted in (  # (what, context fields, PYTHONIOENCODING, a line of the report)
        ("a host name not in ASCII", {"host_name": "hôte"}, "utf-8", r"- host: hôte"),
        ("a host name not in ASCII, on an ASCII terminal", {"host_name": "hôte"}, "ascii",
         r"- host: h\\xf4te"),
        ("a CPU not in ASCII, on a Latin-1 terminal", {"cpu_model": "Prozessor \u2122 ô"}, "latin-1",
         r"- CPU: Prozessor \\u2122 ô"),
        ("controls in the host name", {"host_name": "h" + controls}, "utf-8", r"- host: h \]0;title  \[2J next  1m  "),
        ("controls in a kind that shares", {"shared_kinds": f"rwlock {controls} ck_rw"}, "utf-8",
         r"The best kind that shares \(ck_rw, next, rwlock\) .*"),
        ("a kind that shares not in ASCII, on an ASCII terminal", {"shared_kinds": "rwlock ck_rw rw\u00f6"},
         "ascii", r"The best kind that shares \(ck_rw, rwlock\) .*")):
    result = subprocess.run([verdict, write("context.json", run, {**context, **fields})], capture_output=True,
                            env={**os.environ, "PYTHONIOENCODING": encoding})
    printed = result.stdout.decode(encoding)
    if result.returncode != 0 or result.stderr:
        failed.append(f"{what}: exit status {result.returncode}, stderr {result.stderr[-300:]!r}")
    elif not re.search(rf"^{wanted}$", printed, re.M):
        failed.append(f"{what}: no line {wanted!r} in the report")
    if not all(c.isprintable() or c == "\n" for c in printed):
        failed.append(f"{what}: controls in the report: "
                      f"{sorted({c for c in printed if not c.isprintable() and c != chr(10)})}")

# What it refuses
few = write("few.json", case("spin/" + two, fast[:4]) + case("mutex/" + two, slow[:4]))
aggregates = write("summary.json", case("spin/" + two, fast, aggregates_only=True)
                   + case("mutex/" + two, slow, aggregates_only=True))
baselines = write("baselines.json", case("none/" + two, fast) + case("atomic/" + two, slow))
allcut = write("allcut.json", case("none/" + two, fast) + [
    {"name": "ck_ticket/" + two, "run_name": "ck_ticket/" + two, "run_type": "iteration", "repetitions": 5,
     "repetition_index": 0, "threads": 2, "error_occurred": True, "error_message": "cut"}])
empty = write("empty.json", "")
with open(source) as f:
    truncated = write("truncated.json", f.read()[:300])
shape = write("shape.json", [1, "x"])
typed = write("typed.json", [{**case("spin/" + two, fast)[0], "fairness": "high"}])
other = os.path.join(data, "other.json")
twice = write("twice.json", run + run)
named_long = write("long.json", [{**r, "run_name": r["run_name"].replace("threads:", "threads:" + "0" * 5000)}
                                 for r in case("spin/" + two, fast)])
command = "--benchmark_repetitions=5"
previous = write("previous.png", "an earlier heatmap, which a failed run must keep")
bad = [  # (what, arguments, words the refusal holds)
    ("no arguments", [], ["usage"]),
    ("two files", [source, source], ["usage"]),
    ("--chart without a file", [source, "--chart"], ["usage"]),
    ("a missing file", [os.path.join(folder, "missing.json")], ["cannot read"]),
    ("an empty file", [empty], ["empty"]),
    ("a truncated file", [truncated], ["not JSON"]),
    ("benchmarks that are not objects", [shape], ["run_name"]),
    ("fairness as a string", [typed], ["fairness"]),
    ("Google Benchmark output of another program", [other], ["not lock_bench output"]),
    ("baselines only", [baselines], ["no lock case"]),
    ("every lock case cut", [allcut], ["every lock case", "cut or failed"]),
    ("four repetitions", [few], ["5 or more repetitions", command]),
    ("aggregates only", [aggregates], ["only aggregates", command]),
    ("a heatmap in a missing folder", ["--chart", os.path.join(folder, "no", "map.png"), source],
     ["cannot write"]),
    ("a heatmap over a folder", ["--chart", folder, source], ["not a regular file"]),
    ("a heatmap in /proc", ["--chart", "/proc/map.png", source], ["cannot write"]),
    ("a heatmap without gnuplot", ["--chart", previous, source], ["gnuplot"]),
    ("the heatmap over the results", ["--chart", source, source], ["would replace"]),
    ("an option where the heatmap belongs", ["--chart", "--pingpong", source], ["usage"]),
    ("an option as the heatmap", ["--chart=--pingpong", source], ["usage", "./--pingpong"]),
    ("two runs in one file", [twice], ["repeats", "spin/"]),
    ("a case under both time types", [write("both.json", case("spin/" + loaded, fast) + case(
        "spin/" + loaded.replace("real_time", "manual_time"), fast))], ["by another name", "spin/"]),
    ("a thread count of 5001 digits", [named_long], ["digits"]),
    *[(f"a read share of {share}", [write(f"read{i}.json", case(f"spin/unpinned/read:{share}/hold:0/think:0/"
                                                                 "real_time/threads:2", fast))],
       ["name lock_bench does not write"]) for i, share in enumerate(("0", "101", "090"))],
    ("a time unit that is an object", [pair("unit.json", {"time_unit": {"ns": 1}}, {})], ["time_unit"]),
    ("endless bytes", ["/dev/zero"], ["not a regular file"]),
    ("span_ns below 0", [pair("span1.json", {"span_ns": -5.0}, {"span_ns": 15.0})], ["span_ns"]),
    ("span_ns NaN", [pair("span2.json", {"span_ns": float("nan")}, {"span_ns": 15.0})], ["span_ns"]),
    ("span_ns infinite", [pair("span3.json", {"span_ns": 10.0}, {"span_ns": float("inf")})], ["span_ns"]),
    ("span_ns in one kind only", [pair("span4.json", {"span_ns": 100.0}, {})], ["span_ns"]),
]
bad += [  # and where the terminal takes only ASCII, with the path as the user gave it
    ("a missing path with controls and a character not in ASCII", [os.path.join(folder, "nö\x1b[2J\n.json")],
     ["cannot read", "n\\xf6?[2J?.json"], {"PYTHONIOENCODING": "ascii"}),
    ("an unknown option with controls", ["--x\x9b\x07", source], ["usage", "--x??"], {"PYTHONIOENCODING": "ascii"}),
]
for what, args, words, *env in bad:
    env = {**os.environ, "PATH": "/nonexistent"} if "gnuplot" in what else {**os.environ, **env[0]} if env else None
    failed += [f"{what}: {w}" for w in refused(verdict, args, words, folder, env)]

# Standard output that cannot take the report, or the help: a line on
# stderr and status 1, never a part of the report and status 0.
failed += unwritable(verdict, [source])
failed += [f"the help: {w}" for w in unwritable(verdict, ["--help"])]

# The heatmap: a PNG and no other file, whatever its name; through a link,
# the file the link names.
named = os.path.join(folder, HOSTILE + ".png")
failed += [f"heatmap: {w}" for w in made_png(verdict, [source, "--chart", named], named, folder)]
os.symlink("previous.png", os.path.join(folder, "to-previous.png"))
failed += [f"heatmap through a link: {w}"
           for w in made_png(verdict, [source, "--chart", "to-previous.png"], previous, folder)]

# Stopped while gnuplot draws the heatmap: one line, 128 + the signal's number,
# no file changed.
for signum in (signal.SIGINT, signal.SIGTERM):
    wanted = (128 + signum, f"verdict: stopped by {signal.Signals(signum).name}\n", [])
    got = signalled(verdict, ["--chart", previous, source], signum, folder)
    if got != wanted:
        failed.append(f"{signal.Signals(signum).name} while gnuplot draws: {got}, wanted {wanted}")

shutil.rmtree(folder, ignore_errors=True)
for f in failed:
    print("FAIL:", f)
sys.exit(1 if failed else 0)
