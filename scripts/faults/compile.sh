#!/usr/bin/env bash
# Compiler launcher of the faults build (run.sh): the tests' own files are
# compiled without optimisation, about twice as fast, since a fault in a
# header rebuilds every test file that includes it; the code under test keeps
# its optimisation, so that a fault behaves as in the real build.
args=("$@")
for arg in "$@"; do
    if [[ $arg == */tests/*.cpp ]]; then
        for i in "${!args[@]}"; do
            [[ ${args[i]} == -O[0-9s] ]] && args[i]=-O0
        done
        break
    fi
done
exec "${args[@]}"
