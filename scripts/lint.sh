#!/usr/bin/env bash
# Static analysis of the installer and the package tool: clang-tidy with the
# checks listed in .clang-tidy (warnings are errors) and cppcheck (warning,
# performance and portability checks). Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==> %s\n' "$*"; }
jobs=$(nproc 2>/dev/null || echo 2)

scripts/setup.sh

step "cppcheck"
cppcheck --enable=warning,performance,portability --inline-suppr --error-exitcode=1 --std=c++20 -q \
    -j "$jobs" -I src -I tools/vpa --suppress=missingIncludeSystem src tools

step "clang-tidy (checks in .clang-tidy)"
# The compile commands (and the generated key material) come from the
# configure step alone; nothing needs to be built.
cmake -S . -B build-lint -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DINSTALLER_TESTS=OFF >/dev/null
run-clang-tidy -p build-lint -j "$jobs" -quiet "$PWD/(src|tools)/" >build-lint/clang-tidy.log 2>&1 || {
    grep -E "(warning|error):" build-lint/clang-tidy.log | sed 's/\x1b\[[0-9;]*m//g' | sort -u >&2
    echo "lint: clang-tidy found problems (full output in build-lint/clang-tidy.log)" >&2
    exit 1
}

step "No findings"
