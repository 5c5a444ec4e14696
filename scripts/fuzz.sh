#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and
# runs each for a fixed time over a seed corpus: hand-made seeds plus
# packages and bundles made by the package tool.
#
#   scripts/fuzz.sh [seconds per target]      (default 20)
#
# New inputs found go to build-fuzz/corpus/<target>/; a crash leaves its
# input in build-fuzz/ as crash-* and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
jobs=$(nproc 2>/dev/null || echo 2)
targets=(package_walk_fuzz inflate_fuzz package_db_fuzz)

step() { printf '\n==> %s\n' "$*"; }

scripts/setup.sh

step "Building the package tool in build/ (for the seeds)"
if [[ ! -f build/CMakeCache.txt ]]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build --target vpa -j "$jobs"

step "Building the fuzz targets in build-fuzz/"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DINSTALLER_FUZZ=ON -DINSTALLER_TESTS=OFF >/dev/null
cmake --build build-fuzz --target "${targets[@]}" -j "$jobs"

step "Making the seed corpus"
corpus=build-fuzz/corpus
seeds=build-fuzz/seeds
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus"/{package_walk_fuzz,inflate_fuzz,package_db_fuzz}
python3 fuzz/make_seeds.py "$seeds"
vpa=build/vpa
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
db=$corpus/package_db_fuzz
printf '100754944 1300000000\n' >"$db/version"
printf 'stavel 100689408 0\nwifi 0 0\n' >"$db/deps"
printf 'web 16777216 0 5\n' >"$db/provides"
printf 'bin/app\n/etc/app.conf\n\n' >"$db/files"
printf 'auto\n' >"$db/disabled"
printf 'uninstall\n' >"$db/schedule"

for target in "${targets[@]}"; do
    step "Fuzzing $target for $seconds s"
    status=0
    (cd build-fuzz && "./fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
        -print_final_stats=1 "corpus/$target") >"build-fuzz/$target.log" 2>&1 || status=$?
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb)|ERROR|SUMMARY" "build-fuzz/$target.log" || true
    if ((status != 0)); then
        tail -n 60 "build-fuzz/$target.log"
        echo "fuzz: $target failed (status $status); its input is in build-fuzz/" >&2
        exit 1
    fi
done

step "No crash in ${#targets[@]} fuzz targets"
