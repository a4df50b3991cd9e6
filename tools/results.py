"""What tools/plot and tools/verdict share: their arguments and how they stop,
reading lock_bench's JSON, the kinds' colours and a gnuplot run that writes
a PNG safely."""
import argparse
import collections
import colorsys
import errno
import json
import os
import re
import signal
import stat
import statistics
import subprocess
import sys
import tempfile
import zlib

# KIND/PLACE/hold:H/think:T/real_time/threads:N, H and T times as in DURATION;
# with reads, KIND/PLACE/read:R/hold:H/think:T/real_time/threads:N, R of 100
# acquisitions reads; a kind loaded from a shared object, timed in a child
# process, has manual_time for real_time, and is the same case of N threads;
# with N processes, KIND/PLACE/hold:H/think:T/processes:N/manual_time
CASE = re.compile(r"(\w+)/([a-z_]+)/(?:read:(\d+)/)?hold:(0|\d+[nmu]s)/think:(0|\d+[nmu]s)"
                  r"/(?:(?:real|manual)_time/threads:(\d+)|processes:(\d+)/manual_time)", re.ASCII)
# A case's key: its name's parts, read a percentage, hold and think in ns;
# threads counts processes where processes is true.
Case = collections.namedtuple("Case", "kind place read hold think threads processes",
                              defaults=(False,))
DURATION = {"ns": 1, "us": 1000, "ms": 1000000}  # a time in a case name: 0, 100ns, 1us, 2ms
BASELINES = ("none", "atomic")  # not locks: the loop alone, one atomic exchange
COUNTERS = ("handoffs", "fairness", "wait_p50", "wait_p99", "wait_p999", "wait_max",
            "starved", "overlap", "span_ns", "read_wait_p99", "write_wait_p99", "write_wait_max",
            "writes_share", "readers_max")
UNITS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
LARGEST = 256 * 2**20  # bytes of JSON read; lock_bench writes a few MB
DIGITS = 18  # of a number in a case's name
STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

# Whatever the locale or PYTHONIOENCODING, a character the terminal's
# encoding lacks is written as an escape, not a traceback: before anything
# is printed.
for _stream in (sys.stdout, sys.stderr):
    try:
        _stream.reconfigure(errors="backslashreplace")
    except (AttributeError, OSError, ValueError):  # closed, or not a text stream
        pass

# One colour per kind in every chart; kinds not listed get one from their name.
COLOURS = {
    "mutex": "#1f77b4", "adaptive": "#17becf", "pi_mutex": "#393b79", "rwlock": "#9c9ede",
    "std_mutex": "#2ca02c", "spin": "#d62728", "ck_fas": "#ff7f0e", "ck_ticket": "#8c564b",
    "ck_mcs": "#e377c2", "ck_clh": "#bcbd22", "tbb_spin": "#9467bd", "tbb_queuing": "#637939",
    "tbb_mutex": "#843c39", "absl_mutex": "#e7ba52", "none": "#7f7f7f", "atomic": "#000000",
}
# The context key under which lock_bench names the kinds that can be shared.
SHARED = "shared_kinds"


class Bad(Exception):
    """Input the tools refuse; the message is the line the user sees."""


class Stopped(BaseException):
    """A signal in STOPS, raised where the tool is so that its cleanup runs."""


def stop(signum, frame):
    for s in STOPS:  # a second signal must not cut the cleanup short
        signal.signal(s, signal.SIG_IGN)
    raise Stopped(signum)


def printable(text, mask="?"):
    """TEXT with every character a terminal could take for a control (newline,
    ESC and the other C0 and C1 controls, format characters) as MASK."""
    return "".join(c if c.isprintable() else mask for c in str(text))


def fail(tool, message, status):
    """Exit with STATUS after MESSAGE as one line on standard error."""
    for s in STOPS:  # a signal now would only cut the line short
        signal.signal(s, signal.SIG_IGN)
    line = printable(f"{tool}: {message}")
    if sys.stderr:
        try:
            print(line, file=sys.stderr, flush=True)
        except (OSError, ValueError):
            pass
    sys.exit(status)


