#!/usr/bin/env bash
# Checks that no function in the product code (common, api_extensions,
# nxclient, src, gateway; .cpp and .h) is longer than 120 lines, counting the
# lines between the function's opening brace and its closing brace.  The
# sources are clang-formatted, so a function body opens with a line holding
# only "{" (at column 0, or indented for a member defined inside a class);
# a line holding only "{" inside a function is a plain block and belongs to
# that function.  Comments, string and character literals are skipped when
# matching braces.  Prints one line per offence (file:line name length) and
# exits 1 when there is any.
#
#   scripts/check-funclen.sh [ROOT]      check the tree at ROOT (default: this
#                                        checkout)
#   scripts/check-funclen.sh --self-test
#                                        copies the tree to a temporary
#                                        folder, plants a 121-line function
#                                        and checks that it is the new
#                                        offence, then checks that a 120-line
#                                        one adds none
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
top="$(cd "$here/.." && pwd)"
folders=(common api_extensions nxclient src gateway)
limit=120

check() {
  python3 - "$1" "$limit" "${folders[@]}" <<'PY'
import os
import re
import sys

root = sys.argv[1]
limit = int(sys.argv[2])
folders = sys.argv[3:]

def code_lines(text):
    """The text with comments and the insides of string and character
    literals blanked, line breaks kept, so that braces can be matched."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == "/" and text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
            continue
        if c == "/" and text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("".join("\n" if ch == "\n" else " " for ch in text[i:j]))
            i = j
            continue
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + c)
            i = j + 1
            continue
        out.append(c)
        i += 1
    return "".join(out).split("\n")

name_re = re.compile(r"((?:[A-Za-z_][A-Za-z0-9_:]*::)?operator\s*(?:\(\)|[^\s(]+)|[A-Za-z_~][A-Za-z0-9_:~]*)\s*\(")

def function_name(lines, at):
    """The name before the first parenthesis of the signature that ends on
    the line before `at`."""
    sig = []
    k = at - 1
    while k >= 0 and len(sig) < 12:
        s = lines[k].strip()
        if not s or s.endswith((";", "}", "{")) or s.startswith("#"):
            break
        sig.insert(0, s)
        k -= 1
    text = " ".join(sig)
    text = re.sub(r"^template\s*<[^>]*>\s*", "", text)
    m = name_re.search(text)
    return m.group(1) if m else "(unnamed)"

offences = []
for folder in folders:
    base = os.path.join(root, folder)
    if not os.path.isdir(base):
        print(f"{folder}: folder missing")
        sys.exit(1)
    for dirpath, dirnames, filenames in os.walk(base):
        dirnames.sort()
        for fname in sorted(filenames):
            if not fname.endswith((".cpp", ".h")):
                continue
            path = os.path.join(dirpath, fname)
            rel = os.path.relpath(path, root)
            with open(path, encoding="utf-8", errors="replace") as fh:
                lines = code_lines(fh.read())
            # One entry per open brace: the function it opens, or None.
            stack = []
            in_function = 0
            for lineno, line in enumerate(lines):
                opens_body = line.strip() == "{" and in_function == 0
                for ch in line:
                    if ch == "{":
                        if opens_body:
                            name = function_name(lines, lineno)
                            stack.append((name, lineno))
                            in_function += 1
                        else:
                            stack.append(None)
                    elif ch == "}" and stack:
                        top = stack.pop()
                        if top is not None:
                            in_function -= 1
                            name, start = top
                            length = lineno - start - 1
                            if length > limit:
                                offences.append(f"{rel}:{start + 1} {name} {length}")
for line in offences:
    print(line)
sys.exit(1 if offences else 0)
PY
}

# plant_function FILE LINES: appends a file-local function whose body has
# LINES lines between its braces.
plant_function() {
  local file="$1" count="$2" i
  {
    printf '\nstatic int planted_long_function(int x)\n{\n'
    for ((i = 0; i < count - 1; i++)); do
      printf '    x += %d;\n' "$i"
    done
    printf '    return x;\n}\n'
  } >>"$file"
}

# The lines the planted function added to the baseline, taken whole before
# anything reads them (grep -q stops early, and diff must not die of SIGPIPE
# under pipefail).
new_offences() {
  local out
  out="$(diff "$1/before.out" "$1/after.out" || true)"
  printf '%s\n' "$out"
}

self_test() {
  local tmp
  tmp="$(mktemp -d)"
  trap 'rm -rf "$tmp"' RETURN
  local f
  for f in "${folders[@]}"; do
    mkdir -p "$tmp/$(dirname "$f")"
    cp -r "$top/$f" "$tmp/$f"
  done
  # The tree's own offences, if any, are the baseline: each planted function
  # must add exactly its own line to it, or nothing.
  check "$tmp" >"$tmp/before.out" || true
  local rc=0 site=common/kyl_xdr.cpp
  cp "$tmp/$site" "$tmp/$site.orig"
  plant_function "$tmp/$site" 121
  if check "$tmp" >"$tmp/after.out"; then
    echo "self-test: the check passed a tree with a 121-line function" >&2
    rc=1
  elif ! new_offences "$tmp" | grep -qE "^> $site:[0-9]+ planted_long_function 121$"; then
    echo "self-test: no offence for the planted 121-line function; the check said:" >&2
    cat "$tmp/after.out" >&2
    rc=1
  fi
  cp "$tmp/$site.orig" "$tmp/$site"
  plant_function "$tmp/$site" 120
  check "$tmp" >"$tmp/after.out" || true
  if ! diff -q "$tmp/before.out" "$tmp/after.out" >/dev/null; then
    echo "self-test: a 120-line function was reported:" >&2
    diff "$tmp/before.out" "$tmp/after.out" >&2 || true
    rc=1
  fi
  # A member function defined inside a class, indented like clang-format
  # writes it, counts too.
  cp "$tmp/$site.orig" "$tmp/$site"
  {
    printf '\nstruct PlantedLong {\n    int run(int x)\n    {\n'
    for ((i = 0; i < 121; i++)); do
      printf '        x += %d;\n' "$i"
    done
    printf '        return x;\n    }\n};\n'
  } >>"$tmp/$site"
  check "$tmp" >"$tmp/after.out" || true
  if ! new_offences "$tmp" | grep -qE "^> $site:[0-9]+ run 122$"; then
    echo "self-test: no offence for a 122-line member function; the check said:" >&2
    cat "$tmp/after.out" >&2
    rc=1
  fi
  mv "$tmp/$site.orig" "$tmp/$site"
  if [ $rc -eq 0 ]; then
    echo "check-funclen self-test passed"
  fi
  return $rc
}

if [ "${1:-}" = "--self-test" ]; then
  self_test
else
  check "${1:-$top}"
fi
