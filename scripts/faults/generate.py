#!/usr/bin/env python3
"""Chooses the seeded faults and writes faults.txt.

Every site of each kind in src/ and tools/vpa is a candidate:

    cmp      a flipped comparison        <  <=,  >  >=,  ==  !=
    off1     off by one                  a decimal literal n -> n+1 or n-1, "+ 1" -> "+ 0"
    const    a wrong constant            true/false, a hex or character literal, a message text
    drop     a dropped step              a call or assignment line commented out
    ret      a check's answer inverted   return false; <-> return true;
    swap     two adjacent statement lines exchanged
    nocheck  a removed check             if (cond) return/break/continue... -> if (false)
    logic    && <-> ||
    not      a ! removed

Each folder gets faults in proportion to its code size, spread over its files
by size and over the kinds evenly, in an order fixed by the seed. Each chosen
fault is compiled (the changed file's unit, syntax only) and one that does
not build is replaced by the folder's next candidate. Run it again after the
code has changed to get a list that fits the new code.

    scripts/faults/generate.py [--count N] [--seed N] [--no-build-check]
"""

import argparse
import hashlib
import json
import math
import os
import random
import re
import shlex
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faults as faultlib  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
FOLDERS = ["src/run", "src/planning", "src/pdb", "src/package", "src/storage", "tools/vpa"]
# The runner builds with ISA-L, which builds (and tests) the zlib backend too.
# Code the build leaves out (another processor's, another backend's) is
# found by the build check: a fault there does not change what is compiled.
NOT_BUILT = set()
KINDS = ["cmp", "off1", "const", "drop", "ret", "swap", "nocheck", "logic", "not"]
CONFIGURE = ["-G", "Ninja", "-DINSTALLER_WERROR=OFF", "-DCMAKE_BUILD_TYPE=Release", "-DINSTALLER_INFLATE=isal"]

KEYWORDS_NOT_STATEMENTS = {
    "return", "break", "continue", "case", "default", "goto", "using", "namespace", "typedef", "template",
    "class", "struct", "enum", "union", "friend", "public", "private", "protected", "static_assert", "throw",
    "else", "if", "for", "while", "do", "switch", "explicit", "virtual", "operator", "extern",
}
# Names too common to show that two lines depend on each other.
COMMON_NAMES = {
    "std", "const", "auto", "int", "unsigned", "size_t", "uint8_t", "uint16_t", "uint32_t", "uint64_t",
    "char", "bool", "true", "false", "nullptr", "string", "string_view", "vector", "size", "data", "c_str",
    "static_cast", "reinterpret_cast", "begin", "end", "void", "this", "move",
}
DECLARATION = re.compile(
    r"^(?:(?:const|constexpr|static|inline|thread_local|volatile|mutable|unsigned|signed|long|short|struct)\s+)*"
    r"[A-Za-z_][\w:]*(?:<[^;=]*>)?(?:\s*[*&]+\s*|\s+)(?:const\s+)?[*&]*\s*([A-Za-z_]\w*)\s*(?:[=;({\[,]|$)"
)


# ---------------------------------------------------------------- reading code


def mask_file(lines):
    """Per line: the code with comments blanked and literals' insides replaced by '_'.

    The masked line has the same length as the line, so positions found in it
    are positions in the line. Preprocessor lines come back empty."""
    masked = []
    in_block = False
    continued = False
    for line in lines:
        out = []
        i = 0
        stripped = line.lstrip()
        if continued or (not in_block and stripped.startswith("#")):
            continued = line.endswith("\\")
            masked.append(" " * len(line))
            continue
        while i < len(line):
            c = line[i]
            if in_block:
                if line.startswith("*/", i):
                    in_block = False
                    out.append("  ")
                    i += 2
                else:
                    out.append(" ")
                    i += 1
            elif line.startswith("//", i):
                out.append(" " * (len(line) - i))
                break
            elif line.startswith("/*", i):
                in_block = True
                out.append("  ")
                i += 2
            elif c == '"' or (c == "'" and not (i > 0 and line[i - 1].isalnum())):
                j = i + 1
                while j < len(line) and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                j = min(j, len(line) - 1)
                out.append(c + "_" * (j - i - 1) + c)
                i = j + 1
            else:
                out.append(c)
                i += 1
        masked.append("".join(out)[: len(line)])
    return masked