def run(tool, main):
    """Run MAIN, the whole of TOOL: a refusal ends it with status 1, a signal
    in STOPS with 128 + its number, each with one line on standard error."""
    for s in STOPS:
        if signal.getsignal(s) is not signal.SIG_IGN:  # ignored stays ignored, as under nohup
            signal.signal(s, stop)
    # Over the file size limit (ulimit -f) a write then fails with EFBIG,
    # which show() reports, instead of the signal ending the tool unheard.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    try:
        main()
    except Bad as e:
        fail(tool, e, 1)
    except Stopped as e:
        fail(tool, f"stopped by {signal.Signals(e.args[0]).name}", 128 + e.args[0])


def show(text):
    """Write TEXT, the whole of the tool's output, on standard output at once;
    Bad unless every byte of it was written. Unbuffered (PYTHONUNBUFFERED)
    Python drops what a short write leaves, as one over the file size limit
    is: these writes are counted."""
    if sys.stdout is None:
        raise Bad("standard output is closed")
    data = text.encode(sys.stdout.encoding or "utf-8", "backslashreplace")
    try:
        sys.stdout.flush()
        fd, left = sys.stdout.fileno(), memoryview(data)
        while left:
            written = os.write(fd, left)
            if written <= 0:
                raise OSError(errno.EIO, os.strerror(errno.EIO))
            left = left[written:]
    except OSError as e:
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())  # nothing left to flush
        except (OSError, ValueError):
            pass
        raise Bad(f"cannot write to standard output: {e.strerror or e}")


class Parser(argparse.ArgumentParser):
    """argparse whose usage errors are one line, status 1."""

    def error(self, message):
        raise Bad(f"{' '.join(self.format_usage().split())}: {message}")

    def print_help(self, file=None):
        show(self.format_help())


def arguments(parser):
    """PARSER's source and chart (None when not asked for): paths, not option
    names, and the chart not the source under another name."""
    args = parser.parse_args()
    for path in (args.source, args.chart):
        if path is not None and path.startswith("-"):
            parser.error(f"{path}: a path may not start with - (write ./{path})")
    try:
        same = args.chart is not None and os.path.samefile(args.source, args.chart)
    except OSError:  # no chart yet, or no source, which read() names
        same = False
    if same:
        raise Bad(f"{args.chart} is {args.source}: the chart would replace the results")
    return args


def nanoseconds(name):
    """A time in a case's name, such as 100ns or 1us, in ns."""
    return 0 if name == "0" else int(name[:-2]) * DURATION[name[-2:]]


def duration(ns):
    """NS as lock_bench writes it in a case's name: 0, 100ns, 1us, 2ms."""
    for unit, size in sorted(DURATION.items(), key=lambda u: -u[1]):
        if ns and ns % size == 0:
            return f"{ns // size}{unit}"
    return "0"


def colour(kind):
    if kind in COLOURS:
        return COLOURS[kind]
    r, g, b = colorsys.hsv_to_rgb(zlib.crc32(kind.encode()) / 2**32, 0.65, 0.7)
    return f"#{round(r * 255):02x}{round(g * 255):02x}{round(b * 255):02x}"


def safe(text, limit=80):
    """TEXT cut down to characters that mean nothing to gnuplot inside quotes,
    where a tic label is a format: no %."""
    return " ".join(re.sub(r"[^A-Za-z0-9 .,:;()/+=_-]", " ", str(text)).split())[:limit]


def number(value):
    """Whether VALUE is a JSON number small enough to scale and sum (no NaN,
    no infinity, below 1e100)."""
    return isinstance(value, (int, float)) and not isinstance(value, bool) and abs(value) < 1e100


