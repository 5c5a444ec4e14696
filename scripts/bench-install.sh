#!/usr/bin/env bash
# Whole-install benchmark: how long the installer takes to install a package
# of about 64 MiB in 2,000 files, built once inflating with ISA-L and once
# with zlib, side by side with
#   - install_floor (bench/install_floor.cpp) of the same build: only
#     inflates the same archive through the installer's InflateStream and
#     writes the same files, staged in temporary files and renamed into place
#     (and a second row writing them in place, with no rename);
#   - dpkg --root --force-unsafe-io installing the same files as a .deb made
#     with dpkg-deb -Zgzip;
# the system calls of one run of each (strace -c); and the installer's peak
# memory for that package, one four times smaller (16 MiB in 500 files) and
# one with a quarter of the bytes in as many files (16 MiB in 2,000 files).
#
#   scripts/bench-install.sh [--runs N] [--warmup N] [--out DIR] [--perf]
#
# --perf also records where the installer's time goes (perf record at 20 kHz
# over five upgrade runs of each build) and writes the top of the profiles to
# the results.
#
# Every timed run gets a fresh root on a freshly mounted tmpfs (hyperfine
# --prepare), so the root disk's journal-less create-after-delete slowdown
# plays no part; the prepare step also writes and frees 512 MiB of memory,
# so that the run does not pay for pages the host took back. The package
# contents are made by a seeded generator: every run of this script measures
# the same bytes.
#
# Needs root (the installer enters its root with chroot, and the roots are
# tmpfs mounts). Builds installer, vpa and install_floor in build-bench/
# (Release, ISA-L) and build-bench-zlib/ (Release, zlib); results go to
# build-bench/bench-install/ unless --out says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