def balanced(code):
    depth = 0
    for c in code:
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth < 0:
                return False
    return depth == 0


def previous_code(masked, index):
    index -= 1
    while index >= 0 and not masked[index].strip():
        index -= 1
    return masked[index].strip() if index >= 0 else ""


def simple_statement(masked, index):
    """A whole statement on its own line that is not a declaration, a jump or a block."""
    code = masked[index].strip()
    if not code.endswith(";") or code == ";" or "{" in code or "}" in code or not balanced(code):
        return False
    first = re.match(r"[A-Za-z_]\w*", code)
    if first and first.group(0) in KEYWORDS_NOT_STATEMENTS:
        return False
    # The line begins a statement: not a continuation, not the body of an unbraced if.
    before = previous_code(masked, index)
    if before and before[-1] not in ";{}:":
        return False
    if before.endswith(":") and not re.match(r"(case\b.*|default|public|private|protected)\s*:$", before):
        return False
    return True


def step(masked, index):
    """A statement that does something: not a declaration, not a member's."""
    code = masked[index].strip()
    return (
        simple_statement(masked, index)
        and declared_name(code) is None
        and not re.search(r"\b(operator|template)\b|(= *(default|delete|0)|\) *(const|override|noexcept));$", code)
        # a constructor's or destructor's declaration (types are UpperCamelCase), a function pointer
        and not re.match(r"~?[A-Z]\w*\(|.*\(\*\w+\)\(|(const )?auto\s*&*\s*\[", code)
    )


def declared_name(code):
    match = DECLARATION.match(code.strip())
    if match and match.group(1) not in KEYWORDS_NOT_STATEMENTS:
        return match.group(1)
    return None


def names(code):
    return set(re.findall(r"[A-Za-z_]\w*", code)) - COMMON_NAMES - KEYWORDS_NOT_STATEMENTS


def block_exits(masked, index):
    """Whether the block opened at the end of line `index` leaves by return/break/continue/throw."""
    depth = 0
    for j in range(index, min(len(masked), index + 40)):
        code = masked[j]
        if j > index and depth == 1 and re.search(r"\b(return|break|continue|throw)\b", code):
            return True
        depth += code.count("{") - code.count("}")
        if j > index and depth <= 0:
            return False
    return False


# ---------------------------------------------------------------- candidates