def read(path):
    """(context, runs) from the Google Benchmark JSON at PATH: its context
    object and its list of benchmarks, not yet checked one by one."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):  # a FIFO would hang, a device never end
            raise Bad(f"cannot read {path}: not a regular file")
        with open(path, "rb") as f:
            text = bytearray()  # grown as read: a read of LARGEST bytes would reserve them
            while len(text) <= LARGEST and (chunk := f.read(2**20)):
                text += chunk
    except OSError as e:
        raise Bad(f"cannot read {path}: {e.strerror}")
    if len(text) > LARGEST:
        raise Bad(f"{path} is larger than {LARGEST // 2**20} MiB: not lock_bench output")
    if not text.strip():
        raise Bad(f"{path} is empty")
    try:
        results = json.loads(text)
    except (ValueError, RecursionError) as e:
        raise Bad(f"{path} is not JSON: {e}")
    except MemoryError:
        raise Bad(f"{path} is too large to read here")
    runs = results.get("benchmarks") if isinstance(results, dict) else None
    context = results.get("context", {}) if isinstance(results, dict) else None
    if not isinstance(runs, list) or not isinstance(context, dict):
        raise Bad(f"{path} is not Google Benchmark JSON (no context and list of benchmarks)")
    return context, runs


def once(taken, r, where):
    """Refuse R when the set TAKEN already holds an entry of the same run and
    repetition (or aggregate): two runs in one file would count twice."""
    key = repr([r["run_name"], r.get("run_type"), r.get("aggregate_name"), r.get("repetition_index")])
    if key in taken:
        raise Bad(f"{where} repeats an entry of {safe(r['run_name'], 200)}: two runs in one file?")
    taken.add(key)


def load(path, failed=None):
    """(context, cases) from lock_bench's JSON at PATH.

    cases maps each Case to {"times": the time of
    each repetition in ns, its span_ns where the file has them, else its real
    time (empty when the file holds aggregates only), "ns": their median,
    "repetitions": R, the median of each counter present and "starved_runs":
    how many repetitions left a thread starved}. Cases that reported an error
    are left out; with FAILED, a set, the Case of each such run is added to it."""
    context, runs = read(path)
    found, seen, taken, spans, names = {}, False, set(), {}, {}
    for i, r in enumerate(runs):
        where = f"{path}: benchmarks[{i}]"
        if not isinstance(r, dict) or not isinstance(r.get("run_name"), str):
            raise Bad(f"{where} has no run_name")
        m = CASE.fullmatch(r["run_name"])
        seen = seen or bool(m) or r["run_name"].startswith(("classic/", "pingpong/")) \
            or "/owner_dies/" in r["run_name"]
        if m:
            reads, hold, think, threads = m[3], m[4], m[5], m[6] or m[7]
        if m and r.get("error_occurred") is True and failed is not None:
            if all(len(n) <= DIGITS for n in m.groups()[2:] if n):
                failed.add(Case(kind=m[1], place=m[2], read=int(reads or 0), hold=nanoseconds(hold),
                                think=nanoseconds(think), threads=int(threads),
                                processes=m[7] is not None))
        if not m or r.get("error_occurred") is True:
            continue
        run_type, aggregate = r.get("run_type", "iteration"), r.get("aggregate_name")
        if run_type == "aggregate" and aggregate != "median":
            continue
        if run_type not in ("iteration", "aggregate"):
            raise Bad(f"{where} has run_type {safe(run_type)!r}")
        if any(n and len(n) > DIGITS for n in m.groups()[2:]):
            raise Bad(f"{where} has a number of more than {DIGITS} digits in its name")
        if duration(nanoseconds(hold)) != hold or duration(nanoseconds(think)) != think \
                or str(int(threads)) != threads \
                or (reads is not None and (str(int(reads)) != reads or not 0 < int(reads) <= 100)):
            # 1000ns for 1us, 02 for 2, read:0 for none: one case, two names
            raise Bad(f"{where} has a name lock_bench does not write: {safe(r['run_name'], 200)}")
        for name in ("real_time", "span_ns"):
            if (name in r or name == "real_time") and not (number(r.get(name)) and r[name] > 0):
                raise Bad(f"{where} has no valid {name} (a number above 0, below 1e100)")
        spans.setdefault("span_ns" in r, i)  # {whether it has span_ns: the first such entry}
        if not isinstance(r.get("time_unit", "ns"), str) or r.get("time_unit", "ns") not in UNITS:
            raise Bad(f"{where} has a time_unit that is not ns, us, ms or s")
        repetitions = r.get("repetitions", 1)
        if not isinstance(repetitions, int) or isinstance(repetitions, bool) or repetitions < 1:
            raise Bad(f"{where} has repetitions that are not a count")
        for name in COUNTERS:  # NaN stands for a figure the run could not take
            if name in r and (isinstance(r[name], bool) or not isinstance(r[name], (int, float))):
                raise Bad(f"{where} has {name} that is not a number")
        once(taken, r, where)

        key = Case(kind=m[1], place=m[2], read=int(reads or 0), hold=nanoseconds(hold),
                   think=nanoseconds(think), threads=int(threads), processes=m[7] is not None)
        if names.setdefault(key, r["run_name"]) != r["run_name"]:  # real_time and manual_time
            raise Bad(f"{where} is {safe(names[key], 200)} by another name: two runs in one file?")
        case = found.setdefault(key, {"runs": [], "median": None, "repetitions": 1})
        case["repetitions"] = max(case["repetitions"], repetitions)
        if run_type == "iteration":
            case["runs"].append(r)
        else:
            case["median"] = r
    if not seen:
        raise Bad(f"{path} is not lock_bench output (no KIND/PLACE/hold:H/think:T/real_time/threads:N case)")
    if len(spans) > 1:  # one kind's real time against another's span would rank nothing
        raise Bad(f"{path}: benchmarks[{spans[False]}] has no span_ns, which benchmarks[{spans[True]}] has")

    cases = {}
    for key, case in found.items():
        # The median of the repetitions; Google Benchmark's own where only it is left.
        # The wall span over all threads' acquisitions where lock_bench gave it:
        # Google Benchmark's real time averages the threads' own times, and
        # under an unfair lock the threads that finish first pull it down.
        runs = case["runs"] or [case["median"]]
        if True in spans:  # and so every entry
            times = [r["span_ns"] for r in runs]
        else:
            times = [r["real_time"] * UNITS[r.get("time_unit", "ns")] for r in runs]
        summary = {"times": times if case["runs"] else [], "ns": statistics.median(times),
                   "repetitions": case["repetitions"]}
        for name in COUNTERS:
            values = [r[name] for r in runs if number(r.get(name))]
            if values:
                summary[name] = statistics.median(values)
        summary["starved_runs"] = sum(number(r.get("starved")) and r["starved"] > 0 for r in runs)
        cases[key] = summary
    return context, cases


def render(script, target):
    """Run gnuplot on SCRIPT, which must print a PNG on standard output, and
    write that to TARGET through a temporary file beside it and a rename.
    Neither TARGET's name nor anything else reaches gnuplot but SCRIPT.
    Where TARGET is a symbolic link, the file it names is replaced, not the link."""
    path = os.path.realpath(target) if os.path.islink(target) else target
    if os.path.lexists(path) and not os.path.isfile(path):
        raise Bad(f"cannot write {target}: not a regular file")
    temporary = None
    try:
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, STOPS)  # a stop waits for the name to remove
        try:
            fd, temporary = tempfile.mkstemp(prefix=".chart-", dir=os.path.dirname(path) or ".")
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)
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
        os.replace(temporary, path)
    except OSError as e:
        raise Bad(f"cannot write {target}: {e.strerror}")
    finally:
        if temporary and os.path.lexists(temporary):
            os.unlink(temporary)
