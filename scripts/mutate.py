#!/usr/bin/env python3
"""Puts small deliberate faults (mutants) into the sources one at a time and
says which of them the tests catch.

Each row of the mutants file names a file, a piece of its text that occurs
exactly once (in the whole file, or on the line given), and what replaces it:

    serial/class_serial.cpp: reply.bytes[0] == data[0] && ==> true &&  ## the echo is not compared
    serial/serial_posix.cpp:275: EIO ==> EINVAL  ## a hang-up is not gone

A "\\n" in either text stands for a line break; "#" begins a comment line.
For each row the file is changed, the test programs are built again (only
they and what they link), run, and the file is put back from a private copy,
whatever happens. A mutant is caught when a test fails or a test program
ends by a signal or time-out; a row that does not apply or does not build is
counted apart.

    scripts/mutate.py                       # every row of tests/mutants.txt
    scripts/mutate.py --only 3,7            # rows 3 and 7 (counted from 1)
    scripts/mutate.py --build build-mutate --tests "test_serial test_protocol"
    scripts/mutate.py --every               # each program run, each failing test named
    scripts/mutate.py --check               # only whether every row applies

The test programs run in a network namespace of their own (unshare -n), so
that those that start a web server never meet another one on the machine.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROW = re.compile(r"^(?P<path>[^:\s]+)(?::(?P<line>\d+))?:\s(?P<old>.*?)\s==>\s(?P<new>.*?)"
                 r"(?:\s+##\s*(?P<why>.*))?$")


class Mutant:
    def __init__(self, number, path, line, old, new, why):
        self.number, self.path, self.line = number, path, line
        self.old, self.new, self.why = old, new, why or ""

    def name(self):
        where = f"{self.path}:{self.line}" if self.line else self.path
        return f"#{self.number} {where}: {self.why or self.old}"


def read_rows(path):
    mutants = []
    with open(path, encoding="utf-8") as rows:
        for text in rows:
            text = text.rstrip("\n")
            if not text.strip() or text.lstrip().startswith("#"):
                continue
            match = ROW.match(text)
            if not match:
                sys.exit(f"mutate: not a row: {text}")
            line = int(match["line"]) if match["line"] else None
            # "\n" in a row stands for a line break, for a text that is
            # unique only with its neighbour.
            old, new = (match[k].replace("\\n", "\n") for k in ("old", "new"))
            mutants.append(Mutant(len(mutants) + 1, match["path"], line, old, new,
                                  match["why"]))
    return mutants


def mutated_text(mutant, original):
    """The file's text with the mutant in, or an error message."""
    if mutant.line is None:
        count = original.count(mutant.old)
        if count != 1:
            return None, f"'{mutant.old}' occurs {count} times in {mutant.path}"
        return original.replace(mutant.old, mutant.new, 1), None
    lines = original.split("\n")
    if mutant.line > len(lines) or lines[mutant.line - 1].count(mutant.old) != 1:
        return None, f"'{mutant.old}' is not on line {mutant.line} of {mutant.path} once"
    lines[mutant.line - 1] = lines[mutant.line - 1].replace(mutant.old, mutant.new, 1)
    return "\n".join(lines), None


def build(build_dir, targets):
    result = subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", *targets],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result.returncode == 0, result.stdout