def line_candidates(lines, masked, index):
    """(kind, replacement) pairs for the line at `index`; a swap's replacement is None."""
    line, code = lines[index], masked[index]
    stripped = code.strip()
    if not stripped or "\t" in line or line != line.rstrip() or re.match(r"[{}();\s]*$", stripped):
        return []
    if re.search(r"\b(static_assert|assert|template|operator|__attribute__)\b", code):
        return []
    found = []

    def at(start, end, text, kind):
        found.append((kind, line[:start] + text + line[end:]))

    declaration = declared_name(stripped) is not None

    # Comparisons: a < or > with a space on each side is one (templates have none).
    for m in re.finditer(r"(?<![<>=!])(==|!=|<=|>=)(?![=>])|(?<=\s)(<|>)(?=\s)", code):
        op = m.group(0)
        flipped = {"==": "!=", "!=": "==", "<": "<=", "<=": "<", ">": ">=", ">=": ">"}[op]
        at(m.start(), m.end(), flipped, "cmp")

    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        at(m.start(), m.end(), "||" if m.group(0) == "&&" else "&&", "logic")

    for m in re.finditer(r"(?<![\w)\]!])!(?=[\w(*])", code):
        at(m.start(), m.end(), "", "not")

    for m in re.finditer(r"(?<=\s)([+-]) 1(?![\w.'])", code):
        at(m.start(), m.end(), m.group(1) + " 0", "off1")

    for m in re.finditer(r"(?<![\w.'])(\d+)([uUlL]*)(?![\w.'])", code):
        if m.group(1).startswith("0") and len(m.group(1)) > 1:
            digits = m.group(1)  # octal, a file mode: a wrong constant below
            at(m.start(1), m.end(1), digits[:-1] + str(int(digits[-1]) ^ 1), "const")
            continue
        n = int(m.group(1))
        before = code[: m.start()].rstrip()
        if (before.endswith("[") and declaration) or re.search(r"[+-] $", code[: m.start()]) and n == 1:
            continue  # an array's size; "+ 1" has its own fault
        if re.search(r"\)( const)? = $", code[: m.start()]):
            continue  # a pure virtual function's "= 0"
        if n >= 64 and n & (n - 1) == 0:
            continue  # a buffer's size: one more or less changes nothing
        value = n + 1 if n == 0 or len(code[: m.start()].split()) % 2 else n - 1
        at(m.start(1), m.end(1), str(value), "off1")

    for m in re.finditer(r"\b(true|false)\b", code):
        if not re.search(r"\breturn\s+$", code[: m.start()]):
            at(m.start(), m.end(), "false" if m.group(0) == "true" else "true", "const")
    for m in re.finditer(r"(?<![\w.])0[xX]([0-9A-Fa-f]+)([uUlL]*)(?![\w.])", code):
        digits = m.group(1)
        last = int(digits[-1], 16) ^ 1
        at(m.start(1), m.end(1), digits[:-1] + format(last, "X" if digits[-1].isupper() else "x"), "const")
    for m in re.finditer(r"'_'", code):
        c = line[m.start() + 1]
        if c.isalnum() or c in "/.-+=: ":
            other = "x" if c != "x" else "y"
            at(m.start() + 1, m.start() + 2, other, "const")
    for m in re.finditer(r'"(_+)"', code):
        text = line[m.start() + 1 : m.end() - 1]
        if len(text) >= 2 and "%" not in text and "\\" not in text[-2:] and not re.search(r"\binclude\b", code):
            at(m.end() - 2, m.end() - 1, "", "const")

    m = re.match(r"(\s*)return (true|false);$", code)
    if m:
        at(len(m.group(1)) + 7, len(m.group(1)) + 7 + len(m.group(2)), "false" if m.group(2) == "true" else "true",
           "ret")
    else:
        m = re.search(r"\breturn (true|false);", code)
        if m and re.match(r"\s*(else\s+)?if\s*\(", code):
            at(m.start(1), m.end(1), "false" if m.group(1) == "true" else "true", "ret")

    # A check: an if whose condition is on the line and whose branch leaves.
    m = re.match(r"(\s*(?:\}\s*)?(?:else\s+)?if\s*)\(", code)
    if m:
        open_at = m.end() - 1
        depth, close_at = 0, None
        for j in range(open_at, len(code)):
            depth += {"(": 1, ")": -1}.get(code[j], 0)
            if depth == 0:
                close_at = j
                break
        if close_at is not None:
            condition = code[open_at + 1 : close_at]
            rest = code[close_at + 1 :].strip()
            nxt = next((masked[j].strip() for j in range(index + 1, len(masked)) if masked[j].strip()), "")
            leaves = (
                re.match(r"(return|break|continue|throw)\b", rest)
                or (not rest and re.match(r"(return|break|continue|throw)\b", nxt))
                or (rest == "{" and block_exits(masked, index))
            )
            if leaves and ";" not in condition and not declared_name(condition) and condition.strip() != "false":
                at(open_at + 1, close_at, "false", "nocheck")

    if step(masked, index):
        if not re.match(r"\(void\)|.*\.reserve\(", stripped):
            indent = line[: len(line) - len(line.lstrip())]
            found.append(("drop", indent + "// " + line.lstrip()))
        if index + 1 < len(lines) and step(masked, index + 1):
            other = masked[index + 1].strip()
            indent_of = lambda s: len(s) - len(s.lstrip())  # noqa: E731
            declared = declared_name(other)
            if (
                indent_of(lines[index]) == indent_of(lines[index + 1])
                and lines[index].strip() != lines[index + 1].strip()
                and "\t" not in lines[index + 1]
                and lines[index + 1] == lines[index + 1].rstrip()
                and names(stripped) & names(other)
                and not (declared and declared in names(stripped))
            ):
                found.append(("swap", None))
    return [f for f in found if f[1] != line]


