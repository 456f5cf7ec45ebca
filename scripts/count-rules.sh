#!/usr/bin/env bash
# Per folder of product code: how many rule lines it has and how many rows
# of scripts/mutations.tsv plant a fault in it.
#
# A rule line is a condition (if, while, a return of a comparison, a ?:)
# that compares with something other than a status: after comparisons with
# 0, -1, nullptr, EOF and errno names are taken out, a comparison, a mask
# (&), memcmp or a string comparison is left.  That counts the limits,
# masks, lengths, texts and identities a user relies on, and also some
# loop bounds and plumbing: an upper bound of the rules, by the same
# measure in every folder, so that the gaps show.
#
# Usage: scripts/count-rules.sh [--table FILE]   (prints a markdown table)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
TABLE="$ROOT/scripts/mutations.tsv"
if [ "${1:-}" = "--table" ]; then
    TABLE="${2:?--table needs a file}"
fi
cd "$ROOT"
FOLDERS=(common api_extensions nxclient src/base src/format src/engine src/app gateway)

rule_lines() {
    cat "$@" |
        grep -E '^\s*(\}\s*else\s+)?(if|while)\s*\(|^\s*return .*(<|>|==|!=)|\? ' |
        grep -E '<=|>=|[^->]>[^>=]|[^<]<[^<=]|==|!=|memcmp|strn?cmp|strcasecmp|&[^&]' |
        sed -E 's/(==|!=|<|>=|<=|>) *(0|-1|nullptr|EOF|E[A-Z]+|0u)\b//g' |
        grep -cE '<=|>=|[^->]>[^>=]|[^<]<[^<=]|==|!=|memcmp|strn?cmp|strcasecmp|&[^&]' || true
}

# The folder of each row: that of the first of its files that exists.
row_folders() {
    grep -v '^#' "$TABLE" | grep -v '^$' | cut -f2 | while IFS= read -r files; do
        IFS='|' read -ra cands <<<"$files"
        for f in "${cands[@]}"; do
            p=$(git ls-files -- "${FOLDERS[@]}" | awk -F/ -v b="$f" '$NF == b' | head -n 1)
            if [ -n "$p" ]; then
                dirname "$p"
                break
            fi
        done
    done
}

folders_of_rows=$(row_folders)
total_rules=0 total_rows=0
echo "| folder | rule lines | rows | rows per 100 rule lines |"
echo "|---|---:|---:|---:|"
for d in "${FOLDERS[@]}"; do
    mapfile -t srcs < <(git ls-files -- "$d" | grep -E '\.(cpp|h)$' | grep -v '/tests/')
    n=$(rule_lines "${srcs[@]}")
    r=$(printf '%s\n' "$folders_of_rows" | grep -cx "$d" || true)
    total_rules=$((total_rules + n)) total_rows=$((total_rows + r))
    echo "| $d | $n | $r | $((n > 0 ? r * 100 / n : 0)) |"
done
echo "| all | $total_rules | $total_rows | $((total_rules > 0 ? total_rows * 100 / total_rules : 0)) |"