runs=15
warmup=2
out=$repo/build-bench/bench-install
profile=no
while (($#)); do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --warmup) warmup=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --perf) profile=yes; shift ;;
        *) echo "usage: scripts/bench-install.sh [--runs N] [--warmup N] [--out DIR] [--perf]" >&2; exit 2 ;;
    esac
done
case $out in /*) ;; *) out=$repo/$out ;; esac

say() { printf '\n==> %s\n' "$*"; }

if [[ $(id -u) -ne 0 ]]; then
    echo "bench-install: needs root (chroot into the sandbox roots, tmpfs mounts)" >&2
    exit 1
fi

say "Checking tools"
scripts/setup.sh
need=()
command -v hyperfine >/dev/null || need+=(hyperfine)
command -v strace >/dev/null || need+=(strace)
if [[ $profile == yes ]] && ! command -v perf >/dev/null; then need+=(linux-perf); fi
command -v python3 >/dev/null || need+=(python3)
[[ -x /usr/bin/time ]] || need+=(time)
if ((${#need[@]})); then
    DEBIAN_FRONTEND=noninteractive apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}"
fi

say "Building installer, vpa and install_floor in build-bench/ (ISA-L) and build-bench-zlib/ (zlib), Release"
cmake -S . -B build-bench -G Ninja -DINSTALLER_BENCH=ON -DCMAKE_BUILD_TYPE=Release -DINSTALLER_TESTS=OFF \
    -DINSTALLER_INFLATE=isal >/dev/null
cmake --build build-bench -j2 --target installer vpa install_floor
cmake -S . -B build-bench-zlib -G Ninja -DINSTALLER_BENCH=ON -DCMAKE_BUILD_TYPE=Release -DINSTALLER_TESTS=OFF \
    -DINSTALLER_INFLATE=zlib >/dev/null
cmake --build build-bench-zlib -j2 --target installer install_floor
installer=$repo/build-bench/installer
vpa=$repo/build-bench/vpa
floor=$repo/build-bench/bench/install_floor
installer_zlib=$repo/build-bench-zlib/installer
floor_zlib=$repo/build-bench-zlib/bench/install_floor

# The router's environment, not the caller's, decides these.
unset arch bootimage

work=$(mktemp -d /tmp/bench-install-XXXXXX)
in=$work/in      # generated trees and packages (tmpfs)
root=$work/root  # the root of one run (a fresh tmpfs for each run)
cleanup() {
    local dir
    for dir in "$root" "$in"; do
        if mountpoint -q "$dir"; then umount "$dir" || umount -l "$dir"; fi
    done
    rm -rf -- "$work"
}
trap cleanup EXIT
mkdir -p "$in" "$root" "$out"
mount -t tmpfs -o size=2g,mode=0755 bench-install-in "$in"
mount -t tmpfs -o size=1g,mode=0755 bench-install-root "$root"

# make_tree DIR MIB FILES SEED: text, binary-like and random files in a
# router-like tree, sizes drawn from log-normal distributions and scaled to
# MIB exactly. Prints the bytes of each kind.
make_tree() {
    python3 - "$@" <<'PY'
import itertools, os, random, sys

out, total_mib, count, seed = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(seed)
total = int(total_mib * 1024 * 1024)

# Text: pseudo-words with Zipf-like frequencies, about 3x under deflate.
letters = "etaoinshrdlcumwfgypbvkjxqz"
vocab = ["".join(rng.choices(letters, weights=range(26, 0, -1), k=rng.randint(2, 10))) for _ in range(3000)]
vocab_cum = list(itertools.accumulate(1.0 / (i + 1) for i in range(len(vocab))))

def text(n):
    chosen = rng.choices(vocab, cum_weights=vocab_cum, k=n // 5 + 8)
    for i in range(9, len(chosen), 10):
        chosen[i] += "\n"
    return " ".join(chosen).encode()[:n]

# Binary-like: "instruction words" from a pool of 16384 with skewed
# frequencies, zero padding and symbol strings; about 2.5-3x under deflate,
# like real executables.
words = [rng.randbytes(4) for _ in range(16384)]
tokens = words + [bytes(16), bytes(64), bytes(256)] + [w.encode() + b"\0" for w in vocab[:256]]
token_cum = list(itertools.accumulate(
    [1.0 / (i + 1) ** 0.9 for i in range(len(words))] + [2.0, 0.7, 0.2] + [0.02] * 256))

def binary(n):
    return b"".join(rng.choices(tokens, cum_weights=token_cum, k=n // 4 + 8))[:n]

kinds = {
    # kind: (share of the files, size weight, log-normal sigma, directories, name, suffix)
    "text": (55, 1.0, 1.0, ["etc", "etc/net", "etc/init", "share/doc", "share/locale/en", "share/locale/de",
                            "share/help", "www/pages", "www/scripts", "lib/conf"], "t", ".txt"),
    "binary": (35, 5.2, 1.0, ["bin", "sbin", "lib", "lib/modules/core", "lib/modules/net",
                              "lib/modules/wireless", "libexec", "lib/plugins"], "b", ""),
    "random": (10, 15.0, 0.8, ["share/firmware", "share/images", "lib/firmware", "www/media"], "r", ".bin"),
}
entries = []
left = count
for index, (kind, (share, weight, sigma, dirs, _, _)) in enumerate(kinds.items()):
    n = left if index == len(kinds) - 1 else count * share // 100
    left -= n
    entries += [(kind, rng.choice(dirs), rng.lognormvariate(0, sigma) * weight) for _ in range(n)]
scale = total / sum(e[2] for e in entries)
sizes = [max(1, int(e[2] * scale)) for e in entries]
sizes[sizes.index(max(sizes))] += total - sum(sizes)

produced = {}
for number, ((kind, directory, _), size) in enumerate(zip(entries, sizes)):
    prefix, suffix = kinds[kind][4], kinds[kind][5]
    path = os.path.join(out, directory, "%s%04d%s" % (prefix, number, suffix))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data = {"text": text, "binary": binary, "random": rng.randbytes}[kind](size)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o755 if kind == "binary" and directory.endswith("bin") else 0o644)
    produced[kind] = produced.get(kind, 0) + len(data)
print("   %d files, %.1f MiB: %s" % (len(entries), sum(produced.values()) / 1048576,
      ", ".join("%s %.1f MiB" % (k, v / 1048576) for k, v in produced.items())))
PY
}

# make_packages NAME MIB FILES [vpa]: NAME.vpa (signed with the development
# key) and, unless only the vpa is asked for, NAME.deb with the same files
# and NAME.sha1, the files' digests.
make_packages() {
    local name=$1 tree=$in/$1-tree deb=$in/$1-deb
    echo "-- $name"
    make_tree "$tree" "$2" "$3" 20240601
    "$vpa" build -o "$in/$name.vpa" --name "$name" --version 1.0 --build-time 1300000000 \
        --key keys/development.key "$tree"
    if [[ ${4:-} == vpa ]]; then
        echo "   $name.vpa $(stat -c %s "$in/$name.vpa") bytes"
        return
    fi
    # The .deb installs the tree under /flash, where the installer puts it.
    mkdir -p "$deb/DEBIAN"
    cp -al "$tree" "$deb/flash"
    printf 'Package: %s\nVersion: 1.0\nArchitecture: all\nMaintainer: bench <bench@localhost>\nDescription: whole-install benchmark package\n' \
        "$name" >"$deb/DEBIAN/control"
    dpkg-deb --root-owner-group -Zgzip --build "$deb" "$in/$name.deb" >/dev/null
    (cd "$tree" && find . -type f -print0 | sort -z | xargs -0 sha1sum) >"$in/$name.sha1"
    echo "   $name.vpa $(stat -c %s "$in/$name.vpa") bytes, $name.deb $(stat -c %s "$in/$name.deb") bytes," \
        "content digest $(sha1sum <"$in/$name.sha1" | cut -c1-12)"
}

say "Generating the packages (seeded)"
make_packages full 64 2000
make_packages quarter 16 500
# For the memory figures only: a quarter of the bytes in as many files as
# the full package, which tells growth with bytes from growth with files.
make_packages files2000 16 2000 vpa

# The prepare step of every timed run: a fresh tmpfs root laid out for the
# tool, then 512 MiB written and freed (see the top of this file).
cat >"$work/reset" <<EOF
#!/bin/sh
set -e
umount "$root" 2>/dev/null || true
mount -t tmpfs -o size=1g,mode=0755 bench-install-root "$root"
case \$1 in
    upgrade|stream)
        mkdir -p "$root/flash/var/pdb" "$root/flash/boot" "$root/flash/rw/pckg" "$root/ram" "$root/rw"
        if [ "\$1" = upgrade ]; then cp "$in/\${2:-full}.vpa" "$root/flash/rw/pckg/"; fi ;;
    floor) mkdir -p "$root/flash" ;;
    dpkg)
        mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
        : >"$root/var/lib/dpkg/status"
        : >"$root/var/lib/dpkg/available" ;;
esac
dd if=/dev/zero of=/dev/null bs=512M count=1 2>/dev/null
EOF
chmod +x "$work/reset"
reset=$work/reset

cmd_upgrade="$installer -r $root"
cmd_stream="$installer -r $root - <$in/full.vpa"
cmd_floor="$floor $in/full.vpa $root/flash"
cmd_direct="$floor --direct $in/full.vpa $root/flash"
cmd_upgrade_zlib="$installer_zlib -r $root"
cmd_floor_zlib="$floor_zlib $in/full.vpa $root/flash"
cmd_dpkg="dpkg --root=$root --force-unsafe-io -i $in/full.deb"

say "Checking that every command installs the same files"
check() {
    local mode=$1
    shift
    "$reset" "$mode"
    sh -c "$*" >/dev/null
    if ! (cd "$root/flash" && sha1sum --quiet -c "$in/full.sha1"); then
        echo "bench-install: '$*' did not install the package's files" >&2
        exit 1
    fi
    echo "   ok: $*"
}
check upgrade "$cmd_upgrade"
check stream "$cmd_stream"
check floor "$cmd_floor"
check floor "$cmd_direct"
check upgrade "$cmd_upgrade_zlib"
check floor "$cmd_floor_zlib"
check dpkg "$cmd_dpkg"

say "Timing ($warmup warmup runs, $runs runs each; load before: $(cut -d' ' -f1-3 /proc/loadavg))"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
hyperfine --warmup "$warmup" --runs "$runs" --export-json "$out/times.json" --export-markdown "$out/times.md" \
    -n "a: installer (upgrade run)" --prepare "$reset upgrade" "$cmd_upgrade" \
    -n "a2: installer (stream mode)" --prepare "$reset stream" "$cmd_stream" \
    -n "b: install_floor (staged, renamed)" --prepare "$reset floor" "$cmd_floor" \
    -n "b2: install_floor --direct" --prepare "$reset floor" "$cmd_direct" \
    -n "z: installer, zlib (upgrade run)" --prepare "$reset upgrade" "$cmd_upgrade_zlib" \
    -n "zb: install_floor, zlib (staged, renamed)" --prepare "$reset floor" "$cmd_floor_zlib" \
    -n "c: dpkg --root --force-unsafe-io -i" --prepare "$reset dpkg" "$cmd_dpkg"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

say "System calls of one run each (strace -f -c)"
syscalls() {
    local mode=$1 name=$2
    shift 2
    "$reset" "$mode"
    strace -f -c -o "$out/syscalls-$name.txt" sh -c "$*" >/dev/null
    printf '%-14s %6s calls\n' "$name" "$(awk '$NF == "total" {print $4}' "$out/syscalls-$name.txt")"
}
syscalls upgrade installer "$cmd_upgrade"
syscalls floor floor "$cmd_floor"

if [[ $profile == yes ]]; then
    say "Profiles of the upgrade run (perf record -F 20000 -g, five runs each)"
    for build in isal zlib; do
        program=$installer
        [[ $build == zlib ]] && program=$installer_zlib
        data=$work/perf-$build.data
        for n in 1 2 3 4 5; do
            "$reset" upgrade
            perf record -q -F 20000 -g -o "$data.$n" -- "$program" -r "$root" >/dev/null 2>&1
        done
        for n in 1 2 3 4 5; do
            perf report -i "$data.$n" --stdio --no-children --sort symbol --percent-limit 0.5 2>/dev/null |
                grep -E '^ +[0-9.]+%' | sed 's/^ *//'
        done | awk '{p = $1; sub(/%/, "", p); $1 = ""; sum[$0] += p} END {for (s in sum) printf "%6.2f%% %s\n", sum[s] / 5, s}' |
            sort -rn | head -n 30 >"$out/profile-$build.txt"
        echo "-- $build (mean share of samples over five runs):"
        head -n 15 "$out/profile-$build.txt"
    done
fi

say "Peak memory of the installer (/usr/bin/time -v, 3 runs each, KiB)"
peak() {
    local mode=$1 name=$2 report=$work/time.txt program=$installer
    [[ $3 == zlib ]] && program=$installer_zlib
    "$reset" "$mode" "$name"
    if [[ $mode == upgrade ]]; then
        /usr/bin/time -v -o "$report" "$program" -r "$root" >/dev/null
    else
        /usr/bin/time -v -o "$report" "$program" -r "$root" - <"$in/$name.vpa" >/dev/null
    fi
    sed -n 's/.*Maximum resident set size (kbytes): //p' "$report"
}
: >"$out/peak.txt"
for build in isal zlib; do
    for mode in upgrade stream; do
        for name in full quarter files2000; do
            values=$(for _ in 1 2 3; do peak "$mode" "$name" "$build"; done | tr '\n' ' ')
            printf '%-5s %-8s %-10s %s\n' "$build" "$mode" "$name" "$values" | tee -a "$out/peak.txt"
        done
    done
done

say "Summary"
python3 - "$out/times.json" "$out/peak.txt" "$load_before" "$load_after" <<'PY' | tee "$out/summary.md"
import json, math, sys

results = {r["command"].split(":")[0]: r for r in json.load(open(sys.argv[1]))["results"]}
print("| tool | mean ± sd (ms) | user (ms) | system (ms) |")
print("|---|---:|---:|---:|")
for key, r in results.items():
    print("| %s | %.0f ± %.0f | %.0f | %.0f |" % (r["command"], r["mean"] * 1e3, r["stddev"] * 1e3,
                                               r["user"] * 1e3, r["system"] * 1e3))

def ratio(x, y):
    a, b = results[x], results[y]
    value = a["mean"] / b["mean"]
    spread = value * math.hypot(a["stddev"] / a["mean"], b["stddev"] / b["mean"])
    return "%.2f ± %.2f" % (value, spread)

def cpu_ratio(x, y):
    # user + system: steadier than wall time on a loaded machine
    cpu = lambda r: r["user"] + r["system"]
    return "%.2f" % (cpu(results[x]) / cpu(results[y]))

print()
print("ratio (wall, mean ± sd; CPU = user + system)")
for x, y, target in (("a", "b", "ISA-L, target: at most 1.2"), ("a", "b2", "ISA-L, floor without renames"),
                     ("a", "c", "ISA-L, target: at most 0.5"), ("a2", "b", "ISA-L, stream mode"),
                     ("a2", "c", "ISA-L, stream mode"), ("z", "zb", "zlib, target: at most 1.2"),
                     ("b", "zb", "the floors: ISA-L against zlib")):
    print("%s/%s = %s, CPU %s  (%s)" % (x, y, ratio(x, y), cpu_ratio(x, y), target))
print()
print("peak RSS (KiB), backend, mode, package (full: 64 MiB in 2000 files, quarter: 16 MiB in 500,")
print("files2000: 16 MiB in 2000), three runs:")
for line in open(sys.argv[2]):
    print("  " + line.rstrip())
print()
print("load average before %s, after %s (%s cores)" % (sys.argv[3], sys.argv[4], __import__("os").cpu_count()))
PY
echo
echo "results: $out/"
