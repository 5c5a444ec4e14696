#!/usr/bin/env python3
"""The seeded-fault list and the tree the faults are tried in.

A fault is one line of faults.txt, six tab-separated fields:

    id  kind  path:line  context  original  replacement

`original` is the exact text of the line (indentation included) and
`replacement` what it becomes. A `swap` fault exchanges two adjacent lines:
`original` is the first and `replacement` the second as they stand, in that
order. `context` is a short hash of the nearest non-blank lines around the
fault, to tell apart equal lines (`return false;`) once lines have moved.

Commands, for run.sh:
    sync SOURCE TREE          copy the files the build reads, changed ones only
    select LIST [SELECTOR..]  print "id<TAB>kind<TAB>path:line" of the faults asked for
    apply LIST ID TREE        apply one fault; prints "applied path:line" or "stale ..."
    revert TREE               put back the file the last fault changed
    batches BINARY=JSON[,JSON]...  the suite cut into batches, from the timings of a run
    compare RESULTS RESULTS   the faults whose outcome differs between two runs
"""

import hashlib
import os
import shutil
import sys
from dataclasses import dataclass

# What the build reads; everything else in the repository is left out of the copy.
TREE_ENTRIES = ["CMakeLists.txt", "cmake", "keys", "src", "tools", "tests"]
BACKUP = ".fault-backup"


@dataclass
class Fault:
    id: int
    kind: str
    path: str
    line: int  # 1-based
    context: str
    original: str
    replacement: str

    def format(self):
        return "\t".join(
            [str(self.id), self.kind, f"{self.path}:{self.line}", self.context, self.original, self.replacement]
        )

    def folder(self):
        return os.path.dirname(self.path)


def context_hash(lines, first, last):
    """Hash of the nearest non-blank lines before `first` and after `last` (0-based)."""

    def near(index, step):
        while 0 <= index < len(lines):
            if lines[index].strip():
                return lines[index].strip()
            index += step
        return ""

    text = near(first - 1, -1) + "\n" + near(last + 1, 1)
    return hashlib.sha1(text.encode()).hexdigest()[:8]


def read_list(path):
    faults = []
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            raw = raw.rstrip("\n")
            if not raw or raw.startswith("#"):
                continue
            fields = raw.split("\t")
            if len(fields) != 6:
                sys.exit(f"{path}:{number}: expected 6 tab-separated fields, found {len(fields)}")
            where, _, line = fields[2].rpartition(":")
            faults.append(Fault(int(fields[0]), fields[1], where, int(line), fields[3], fields[4], fields[5]))
    return faults


def read_lines(path):
    with open(path, encoding="utf-8", newline="") as f:
        return f.read().split("\n")


def locate(fault, lines):
    """0-based index of the fault's first line in `lines`, or None when it is stale.

    The exact text whose surroundings still hash the same, nearest the recorded
    line; else the exact text at the recorded line; else the only exact match."""

    def matches(i):
        if lines[i] != fault.original:
            return False
        return fault.kind != "swap" or (i + 1 < len(lines) and lines[i + 1] == fault.replacement)

    span = 1 if fault.kind == "swap" else 0
    found = [i for i in range(len(lines)) if matches(i)]
    recorded = fault.line - 1
    same_context = [i for i in found if context_hash(lines, i, i + span) == fault.context]
    if same_context:
        nearest = sorted(same_context, key=lambda i: abs(i - recorded))
        if len(nearest) == 1 or abs(nearest[0] - recorded) != abs(nearest[1] - recorded):
            return nearest[0]
    if recorded in found:
        return recorded
    if len(found) == 1:
        return found[0]
    return None


def apply(fault, tree):
    path = os.path.join(tree, fault.path)
    try:
        lines = read_lines(path)
    except FileNotFoundError:
        return None
    at = locate(fault, lines)
    if at is None:
        return None
    with open(os.path.join(tree, BACKUP), "w", encoding="utf-8") as f:
        f.write(fault.path + "\n" + "\n".join(lines))
    if fault.kind == "swap":
        lines[at], lines[at + 1] = lines[at + 1], lines[at]
    else:
        lines[at] = fault.replacement
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write("\n".join(lines))
    return at + 1


def revert(tree):
    backup = os.path.join(tree, BACKUP)
    if not os.path.exists(backup):
        return
    with open(backup, encoding="utf-8", newline="") as f:
        relative, _, text = f.read().partition("\n")
    # Written anew, so that the file is newer than the faulty object and is rebuilt.
    with open(os.path.join(tree, relative), "w", encoding="utf-8", newline="") as f:
        f.write(text)
    os.remove(backup)


