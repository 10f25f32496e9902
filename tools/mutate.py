#!/usr/bin/env python3
"""tools/mutate.py [--list FILE] [--only ID,...] [--keep] -- mutation testing.

Applies each mutant of tools/mutants.txt, one at a time, to a scratch copy
of the tree (a plausible programmer's mistake: one exact text replaced by
another), builds the Release suite there, runs it (ctest, stopping at the
first failure) and puts the file back. A mutant is killed when the build or
a test fails, survives when the whole suite passes. Prints one line per
mutant and the score over the mutants not marked equivalent; the status is
1 when a mutant survived.

The list: one mutant per block, blocks separated by blank lines:
    id: short-name
    file: path/in/the/tree
    find: exact text (must occur exactly once; \\n for a newline)
    replace: its replacement
    why: what the mistake would do to a user
    equivalent: reason   (optional: the mutant cannot change behaviour)
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def read_mutants(path):
    mutants, block = [], {}
    with open(path, encoding="utf-8") as f:
        for raw in f.read().split("\n") + [""]:
            line = raw.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line.strip():
                if block:
                    mutants.append(block)
                block = {}
                continue
            key, _, value = line.partition(": ")
            block[key.strip()] = value.replace("\\n", "\n")
    for m in mutants:
        for key in ("id", "file", "find", "replace", "why"):
            if key not in m:
                sys.exit(f"mutate: mutant {m.get('id', '?')} lacks '{key}'")
    return mutants


def run(cmd, cwd, timeout):
    try:
        return subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", default=os.path.join(TOP, "tools", "mutants.txt"))
    parser.add_argument("--only", default="")
    parser.add_argument("--keep", action="store_true", help="keep the scratch tree")
    args = parser.parse_args()
    mutants = read_mutants(args.list)
    if args.only:
        wanted = set(args.only.split(","))
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
