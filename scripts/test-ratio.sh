#!/usr/bin/env bash
# Prints how large the tests are beside the code they test: lines of every
# file under tests/ against src/ and tools/, counting neither blank lines nor
# lines that start with // or #, and a line over 120 columns once per 120
# started. --by-dir adds a line per folder of tests/; --check exits 1 when
# the tests are over the aim.
set -euo pipefail
cd "$(dirname "$0")/.."

aim=45
by_dir=0
check=0
for arg in "$@"; do
    case $arg in
        --by-dir) by_dir=1 ;;
        --check) check=1 ;;
        *) echo "usage: $0 [--by-dir] [--check]" >&2; exit 2 ;;
    esac
done

# One "side<TAB>folder<TAB>lines" row per file; awk reads each file once.
count() {
    find tests src tools -type f -print0 | xargs -0 awk '
        FNR == 1 { if (n) print_file(); name = FILENAME; n = 0 }
        {
            sub(/\r$/, "")
            if ($0 ~ /^[ \t]*$/ || $0 ~ /^[ \t]*(\/\/|#)/) next
            # Columns, not bytes: UTF-8 continuation bytes take none.
            line = $0; gsub(/[\200-\277]/, "", line)
            n += int((length(line) + 119) / 120)
        }
        function print_file(   dir) {
            dir = name; sub(/\/[^\/]*$/, "", dir)
            printf "%s\t%s\t%d\n", (name ~ /^tests\//) ? "tests" : "code", dir, n
        }
        END { if (name != "") print_file() }'
}

count | awk -F'\t' -v by_dir="$by_dir" -v aim="$aim" -v check="$check" '
    { total[$1] += $3; if ($1 == "tests") dir[$2] += $3 }
    END {
        tests = total["tests"] + 0; code = total["code"] + 0
        share = code ? int(100 * tests / code + 0.5) : 0
        printf "tests %d lines, code %d lines: %d%% (aim: at most %d%%)\n", tests, code, share, aim
        if (by_dir) {
            n = 0
            for (d in dir) names[++n] = d
            for (i = 2; i <= n; i++)
                for (j = i; j > 1 && names[j - 1] > names[j]; j--) {
                    t = names[j]; names[j] = names[j - 1]; names[j - 1] = t
                }
            for (i = 1; i <= n; i++)
                printf "  %-24s %6d lines  %3d%% of code\n", names[i], dir[names[i]],
                    code ? int(100 * dir[names[i]] / code + 0.5) : 0
        }
        exit (check && tests * 100 > aim * code) ? 1 : 0
    }'
