#!/usr/bin/env python3
"""Applies each deliberate fault of scripts/faults.txt in turn, rebuilds, runs the test suite and
reports whether the suite caught it.

    scripts/fault-check.py [--preset relwithdebinfo] [--timeout 20] [--out FILE] [ID ...]
    scripts/fault-check.py --target test_persistence --tests 'Archive|ScheduleFile' lead-typed-long-no-fallback

--target and --tests narrow a run to the suites that can see the faults named, which is much
faster; a fault missed that way may still be caught by a suite left out.

For every fault: the file is changed in place (and always restored, also on Ctrl-C), the build is
brought up to date (incrementally; set CCACHE_DIR to share a compiler cache), ctest runs every test
with a per-test timeout (a hang counts as caught), and the result is one line:

    caught   <id>  <failing tests>
    missed   <id>
    stale    <id>  (the original text is no longer in the file)
    build    <id>  (the fault does not compile: fix the entry)

At the end the tree is rebuilt without faults. Exit status 0 when nothing was missed.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def parse_faults(path):
    faults = []
    lines = path.read_text().split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.startswith("@@ "):
            i += 1
            continue
        fault_id, file = line[3:].split()
        i += 1
        desc = ""
        if i < len(lines) and lines[i].startswith("# "):
            desc = lines[i][2:]
            i += 1
        assert lines[i] == "<<<<", f"{fault_id}: expected <<<<"
        i += 1
        original = []
        while lines[i] != "====":
            original.append(lines[i])
            i += 1
        i += 1
        replacement = []
        while lines[i] != ">>>>":
            assert not lines[i].startswith("@@ "), f"{fault_id}: no >>>> before the next entry"
            replacement.append(lines[i])
            i += 1
        i += 1
        orig = "\n".join(original)
        repl = "\n".join(replacement)
        faults.append(dict(id=fault_id, file=file, desc=desc, original=orig, replacement=repl))
    return faults


def run(cmd, timeout=None):
    return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                          timeout=timeout)


def build(preset, targets=()):
    return run(["cmake", "--build", "--preset", preset, "-j2"] + [a for t in targets for a in ("--target", t)])


def failing_tests(preset, timeout, tests=None):
    r = run(["ctest", "--preset", preset, "--timeout", str(timeout), "-j2"] + (["-R", tests] if tests else []))
    failed = []
    collecting = False
    for line in r.stdout.splitlines():
        if line.startswith("The following tests FAILED"):
            collecting = True
            continue
        if collecting:
            m = re.match(r"\s*\d+ - (\S+)", line)
            if m:
                failed.append(m.group(1))
    if r.returncode != 0 and not failed:
        failed.append("(ctest failed: " + r.stdout.strip().splitlines()[-1] + ")")
    return failed


class Restorer:
    """Puts the original text back on every way out, signals included."""

    def __init__(self, path, text):
        self.path, self.text = path, text

    def __enter__(self):
        self.old = {s: signal.signal(s, self._raise) for s in (signal.SIGINT, signal.SIGTERM)}
        return self

    def _raise(self, *_):
        raise KeyboardInterrupt

    def __exit__(self, *_):
        self.path.write_text(self.text)
        for s, h in self.old.items():
            signal.signal(s, h)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--preset", default="relwithdebinfo")
    ap.add_argument("--timeout", type=int, default=20, help="seconds per test")
    ap.add_argument("--faults", default=str(ROOT / "scripts" / "faults.txt"))
    ap.add_argument("--out", help="also write the report to this file")
    ap.add_argument("--target", action="append", default=[],
                    help="build only this target (repeatable), e.g. test_persistence; default: everything")
    ap.add_argument("--tests", help="run only the tests matching this ctest -R expression")
    ap.add_argument("ids", nargs="*", help="only these faults")
    args = ap.parse_args()

    faults = parse_faults(Path(args.faults))
    if args.ids:
        faults = [f for f in faults if f["id"] in args.ids]

    pre = build(args.preset, args.target)
    if pre.returncode != 0:
        sys.exit("the tree does not build without faults:\n" + pre.stdout[-3000:])
    clean = failing_tests(args.preset, args.timeout, args.tests)
    if clean:
        sys.exit("the suite fails without faults: " + " ".join(clean))

    report = []
    tally = {}

    def emit(status, fault, detail=""):
        line = f"{status:8} {fault['id']:32} {detail}".rstrip()
        print(line, flush=True)
        report.append(line)
        tally[status] = tally.get(status, 0) + 1

    try:
        for fault in faults:
            path = ROOT / fault["file"]
            text = path.read_text() if path.exists() else ""
            count = text.count(fault["original"])
            if count != 1:
                emit("stale" if count == 0 else "ambiguous", fault)
                continue
            with Restorer(path, text):
                path.write_text(text.replace(fault["original"], fault["replacement"]))
                b = build(args.preset, args.target)
                if b.returncode != 0:
                    emit("build", fault, fault["desc"])
                    continue
                failed = failing_tests(args.preset, args.timeout, args.tests)
                if failed:
                    emit("caught", fault, " ".join(failed))
                else:
                    emit("missed", fault, fault["desc"])
    finally:
        build(args.preset)  # the tree as it is, without faults

    summary = " ".join(f"{k}={v}" for k, v in sorted(tally.items()))
    print(summary)
    if args.out:
        Path(args.out).write_text("\n".join(report + [summary]) + "\n")
    sys.exit(1 if tally.get("missed") else 0)


if __name__ == "__main__":
    main()
