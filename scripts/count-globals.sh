#!/bin/sh
# Counts the mutable variables at namespace scope (file statics, anonymous
# namespace members, globals) in the archiver's sources under src/.  An object
# declared const or constexpr is not counted; a pointer to const is (the
# pointer itself can change).  With -v, lists them as file:line name.
# Usage: scripts/count-globals.sh [-v]
set -eu
cd "$(dirname "$0")/.."
verbose=0
[ "${1:-}" = "-v" ] && verbose=1
command -v ctags >/dev/null 2>&1 || { echo "count-globals: ctags not found" >&2; exit 2; }
list=$(find src -name '*.cpp' | sort | xargs ctags -x --c++-kinds=v --language-force=c++ --sort=no |
    perl -ne '
        my ($name, $kind, $line, $file, $text) = /^(\S+)\s+(\S+)\s+(\d+)\s+(\S+)\s+(.*)$/ or next;
        my $i = index($text, $name);
        next if $i < 0;
        my $type = substr($text, 0, $i);
        next if $type =~ /\bconstexpr\b/;
        if ($type =~ /\*/) {
            next if $type =~ /\*\s*const\s*$/;     # constant pointer
        } else {
            next if $type =~ /\bconst\b/;          # constant object
        }
        print "$file:$line $name\n";
    ')
if [ "$verbose" = 1 ] && [ -n "$list" ]; then
    printf '%s\n' "$list"
fi
if [ -n "$list" ]; then
    printf '%s\n' "$list" | wc -l | tr -d ' '
else
    echo 0
fi
