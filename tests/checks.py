"""What the tests of tools/plot and tools/verdict share: running a tool in a
scratch folder and checking what it did there."""
import hashlib
import os
import resource
import shutil
import signal
import subprocess
import tempfile
import time

# Text that runs `touch PWNED` if gnuplot ever reads it as code.
HOSTILE = "x'.system(\"touch PWNED\").'`touch PWNED`\".system('touch PWNED').\"@x$(touch PWNED)"


def files(folder):
    """{path: digest of its content, or where it links to} for every file and
    symbolic link under FOLDER."""
    found = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            if os.path.islink(path):
                found[path] = "-> " + os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    found[path] = hashlib.sha256(f.read()).hexdigest()
    return found


def run(tool, args, folder, env=None, limit=None):
    """Run TOOL with ARGS in FOLDER, the files it writes cut at LIMIT bytes
    where given (ulimit -f): (result, files added or changed there)."""
    before = files(folder)
    try:
        result = subprocess.run([tool, *args], cwd=folder, capture_output=True, text=True, env=env,
                                timeout=60, preexec_fn=limit and (
                                    lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))))
    except subprocess.TimeoutExpired:
        result = subprocess.CompletedProcess(tool, None, "", "no end in 60 s")
    after = files(folder)
    changed = sorted(os.path.relpath(p, folder) for p in after if before.get(p) != after[p])
    gone = sorted(os.path.relpath(p, folder) for p in before if p not in after)
    return result, changed + [f"{p} (removed)" for p in gone]


def refused(tool, args, words, folder, env=None, limit=None):
    """What is wrong with TOOL's refusal of ARGS (its files cut at LIMIT bytes
    where given): it must exit 1 with one line on stderr that starts with the
    tool's name and holds WORDS, print nothing else and touch no file. Empty
    when nothing is."""
    result, changed = run(tool, args, folder, env, limit)
    prefix = os.path.basename(tool) + ": "
    lines = result.stderr.splitlines()
    wrong = []
    if result.returncode != 1:
        wrong.append(f"exit status {result.returncode}")
    if len(lines) != 1 or not lines[0].startswith(prefix) or not all(w in lines[0] for w in words):
        wrong.append(f"stderr {result.stderr!r}, wanted one {prefix}line with {words}")
    if result.stdout:
        wrong.append(f"stdout {result.stdout[:100]!r}")
    if changed:
        wrong.append(f"wrote {changed}")
    return wrong


def made_png(tool, args, target, folder, env=None):
    """What is wrong with TOOL's run on ARGS, which must write the PNG TARGET
    and no other file. Empty when nothing is."""
    result, changed = run(tool, args, folder, env)
    wrong = []
    if result.returncode != 0 or result.stderr:
        wrong.append(f"exit status {result.returncode}, stderr {result.stderr!r}")
    if changed != [os.path.relpath(target, folder)]:
        wrong.append(f"wrote {changed}, wanted only {os.path.relpath(target, folder)}")
    if os.path.isfile(target):
        with open(target, "rb") as f:
            if f.read(8) != b"\x89PNG\r\n\x1a\n":
                wrong.append("the chart is not a PNG")
    return wrong


def signalled(tool, args, signum, folder, ignored=False):
    """Run TOOL with ARGS in FOLDER and send it SIGNUM, which it inherits as
    ignored if IGNORED (else as by default, whatever this test inherited),
    while it draws its chart with a gnuplot that sleeps 2 s first: (status,
    stderr, files added or changed there)."""
    slow = tempfile.mkdtemp()
    with open(os.path.join(slow, "gnuplot"), "w") as f:
        f.write(f"#!/bin/sh\nsleep 2\nexec {shutil.which('gnuplot')} \"$@\"\n")
    os.chmod(os.path.join(slow, "gnuplot"), 0o755)
    before, names = files(folder), set(os.listdir(folder))
    tool = subprocess.Popen([tool, *args], cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True, env={**os.environ, "PATH": slow + ":" + os.environ["PATH"]},
                            preexec_fn=lambda: signal.signal(signum, signal.SIG_IGN if ignored
                                                             else signal.SIG_DFL))
    deadline = time.monotonic() + 30  # the temporary chart is there: gnuplot's turn
    while (tool.poll() is None and time.monotonic() < deadline
           and not any(name.startswith(".chart-") for name in set(os.listdir(folder)) - names)):
        time.sleep(0.01)
    tool.send_signal(signum)
    _, stderr = tool.communicate(timeout=60)
    shutil.rmtree(slow)
    after = files(folder)
    return tool.returncode, stderr, sorted(os.path.relpath(p, folder) for p in after.keys() | before.keys()
                                           if before.get(p) != after.get(p))


def unwritable(tool, args):
    """What is wrong with TOOL's runs on ARGS, which write more than 100 bytes
    on standard output, where standard output cannot take them: closed, a
    full disk, over the file size limit (ulimit -f), a pipe no one reads;
    each with Python's output buffered and unbuffered (PYTHONUNBUFFERED).
    Each must exit 1 with one line on stderr that starts with the tool's name
    and says why. Empty when nothing is."""
    prefix, scratch, wrong = os.path.basename(tool) + ": ", tempfile.mkdtemp(), []
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}

    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))

    def pipe():
        r, w = os.pipe()
        os.close(r)
        return w

    ways = [  # (what, standard output, run first in the child, words the line holds)
        ("closed", lambda: subprocess.DEVNULL, lambda: os.close(1), ["standard output is closed"]),
        ("on a full disk", lambda: os.open("/dev/full", os.O_WRONLY), None, ["No space left"]),
        ("over the file size limit", lambda: os.open(os.path.join(scratch, "out"),
                                                     os.O_WRONLY | os.O_CREAT | os.O_TRUNC), limit,
         ["File too large"]),
        ("a pipe no one reads", pipe, None, ["Broken pipe"]),
    ]
    for unbuffered in (False, True):
        for what, out, before, words in ways:
            fd = out()
            try:
                result = subprocess.run([tool, *args], stdout=fd, stderr=subprocess.PIPE, text=True,
                                        preexec_fn=before, timeout=60,
                                        env={**env, "PYTHONUNBUFFERED": "1"} if unbuffered else env)
            finally:
                if fd != subprocess.DEVNULL:
                    os.close(fd)
            lines = result.stderr.splitlines()
            if (result.returncode != 1 or len(lines) != 1 or not lines[0].startswith(prefix)
                    or not all(w in lines[0] for w in words)):
                wrong.append(f"standard output {what}{', unbuffered' * unbuffered}: status "
                             f"{result.returncode}, stderr {result.stderr!r}, wanted one {prefix}line "
                             f"with {words}")
    shutil.rmtree(scratch)
    return wrong


def png_size(path):
    """(width, height) of the PNG at PATH, (0, 0) when there is none."""
    try:
        with open(path, "rb") as f:
            head = f.read(24)
    except OSError:
        return 0, 0
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")