def run_tests(build_dir, programs, timeout, every=False):
    """The first program that fails, with why (with every: each program's
    failing tests); None when every one passed."""
    verdicts = []
    for program in programs:
        binary = os.path.join(build_dir, "tests", program)
        command = f"ip link set lo up; ulimit -n 8192; exec {binary} --gtest_brief=1"
        try:
            result = subprocess.run(["unshare", "-n", "bash", "-c", command], cwd=ROOT,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True, timeout=timeout, start_new_session=True)
        except subprocess.TimeoutExpired:
            verdicts.append(f"{program}: over {timeout} s")
        else:
            if result.returncode != 0:
                failed = [line.split("] ", 1)[1] for line in result.stdout.splitlines()
                          if line.startswith("[  FAILED  ]") and "] " in line and "." in line]
                names = sorted(set(f.split(" ")[0] for f in failed))
                what = ", ".join(names if every else names[:3])
                verdicts.append(f"{program}: {what or 'status ' + str(result.returncode)}")
        if verdicts and not every:
            break
    return "; ".join(verdicts) or None


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("rows", nargs="?", default=os.path.join(ROOT, "tests", "mutants.txt"))
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--tests", default="test_protocol test_sim test_serial",
                        help="the test programs built and run, in this order")
    parser.add_argument("--only", default="", help="row numbers, as 1,4,9")
    parser.add_argument("--timeout", type=int, default=300, help="seconds per test program")
    parser.add_argument("--every", action="store_true",
                        help="run every test program on each mutant and name each failing test")
    parser.add_argument("--check", action="store_true",
                        help="only check that every row applies to the sources")
    args = parser.parse_args()

    programs = args.tests.split()
    # The programs the tests start are built with them.
    targets = programs + ["tessaro", "quirn-sim"]
    mutants = read_rows(args.rows)
    if args.only:
        wanted = {int(n) for n in args.only.split(",")}
        mutants = [m for m in mutants if m.number in wanted]

    if args.check:
        bad = 0
        for mutant in mutants:
            with open(os.path.join(ROOT, mutant.path), encoding="utf-8") as source:
                _, error = mutated_text(mutant, source.read())
            if error:
                bad += 1
                print(f"BROKEN  {mutant.name()}: {error}")
        print(f"{len(mutants) - bad} of {len(mutants)} rows apply")
        return 1 if bad else 0

    ok, log = build(args.build, targets)
    if not ok:
        sys.exit("mutate: the unchanged sources do not build:\n" + log[-3000:])
    failing = run_tests(args.build, programs, args.timeout)
    if failing:
        sys.exit(f"mutate: the tests fail without any mutant: {failing}")

    # The file being changed and its private copy, put back on any exit.
    current = {}

    def put_back():
        if current:
            shutil.copyfile(current["backup"], current["path"])
            os.unlink(current["backup"])
            current.clear()

    def on_signal(number, _frame):
        put_back()
        sys.exit(128 + number)

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)

    caught, missed, broken = [], [], []
    try:
        for mutant in mutants:
            path = os.path.join(ROOT, mutant.path)
            with open(path, encoding="utf-8") as source:
                original = source.read()
            text, error = mutated_text(mutant, original)
            if error:
                broken.append((mutant, error))
                print(f"BROKEN  {mutant.name()}: {error}", flush=True)
                continue
            handle, backup = tempfile.mkstemp(prefix="mutate-", suffix=".orig")
            os.close(handle)
            shutil.copyfile(path, backup)
            current.update(path=path, backup=backup)
            started = time.monotonic()
            try:
                with open(path, "w", encoding="utf-8") as source:
                    source.write(text)
                built, _ = build(args.build, targets)
                verdict = (run_tests(args.build, programs, args.timeout, args.every)
                           if built else None)
            finally:
                put_back()
            took = time.monotonic() - started
            if not built:
                broken.append((mutant, "does not build"))
                print(f"BROKEN  {mutant.name()}: does not build", flush=True)
            elif verdict:
                caught.append((mutant, verdict))
                print(f"CAUGHT  {mutant.name()}  [{verdict}] ({took:.0f} s)", flush=True)
            else:
                missed.append(mutant)
                print(f"MISSED  {mutant.name()} ({took:.0f} s)", flush=True)
    finally:
        put_back()
        build(args.build, targets)  # the programs as the sources are

    tried = len(caught) + len(missed)
    print()
    print(f"caught {len(caught)} of {tried}" +
          (f" ({100.0 * len(caught) / tried:.0f}%)" if tried else "") +
          (f", {len(broken)} rows that do not apply" if broken else ""))
    for mutant in missed:
        print(f"  missed {mutant.name()}")
    return 0 if not missed and not broken else 1


if __name__ == "__main__":
    sys.exit(main())
