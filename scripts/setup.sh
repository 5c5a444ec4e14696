#!/usr/bin/env bash
# Installs the build and test dependencies that are missing on Debian 12,
# or the packages named on the command line (scripts/test-s390x.sh).
# Runs apt-get only when something is missing; as root directly, otherwise
# through sudo when it exists.
set -euo pipefail

packages=(
    cmake ninja-build g++
    zlib1g-dev libssl-dev libisal-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev python3
    clang-tidy cppcheck strace
)
if (($# > 0)); then
    packages=("$@")
fi

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    if [[ $status != "install ok installed" ]]; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} == 0)); then
    echo "setup: all build dependencies are installed"
    exit 0
fi

echo "setup: missing packages: ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "setup: installing packages needs root; run as root or install sudo" >&2
    exit 1
fi

"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
echo "setup: done"
