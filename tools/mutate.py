#!/usr/bin/env python3
"""tools/mutate.py [--check] [--list FILE] [--only ID,...] [--keep] -- mutation testing.

--check: verifies, without building anything, that every mutant of the list
is well formed and that its `find` text occurs exactly once in the file it
names. Prints each bad mutant with its id and why (missing file, not found,
found N times, a missing or unknown key, ...) and ends with status 1, or
prints one summary line and ends with status 0. ./test.sh runs it, so an
edit that moves the code under a mutant fails there and not only at the
next full run.

Without --check: the same check first (a stale list refuses to start,
before anything is built); then applies each mutant (with --only, the
named ones), one at a time, to a scratch copy of the tree (a plausible
programmer's mistake: one exact text replaced by another), builds the
Release suite there, runs it (ctest, stopping at the first failure) and
puts the file back. A mutant is killed when the build or a test fails,
survives when the whole suite passes. Prints one line per mutant and the
score over the mutants not marked equivalent; the status is 1 when a
mutant survived.

The list: one mutant per block, blocks separated by blank lines; lines
starting with "#" are comments:
    id: short-name (unique)
    file: path/in/the/tree
    find: exact text (must occur exactly once; \\n for a newline)
    replace: its replacement (may be empty: the text is removed)
    why: what the mistake would do to a user
    equivalent: reason   (optional: the mutant cannot change behaviour)
The text after "key:" loses one space; the rest, leading spaces included,
is the value.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


REQUIRED = ("id", "file", "find", "replace", "why")
OPTIONAL = ("equivalent",)


def read_mutants(path):
    """The mutants of the list, and the problems of its form as (id, why)."""
    mutants, problems, block = [], [], None
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines + [""], start=1):
        if line.startswith("#"):
            continue
        if not line.strip():
            if block is not None:
                mutants.append(block)
            block = None
            continue
        if block is None:
            block = {"_line": number}
        key, colon, value = line.partition(":")
        key = key.strip()
        if not colon or key not in REQUIRED + OPTIONAL:
            block.setdefault("_bad", []).append(f"line {number}: not a 'key: value' line of a known key")
            continue
        if key in block:
            block.setdefault("_bad", []).append(f"line {number}: a second '{key}'")
            continue
        block[key] = (value[1:] if value.startswith(" ") else value).replace("\\n", "\n")
    seen = set()
    for m in mutants:
        name = m.get("id") or f"(block at line {m['_line']})"
        for why in m.pop("_bad", []):
            problems.append((name, why))
        for key in REQUIRED:
            if key not in m:
                problems.append((name, f"lacks '{key}'"))
        if m.get("id") in seen:
            problems.append((name, "the id is used twice"))
        seen.add(m.get("id"))
        if "find" in m and not m["find"].strip():
            problems.append((name, "the text to find is empty"))
        if "find" in m and m.get("replace") == m["find"]:
            problems.append((name, "the replacement is the text itself"))
    return mutants, problems


def stale_entries(mutants, top):
    """(id, why) for every mutant whose text does not occur exactly once."""
    problems = []
    for m in mutants:
        if "file" not in m or "find" not in m:
            continue
        name = m.get("id") or f"(block at line {m['_line']})"
        path = os.path.normpath(os.path.join(top, m["file"]))
        if os.path.isabs(m["file"]) or not path.startswith(top + os.sep):
            problems.append((name, f"{m['file']}: not a path inside the tree"))
            continue
        try:
            with open(path, encoding="utf-8") as f:
                count = f.read().count(m["find"])
        except FileNotFoundError:
            problems.append((name, f"{m['file']}: missing file"))
            continue
        if count == 0:
            problems.append((name, f"{m['file']}: not found"))
        elif count > 1:
            problems.append((name, f"{m['file']}: found {count} times"))
    return problems


def check(path, top):
    """The list read and checked; prints every problem. (mutants, ok)."""
    mutants, problems = read_mutants(path)
    problems += stale_entries(mutants, top)
    for name, why in problems:
        print(f"mutate: {name}: {why}", file=sys.stderr)
    return mutants, not problems


def run(cmd, cwd, timeout):
    try:
        return subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true",
                        help="only check that every mutant's text occurs exactly once (no build)")
    parser.add_argument("--list", default=os.path.join(TOP, "tools", "mutants.txt"))
    parser.add_argument("--only", default="")
    parser.add_argument("--keep", action="store_true", help="keep the scratch tree")
    args = parser.parse_args()
    mutants, ok = check(args.list, TOP)
    if args.check:
        if not ok:
            return 1
        print(f"mutate: {len(mutants)} entries, all found exactly once")
        return 0
    if not ok:
        sys.exit("mutate: the list is stale or malformed (above); nothing was built")
    if args.only:
        wanted = set(args.only.split(","))
        unknown = wanted - {m["id"] for m in mutants}
        if unknown:
            sys.exit(f"mutate: no such mutant: {','.join(sorted(unknown))}")
        mutants = [m for m in mutants if m["id"] in wanted]

    scratch = tempfile.mkdtemp(prefix="ostrel-mutate-")
    tree = os.path.join(scratch, "tree")
    build = os.path.join(scratch, "build")
    files = subprocess.run(["git", "ls-files"], cwd=TOP, capture_output=True, text=True, check=True).stdout.split()
    for name in files:
        os.makedirs(os.path.join(tree, os.path.dirname(name)), exist_ok=True)
        shutil.copy2(os.path.join(TOP, name), os.path.join(tree, name), follow_symlinks=False)
    jobs = str(os.cpu_count() or 2)
    configure = ["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DOSTREL_TESTS=ON"]
    if run(configure, tree, 600) != 0 or run(["cmake", "--build", build, "-j", jobs], tree, 1800) != 0:
        sys.exit("mutate: the unmutated tree does not build")
    if run(["ctest", "-j", jobs, "--timeout", "300"], build, 1800) != 0:
        sys.exit("mutate: the unmutated tree fails its tests")

    killed = survived = equivalent = 0
    print(f"{'id':<5} {'result':<10} {'secs':>5}  mutant")
    for m in mutants:
        path = os.path.join(tree, m["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        if original.count(m["find"]) != 1:
            sys.exit(f"mutate: mutant {m['id']}: the text to find occurs {original.count(m['find'])} times in {m['file']}")
        start = time.time()
        with open(path, "w", encoding="utf-8") as f:
            f.write(original.replace(m["find"], m["replace"]))
        try:
            if run(["cmake", "--build", build, "-j", jobs], tree, 1800) != 0:
                result = "killed:build"
            elif run(["ctest", "-j", jobs, "--timeout", "300", "--stop-on-failure"], build, 3600) != 0:
                result = "killed"
            else:
                result = "survived"
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
            # Back to the unmutated object before the next mutant.
            os.utime(path)
        if "equivalent" in m:
            equivalent += 1
            result += " (equivalent: " + m["equivalent"] + ")"
        elif result.startswith("killed"):
            killed += 1
        else:
            survived += 1
        print(f"{m['id']:<5} {result:<10} {time.time() - start:5.0f}  {m['file']}: {m['why']}", flush=True)
    scored = killed + survived
    score = 100.0 * killed / scored if scored else 0.0
    print(f"mutate: {killed} killed, {survived} survived, {equivalent} equivalent; score {score:.1f}% of {scored}")
    if not args.keep:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