def sync(source, tree):
    """Makes TREE hold what SOURCE holds, writing only files whose bytes differ.

    An unchanged file keeps its time stamp (no rebuild); a changed one gets the
    current time, never an older one, so that the build always sees it."""
    wanted = set()
    for entry in TREE_ENTRIES:
        top = os.path.join(source, entry)
        if os.path.isfile(top):
            wanted.add(entry)
            continue
        for directory, dirs, files in os.walk(top):
            dirs[:] = [d for d in dirs if not d.startswith("build")]
            for name in files:
                wanted.add(os.path.relpath(os.path.join(directory, name), source))
    changed = 0
    for relative in sorted(wanted):
        with open(os.path.join(source, relative), "rb") as f:
            data = f.read()
        target = os.path.join(tree, relative)
        try:
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        except FileNotFoundError:
            os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        shutil.copymode(os.path.join(source, relative), target)
        changed += 1
    for entry in TREE_ENTRIES:
        top = os.path.join(tree, entry)
        for directory, _, files in os.walk(top):
            for name in files:
                relative = os.path.relpath(os.path.join(directory, name), tree)
                if relative not in wanted:
                    os.remove(os.path.join(tree, relative))
                    changed += 1
    return changed


def select(faults, selectors):
    """Faults chosen by id ranges ("1-20", "7") and path prefixes ("--only src/pdb")."""
    ids, prefixes = set(), []
    args = list(selectors)
    while args:
        arg = args.pop(0)
        if arg == "--only":
            if not args:
                sys.exit("--only needs a path prefix")
            prefixes.append(args.pop(0).rstrip("/"))
        elif "-" in arg:
            low, high = arg.split("-", 1)
            ids.update(range(int(low), int(high) + 1))
        else:
            ids.add(int(arg))
    chosen = []
    for fault in faults:
        if ids and fault.id not in ids:
            continue
        if prefixes and not any(fault.path == p or fault.path.startswith(p + "/") for p in prefixes):
            continue
        chosen.append(fault)
    return chosen


def read_results(path):
    """Results by what the fault is, not its number or line, which a new list changes.

    A results line: id, result, seconds, kind, path:line, first failing test,
    original, replacement."""
    results = {}
    with open(path, encoding="utf-8") as f:
        for raw in f:
            if raw.startswith("#") or not raw.strip():
                continue
            fields = raw.rstrip("\n").split("\t")
            results[(fields[3], fields[4].rpartition(":")[0], fields[6], fields[7])] = fields
    return results


def compare(first, second):
    a, b = read_results(first), read_results(second)
    both = sorted(set(a) & set(b))
    differ = 0
    for key in both:
        left, right = a[key][1], b[key][1]
        if left.split("(")[0] != right.split("(")[0]:
            differ += 1
            print(f"{left:>15} -> {right:<15} {key[0]:<8} {b[key][4]}: {key[2].strip()}")
    print(f"{differ} of {len(both)} faults tried in both runs differ;"
          f" {len(set(a) - set(b))} only in the first, {len(set(b) - set(a))} only in the second")


def plan_batches(reports, target=5.0):
    """The suite as batches for a pool of test processes, from the unmodified
    run's timings (gtest JSON reports, "binary=report.json").

    Quick tests are grouped into batches of about `target` seconds and run
    first, unit tests before end-to-end ones, so that most faults are caught
    within seconds; the slow tests follow one to a batch, longest first, so
    that the pool's processes finish together. Prints
    "binary<TAB>seconds<TAB>gtest filter" lines."""
    import json

    batches = []
    for binary_report in reports:
        binary, _, report = binary_report.partition("=")
        tests = []
        for path in report.split(","):
            with open(path, encoding="utf-8") as f:
                for suite in json.load(f)["testsuites"]:
                    for test in suite["testsuite"]:
                        name = f"{suite['name']}.{test['name']}"
                        # '-' would start the filter's exclusions; '?' matches it.
                        tests.append((float(test["time"].rstrip("s")), name.replace("-", "?")))
        tests.sort()
        # A quick binary still goes to every process of the pool.
        size = max(0.5, min(target, sum(t for t, _ in tests) / 4))
        quick, slow, current, seconds = [], [], [], 0.0
        for time, name in tests:
            if time >= target:
                slow.append((time, [name]))
                continue
            current.append(name)
            seconds += time
            if seconds >= size:
                quick.append((seconds, current))
                current, seconds = [], 0.0
        if current:
            quick.append((seconds, current))
        batches += [(False, binary, t, names) for t, names in quick]
        batches += [(True, binary, t, names) for t, names in sorted(slow, reverse=True)]
    # Quick batches of every binary first, then the slow ones.
    batches.sort(key=lambda b: b[0])
    for _, binary, seconds, names in batches:
        print(f"{binary}\t{seconds:.1f}\t{':'.join(names)}")


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    command, args = argv[1], argv[2:]
    if command == "sync":
        print(sync(args[0], args[1]))
    elif command == "select":
        for fault in select(read_list(args[0]), args[1:]):
            print(f"{fault.id}\t{fault.kind}\t{fault.path}:{fault.line}")
    elif command == "apply":
        fault = next((f for f in read_list(args[0]) if f.id == int(args[1])), None)
        if fault is None:
            sys.exit(f"no fault {args[1]}")
        at = apply(fault, args[2])
        print(f"applied {fault.path}:{at}" if at else f"stale {fault.path}:{fault.line}")
    elif command == "revert":
        revert(args[0])
    elif command == "batches":
        plan_batches(args)
    elif command == "compare":
        compare(args[0], args[1])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
