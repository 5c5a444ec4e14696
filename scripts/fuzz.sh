#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# fixed time over a seed corpus: hand-made seeds plus packages, bundles and
# database directories made by the package tool. Before fuzzing, each target
# runs once over the inputs of its earlier findings in fuzz/regressions/.
#
#   scripts/fuzz.sh [seconds per target]      (default 20)
#
# The build goes to build-fuzz/ (FUZZ_BUILD_DIR chooses another). New inputs
# found go to <build>/corpus/<target>/; a crash, leak, timeout or oversized
# allocation leaves its input in <build>/ as crash-*, leak-*, timeout-* or
# oom-* and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
jobs=$(nproc 2>/dev/null || echo 2)
build=${FUZZ_BUILD_DIR:-build-fuzz}
targets=(package_walk_fuzz inflate_fuzz package_db_fuzz install_stream_fuzz manifest_fuzz)

step() { printf '\n==> %s\n' "$*"; }

scripts/setup.sh

step "Building the fuzz targets and the package tool in $build/"
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DINSTALLER_FUZZ=ON -DINSTALLER_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" vpa -j "$jobs"

step "Making the seed corpus"
corpus=$build/corpus
seeds=$build/seeds
rm -rf "$seeds"
for target in "${targets[@]}"; do mkdir -p "$corpus/$target"; done
python3 fuzz/make_seeds.py "$seeds"
vpa=$build/vpa
export SOURCE_DATE_EPOCH=1300000000
tree=$seeds/tree
mkdir -p "$tree/bin" "$tree/etc"
printf 'on\n' >"$tree/etc/app.conf"
head -c 3000 /dev/zero | tr '\0' 'x' >"$tree/bin/app"
chmod 755 "$tree/bin/app"
ln -s app "$tree/bin/app-link"
walk=$seeds/package_walk
"$vpa" build -o "$walk/plain.vpa" --name app --version 6.1 "$tree" >/dev/null
"$vpa" build -o "$walk/signed.vpa" --name app --version 6.1.3 --key keys/development.key \
    --dep stavel:6.0:0 --provides web:1.0:0:5 --conflicts old:0:0 --note "a note" "$tree" >/dev/null
"$vpa" build -o "$walk/kept.vpa" --name stavel --version 3.20rc2 --keep-image --key keys/development.key \
    "$tree" >/dev/null
"$vpa" build -o "$walk/overlay.vpa" --name app --version 5.0beta --overlay "$tree" >/dev/null
"$vpa" bundle -o "$walk/bundle.vpd" --name velmora --version 6.1 --disabled-member stavel \
    --key keys/development.key "$walk/signed.vpa" "$walk/kept.vpa" >/dev/null
cp "$walk"/* "$corpus/package_walk_fuzz/"
cp "$seeds"/inflate/* "$corpus/inflate_fuzz/"
cp "$seeds"/manifest/* "$corpus/manifest_fuzz/"

# Signed packages that meet the router database the stream target sets up
# (stavel 6.0, app 5.0 needing it, old 1.0 with a scheduled disable, the
# bundle velmora 6.0), so that the installer goes past the signature check
# and on to admission, planning and the database.
stream=$corpus/install_stream_fuzz
cp "$walk/signed.vpa" "$walk/kept.vpa" "$walk/overlay.vpa" "$walk/bundle.vpd" "$stream/"
"$vpa" build -o "$stream/core.vpa" --name stavel --version 6.2 --key keys/development.key \
    --provides web:2.0:0:1 "$tree" >/dev/null
"$vpa" build -o "$stream/boot.vpa" --name stavel --version 6.1.1 --flags 1 --key keys/development.key \
    "$tree" >/dev/null
"$vpa" build -o "$stream/groups.vpa" --name app --version 7.0 --group bin/app=2 --group etc/app.conf=0 \
    --arch i386 --key keys/development.key "$tree" >/dev/null
"$vpa" build -o "$stream/same.vpa" --name app --version 5.0 --dep stavel --key keys/development.key \
    "$tree" >/dev/null
"$vpa" build -o "$stream/needs_missing.vpa" --name wifi --version 1.0 --dep radio:2.0 \
    --key keys/development.key "$tree" >/dev/null
"$vpa" build -o "$stream/no_metadata.vpa" --name quillon --version 1.0alpha1 --flags 2 \
    --key keys/development.key "$tree" >/dev/null
"$vpa" bundle -o "$stream/upgrade_bundle.vpd" --name velmora --version 6.2 --keep-image \
    --key keys/development.key "$stream/core.vpa" "$stream/groups.vpa" "$stream/needs_missing.vpa" >/dev/null
cp "$seeds"/package_walk/{single,bundle} "$stream/"

db=$corpus/package_db_fuzz
printf '100754944 1300000000\n' >"$db/version"
printf 'stavel 100689408 0\nwifi 0 0\n' >"$db/deps"
printf 'web 16777216 0 5\n' >"$db/provides"
printf 'bin/app\n/etc/app.conf\n\n' >"$db/files"
printf 'auto\n' >"$db/disabled"
printf 'uninstall\n' >"$db/schedule"
# Whole database directories: NUL-terminated version, deps, provides,
# conflicts, bundle, files, disabled, enabled and schedule, then the image.
{
    printf '100754944 1300000000\n\0stavel 100689408 0\n\0web 16777216 0 5\n\0old 0 0\n\0\0'
    printf 'bin/app\n/etc/app.conf\n\0auto\n\0\0uninstall\n\0'
    cat "$walk/signed.vpa"
} >"$db/directory_package"
{
    printf '100689408 1300000000\n\0\0\0\0velmora\n\0-\0\0user\n\0enable\n\0'
    cat "$walk/bundle.vpd"
} >"$db/directory_bundle"

for target in "${targets[@]}"; do
    regressions=$PWD/fuzz/regressions/$target
    if compgen -G "$regressions/*" >/dev/null; then
        step "Replaying the findings of $target"
        (cd "$build" && "./fuzz/$target" -rss_limit_mb=1024 -malloc_limit_mb=256 "$regressions"/*) \
            >"$build/$target.regressions.log" 2>&1 || {
            tail -n 60 "$build/$target.regressions.log"
            echo "fuzz: an earlier finding of $target fails again" >&2
            exit 1
        }
    fi
done

for target in "${targets[@]}"; do
    step "Fuzzing $target for $seconds s"
    status=0
    (cd "$build" && "./fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
        -malloc_limit_mb=256 -print_final_stats=1 "corpus/$target") >"$build/$target.log" 2>&1 || status=$?
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb)|ERROR|SUMMARY" "$build/$target.log" || true
    grep -E "^#[0-9]+.*cov:" "$build/$target.log" | tail -n 1 || true
    if ((status != 0)); then
        tail -n 60 "$build/$target.log"
        echo "fuzz: $target failed (status $status); its input is in $build/" >&2
        exit 1
    fi
done

step "No crash in ${#targets[@]} fuzz targets"