def code_size(lines):
    """Lines as test-ratio.sh counts them."""
    total = 0
    for line in lines:
        s = line.strip()
        if s and not s.startswith("//") and not s.startswith("#"):
            total += (len(line) + 119) // 120
    return total


def collect(root):
    """{folder: [files]}, {path: size}, {folder: [Fault candidates]} in a fixed order."""
    sizes, candidates = {}, {f: [] for f in FOLDERS}
    for folder in FOLDERS:
        for directory, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                path = os.path.relpath(os.path.join(directory, name), root)
                if not name.endswith((".cpp", ".h")) or path in NOT_BUILT:
                    continue
                lines = faultlib.read_lines(os.path.join(root, path))
                sizes[path] = code_size(lines)
                masked = mask_file(lines)
                for index in range(len(lines)):
                    for kind, replacement in line_candidates(lines, masked, index):
                        span = 1 if kind == "swap" else 0
                        candidates[folder].append(
                            faultlib.Fault(
                                0, kind, path, index + 1, faultlib.context_hash(lines, index, index + span),
                                lines[index], lines[index + 1] if kind == "swap" else replacement,
                            )
                        )
    return sizes, candidates


# ---------------------------------------------------------------- choosing


def quotas(total, weights):
    """Largest-remainder split of `total` in proportion to `weights`."""
    whole = sum(weights.values())
    raw = {k: total * w / whole for k, w in weights.items()}
    share = {k: math.floor(v) for k, v in raw.items()}
    for k in sorted(raw, key=lambda k: (share[k] - raw[k], k))[: total - sum(share.values())]:
        share[k] += 1
    return share


def order(folder_candidates, sizes, seed):
    """The folder's candidates in the order they are tried: kinds taken in turn,
    each time from the file that has the fewest faults for its size."""
    by_kind = {}
    for fault in folder_candidates:
        by_kind.setdefault(fault.kind, []).append(fault)
    # A candidate's place hangs on its own text only, so that a change elsewhere
    # in the code leaves most of the list as it was.
    for kind in sorted(by_kind):
        by_kind[kind].sort(key=lambda f: hashlib.sha1(
            f"{seed}\t{f.kind}\t{f.path}\t{f.original}\t{f.replacement}".encode()).hexdigest())
    kinds = sorted(by_kind)
    random.Random(seed).shuffle(kinds)
    taken_kind = {k: 0 for k in kinds}
    taken_file = {}
    used_lines = set()
    while any(by_kind.values()):
        kind = min((k for k in kinds if by_kind[k]), key=lambda k: (taken_kind[k], kinds.index(k)))
        pool = by_kind[kind]
        best = min(range(len(pool)), key=lambda i: (taken_file.get(pool[i].path, 0) / max(sizes[pool[i].path], 1), i))
        fault = pool.pop(best)
        lines = {(fault.path, fault.line)} | ({(fault.path, fault.line + 1)} if fault.kind == "swap" else set())
        if lines & used_lines:
            continue

        def take(fault=fault, lines=lines):
            taken_kind[fault.kind] += 1
            taken_file[fault.path] = taken_file.get(fault.path, 0) + 1
            # One fault per line: two faults of one line would be one fault twice.
            used_lines.update(lines)

        yield fault, take


# ---------------------------------------------------------------- building


