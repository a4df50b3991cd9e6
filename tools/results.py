"""What tools/plot and tools/verdict share: reading lock_bench's JSON, the
kinds' colours and a gnuplot run that writes a PNG safely."""
import colorsys
import json
import os
import re
import statistics
import subprocess
import tempfile
import zlib

# KIND/PLACE/hold:H/think:T/real_time/threads:N
CASE = re.compile(r"(\w+)/([a-z_]+)/hold:(\d+)/think:(\d+)/real_time/threads:(\d+)", re.ASCII)
BASELINES = ("none", "atomic")  # not locks: the loop alone, one atomic exchange
COUNTERS = ("handoffs", "fairness", "wait_p50", "wait_p99", "wait_p999", "wait_max",
            "starved", "overlap", "span_ns")
UNITS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}

# One colour per kind in every chart; kinds not listed get one from their name.
COLOURS = {
    "mutex": "#1f77b4", "adaptive": "#17becf", "pi_mutex": "#393b79", "rwlock": "#9c9ede",
    "std_mutex": "#2ca02c", "spin": "#d62728", "ck_fas": "#ff7f0e", "ck_ticket": "#8c564b",
    "ck_mcs": "#e377c2", "ck_clh": "#bcbd22", "tbb_spin": "#9467bd", "tbb_queuing": "#637939",
    "tbb_mutex": "#843c39", "absl_mutex": "#e7ba52", "none": "#7f7f7f", "atomic": "#000000",
}


class Bad(Exception):
    """Input the tools refuse; the message is the line the user sees."""


def colour(kind):
    if kind in COLOURS:
        return COLOURS[kind]
    r, g, b = colorsys.hsv_to_rgb(zlib.crc32(kind.encode()) / 2**32, 0.65, 0.7)
    return f"#{round(r * 255):02x}{round(g * 255):02x}{round(b * 255):02x}"


def safe(text, limit=80):
    """TEXT cut down to characters that mean nothing to gnuplot inside quotes."""
    return " ".join(re.sub(r"[^A-Za-z0-9 .,:;()/+=%_-]", " ", str(text)).split())[:limit]


def number(value):
    """Whether VALUE is a JSON number small enough to scale and sum (no NaN,
    no infinity, below 1e100)."""
    return isinstance(value, (int, float)) and not isinstance(value, bool) and abs(value) < 1e100


def read(path):
    """(context, runs) from the Google Benchmark JSON at PATH: its context
    object and its list of benchmarks, not yet checked one by one."""
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError as e:
        raise Bad(f"cannot read {path}: {e.strerror}")
    if not text.strip():
        raise Bad(f"{path} is empty")
    try:
        results = json.loads(text)
    except (ValueError, RecursionError) as e:
        raise Bad(f"{path} is not JSON: {e}")
    runs = results.get("benchmarks") if isinstance(results, dict) else None
    context = results.get("context", {}) if isinstance(results, dict) else None
    if not isinstance(runs, list) or not isinstance(context, dict):
        raise Bad(f"{path} is not Google Benchmark JSON (no context and list of benchmarks)")
    return context, runs


def load(path):
    """(context, cases) from lock_bench's JSON at PATH.

    cases maps (kind, place, hold, think, threads) to {"times": the real time
    of each repetition in ns (empty when the file holds aggregates only),
    "ns": their median, "repetitions": R, and the median of each counter
    present}. Cases that reported an error are left out."""
    context, runs = read(path)
    found, seen = {}, False
    for i, r in enumerate(runs):
        where = f"{path}: benchmarks[{i}]"
        if not isinstance(r, dict) or not isinstance(r.get("run_name"), str):
            raise Bad(f"{where} has no run_name")
        m = CASE.fullmatch(r["run_name"])
        seen = seen or bool(m) or r["run_name"].startswith(("classic/", "pingpong/"))
        if not m or r.get("error_occurred") is True:
            continue
        run_type, aggregate = r.get("run_type", "iteration"), r.get("aggregate_name")
        if run_type == "aggregate" and aggregate != "median":
            continue
        if run_type not in ("iteration", "aggregate"):
            raise Bad(f"{where} has run_type {safe(run_type)!r}")
        if not number(r.get("real_time")) or r["real_time"] < 0:
            raise Bad(f"{where} has no real_time (a number of at least 0)")
        if r.get("time_unit", "ns") not in UNITS:
            raise Bad(f"{where} has time_unit {safe(r['time_unit'])!r}, not one of ns us ms s")
        repetitions = r.get("repetitions", 1)
        if not isinstance(repetitions, int) or isinstance(repetitions, bool) or repetitions < 1:
            raise Bad(f"{where} has repetitions that are not a count")
        for name in COUNTERS:  # NaN stands for a figure the run could not take
            if name in r and (isinstance(r[name], bool) or not isinstance(r[name], (int, float))):
                raise Bad(f"{where} has {name} that is not a number")

        kind, place, hold, think, threads = m.groups()
        case = found.setdefault((kind, place, int(hold), int(think), int(threads)),
                                {"runs": [], "median": None, "repetitions": 1})
        case["repetitions"] = max(case["repetitions"], repetitions)
        if run_type == "iteration":
            case["runs"].append(r)
        else:
            case["median"] = r
    if not seen:
        raise Bad(f"{path} is not lock_bench output (no KIND/PLACE/hold:H/think:T/real_time/threads:N case)")

    cases = {}
    for key, case in found.items():
        # The median of the repetitions; Google Benchmark's own where only it is left.
        # The wall span over all threads' acquisitions where lock_bench gave it:
        # Google Benchmark's real time averages the threads' own times, and
        # under an unfair lock the threads that finish first pull it down.
        runs = case["runs"] or [case["median"]]
        if all(number(r.get("span_ns")) for r in runs):
            times = [r["span_ns"] for r in runs]
        else:
            times = [r["real_time"] * UNITS[r.get("time_unit", "ns")] for r in runs]
        summary = {"times": times if case["runs"] else [], "ns": statistics.median(times),
                   "repetitions": case["repetitions"]}
        for name in COUNTERS:
            values = [r[name] for r in runs if number(r.get(name))]
            if values:
                summary[name] = statistics.median(values)
        cases[key] = summary
    return context, cases


def render(script, target):
    """Run gnuplot on SCRIPT, which must print a PNG on standard output, and
    write that to TARGET through a temporary file beside it and a rename.
    Neither TARGET's name nor anything else reaches gnuplot but SCRIPT."""
    if os.path.lexists(target) and not os.path.isfile(target):
        raise Bad(f"cannot write {target}: not a regular file")
    try:
        fd, temporary = tempfile.mkstemp(prefix=".chart-", dir=os.path.dirname(target) or ".")
    except OSError as e:
        raise Bad(f"cannot write {target}: {e.strerror}")
    try:
        with os.fdopen(fd, "wb") as f:
            try:
                run = subprocess.run(["gnuplot", "-d"], input=script.encode(), capture_output=True)
            except OSError as e:
                raise Bad(f"cannot run gnuplot ({e.strerror}); apt-get install gnuplot-nox")
            if run.returncode != 0 or not run.stdout.startswith(b"\x89PNG\r\n\x1a\n"):
                said = [line.strip() for line in run.stderr.decode(errors="replace").splitlines()]
                said = [line for line in said if line] or [f"status {run.returncode}"]
                raise Bad(f"gnuplot made no PNG: {said[-1][:200]}")
            f.write(run.stdout)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, target)
    except OSError as e:
        raise Bad(f"cannot write {target}: {e.strerror}")
    finally:
        if os.path.lexists(temporary):
            os.unlink(temporary)