class SyntaxCheck:
    """Compiles one unit of a private copy of the tree, syntax only."""

    def __init__(self, root):
        self.dir = tempfile.mkdtemp(prefix="faults-gen-", dir="/var/tmp")
        self.tree = os.path.join(self.dir, "src")
        faultlib.sync(root, self.tree)
        build = os.path.join(self.dir, "build")
        subprocess.run(
            ["cmake", "-S", self.tree, "-B", build, "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"] + CONFIGURE,
            check=True, stdout=subprocess.DEVNULL,
        )
        with open(os.path.join(build, "compile_commands.json")) as f:
            self.commands = {os.path.relpath(e["file"], self.tree): e for e in json.load(f)}
        self.clean = {}

    def unit_for(self, path):
        if path in self.commands:
            return path
        stem = os.path.splitext(path)[0] + ".cpp"
        if stem in self.commands:
            return stem
        header = os.path.relpath(path, os.path.dirname(path).split("/")[0])  # "pdb/version.h"
        for unit in sorted(self.commands):
            with open(os.path.join(self.tree, unit), encoding="utf-8") as f:
                text = f.read()
            if f'"{header}"' in text or f'"{os.path.basename(path)}"' in text:
                return unit
        return None

    def compile(self, unit, *flags):
        entry = self.commands[unit]
        args = shlex.split(entry["command"])
        out = args.index("-o")
        args = [a for a in args[:out] + args[out + 2 :] if a != "-c"] + list(flags)
        done = subprocess.run(args, cwd=entry["directory"], capture_output=True)
        return done.stdout if done.returncode == 0 else None

    def builds(self, fault):
        """Whether the fault compiles and changes what is compiled: a line
        that the preprocessor leaves out (another processor's code) would
        only ever be missed."""
        unit = self.unit_for(fault.path)
        if unit is None:
            return False
        if unit not in self.clean:
            self.clean[unit] = self.compile(unit, "-E", "-P")
        if faultlib.apply(fault, self.tree) is None:
            return False
        try:
            if self.compile(unit, "-E", "-P") == self.clean[unit]:
                return False
            return self.compile(unit, "-fsyntax-only") is not None
        finally:
            faultlib.revert(self.tree)

    def close(self):
        subprocess.run(["rm", "-rf", self.dir], check=False)


# ---------------------------------------------------------------- main

HEADER = """\
# Seeded faults, written by scripts/faults/generate.py (seed {seed}); scripts/faults/run.sh tries them.
# Fields, tab-separated: id, kind, path:line, context (hash of the nearest lines around),
# the line's exact text, what it becomes. A swap exchanges the two lines given, in that order.
# {count} faults; by folder: {folders}; by kind: {kinds}.
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=180)
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--no-build-check", action="store_true", help="skip compiling each fault")
    parser.add_argument("--output", default=os.path.join(ROOT, "scripts", "faults", "faults.txt"))
    args = parser.parse_args()

    sizes, candidates = collect(ROOT)
    folder_sizes = {f: sum(s for p, s in sizes.items() if p.startswith(f + "/")) for f in FOLDERS}
    share = quotas(args.count, folder_sizes)
    check = None if args.no_build_check else SyntaxCheck(ROOT)
    chosen, rejected = [], []
    try:
        for folder in FOLDERS:
            taken = 0
            for fault, take in order(candidates[folder], sizes, args.seed):
                if taken == share[folder]:
                    break
                if check and not check.builds(fault):
                    rejected.append(fault)
                    continue
                take()
                chosen.append(fault)
                taken += 1
            print(f"{folder}: {taken} of {len(candidates[folder])} candidates", file=sys.stderr)
    finally:
        if check:
            check.close()

    chosen.sort(key=lambda f: (FOLDERS.index(f.folder()) if f.folder() in FOLDERS else 99, f.path, f.line, f.kind))
    for number, fault in enumerate(chosen, 1):
        fault.id = number
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(HEADER.format(seed=args.seed, count=len(chosen),
                              folders=", ".join(f"{d} {sum(1 for x in chosen if x.folder() == d)}" for d in FOLDERS),
                              kinds=", ".join(f"{k} {sum(1 for x in chosen if x.kind == k)}" for k in KINDS)))
        for fault in chosen:
            f.write(fault.format() + "\n")
    print(f"wrote {len(chosen)} faults to {os.path.relpath(args.output)}; {len(rejected)} did not build:",
          file=sys.stderr)
    for fault in rejected:
        print(f"  {fault.kind:8} {fault.path}:{fault.line}: {fault.replacement.strip()}", file=sys.stderr)


if __name__ == "__main__":
    main()
