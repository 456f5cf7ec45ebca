#!/usr/bin/env bash
# Checks the include arrows between the product's units (every #include
# "..." line, and every #include <...> that names a product header).  A unit is X.cpp and
# X.h in one folder; each folder is one layer, and a layer may include only
# its own units and the layers below it:
#
#   common <- api_extensions <- nxclient <- src/base <- src/format
#          <- src/engine <- src/app
#
# src/base and src/format include no header of nxclient or api_extensions
# (they stand on common alone; the engine is the first layer that talks to
# the gateway), gateway includes only common, api_extensions and its own
# units, and no layer includes gateway.  No two units may include each other,
# directly or round a longer circle, and no archiver source lies outside the
# four layer folders.  Prints one line per offence and exits 1
# when there is any.
#
#   scripts/check-layering.sh [ROOT]     check the tree at ROOT (default: this
#                                        checkout)
#   scripts/check-layering.sh --self-test
#                                        copies the tree to a temporary
#                                        folder, checks that it passes, then
#                                        plants wrong includes and a circle
#                                        and checks that each one fails
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
top="$(cd "$here/.." && pwd)"
folders=(common api_extensions nxclient src/base src/format src/engine src/app gateway)

check() {
  python3 - "$1" "${folders[@]}" <<'PY'
import os
import re
import sys

root = sys.argv[1]
folders = sys.argv[2:]
# Rank of each folder in the one direction; gateway stands apart.
chain = ["common", "api_extensions", "nxclient", "src/base", "src/format", "src/engine", "src/app"]
rank = {f: i for i, f in enumerate(chain)}
gateway_may = {"common", "api_extensions", "gateway"}
# The archiver's lower layers reach neither the client library nor the site
# helpers: only the engine talks to the gateway.
common_only = {"src/base", "src/format"}

include_re = re.compile(r'^\s*#\s*include\s+(?:"([^"]+)"|<([^>]+)>)')
source_re = re.compile(r"^(.*?)\.(cpp|h|h\.in)$")

files = []       # (folder, file name, unit name)
headers = {}     # header file name -> [(folder, unit)]
for folder in folders:
    path = os.path.join(root, folder)
    if not os.path.isdir(path):
        print(f"{folder}: folder missing")
        sys.exit(1)
    for name in sorted(os.listdir(path)):
        m = source_re.match(name)
        if not m:
            continue
        unit = m.group(1)
        files.append((folder, name, unit))
        if m.group(2) != "cpp":
            # A configured header (X.h.in) is included as X.h.
            headers.setdefault(unit + ".h", []).append((folder, unit))

offences = []
# Every archiver source belongs to a layer folder.
if os.path.isdir(os.path.join(root, "src")):
    for name in sorted(os.listdir(os.path.join(root, "src"))):
        if source_re.match(name):
            offences.append(f"src/{name}: outside a layer folder (src/base, src/format, src/engine, src/app)")
edges = {}       # (folder, unit) -> {(folder, unit): first include site}
for folder, name, unit in files:
    src = (folder, unit)
    edges.setdefault(src, {})
    with open(os.path.join(root, folder, name), encoding="utf-8", errors="replace") as fh:
        for lineno, line in enumerate(fh, 1):
            m = include_re.match(line)
            if not m:
                continue
            inc = m.group(1) or m.group(2)
            site = f"{folder}/{name}:{lineno}"
            owners = headers.get(os.path.basename(inc), [])
            if m.group(2) is not None and not owners:
                continue  # a system or library header
            if len(owners) != 1:
                what = "no product header" if not owners else "more than one product header"
                offences.append(f'{site}: "{inc}" names {what}')
                continue
            dst = owners[0]
            dfolder = dst[0]
            if dst == src:
                continue
            edges[src].setdefault(dst, site)
            if dfolder == folder:
                continue
            if folder == "gateway":
                if dfolder not in gateway_may:
                    offences.append(f'{site}: gateway includes "{inc}" of {dfolder}')
            elif dfolder == "gateway":
                offences.append(f'{site}: {folder} includes "{inc}" of gateway')
            elif rank[dfolder] > rank[folder]:
                offences.append(f'{site}: {folder} includes "{inc}" of {dfolder}, a layer above it')
            elif folder in common_only and dfolder != "common" and not dfolder.startswith("src/"):
                offences.append(f'{site}: {folder} includes "{inc}" of {dfolder}; it stands on common alone')

# Circles between units: the strongly connected components of the include
# graph with more than one unit (Tarjan's algorithm, iterative).
index = {}
low = {}
on_stack = set()
stack = []
counter = 0
components = []
for start in sorted(edges):
    if start in index:
        continue
    work = [(start, iter(sorted(edges[start])))]
    index[start] = low[start] = counter
    counter += 1
    stack.append(start)
    on_stack.add(start)
    while work:
        node, it = work[-1]
        advanced = False
        for nxt in it:
            if nxt not in index:
                index[nxt] = low[nxt] = counter
                counter += 1
                stack.append(nxt)
                on_stack.add(nxt)
                work.append((nxt, iter(sorted(edges.get(nxt, {})))))
                advanced = True
                break
            if nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if advanced:
            continue
        work.pop()
        if work:
            parent = work[-1][0]
            low[parent] = min(low[parent], low[node])
        if low[node] == index[node]:
            comp = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                comp.append(w)
                if w == node:
                    break
            if len(comp) > 1:
                components.append(sorted(comp))

for comp in components:
    members = set(comp)
    arrows = []
    for u in comp:
        for v, site in sorted(edges[u].items()):
            if v in members:
                arrows.append(f"{site} -> {v[0]}/{v[1]}")
    names = " ".join(f"{f}/{u}" for f, u in comp)
    offences.append(f"include circle between {names} ({'; '.join(arrows)})")

for line in offences:
    print(line)
sys.exit(1 if offences else 0)
PY
}

# Runs the check on the tree at $1 and expects it to fail with an offence
# line matching $2; says which planted fault went unnoticed otherwise.
expect_offence() {
  local out
  if out="$(check "$1")"; then
    echo "self-test: the check passed a tree with $3" >&2
    return 1
  fi
  if ! grep -qE "$2" <<<"$out"; then
    echo "self-test: no offence matching '$2' for $3; the check said:" >&2
    echo "$out" >&2
    return 1
  fi
}

# plant TREE PATTERN WHAT FILE:HEADER...: appends an include of each HEADER
# to its FILE in TREE, runs expect_offence, and puts the files back.
plant() {
  local tree="$1" pattern="$2" what="$3"
  shift 3
  local site file rc=0
  for site in "$@"; do
    file="$tree/${site%%:*}"
    if [ ! -f "$file" ]; then
      echo "self-test: $site: no such file to plant an include in" >&2
      rc=1
      continue
    fi
    cp "$file" "$file.orig"
    printf '#include "%s"\n' "${site#*:}" >>"$file"
  done
  if [ $rc -eq 0 ]; then
    expect_offence "$tree" "$pattern" "$what" || rc=1
  fi
  for site in "$@"; do
    file="$tree/${site%%:*}"
    if [ -f "$file.orig" ]; then
      mv "$file.orig" "$file"
    fi
  done
  return $rc
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
  local rc=0
  if ! check "$tmp" >"$tmp/clean.out"; then
    echo "self-test: the clean tree fails:" >&2
    cat "$tmp/clean.out" >&2
    rc=1
  fi
  plant "$tmp" 'src/base/velk_Memory.cpp:[0-9]+: src/base includes "velk_Run.h" of src/app' \
    "an arrow back up" src/base/velk_Memory.cpp:velk_Run.h || rc=1
  plant "$tmp" 'common includes "quor_api.h" of nxclient' "common including the client library" \
    common/kyl_xdr.cpp:quor_api.h || rc=1
  plant "$tmp" 'src/format includes "quor_api.h" of nxclient; it stands on common alone' \
    "src/format including a client library header" src/format/velk_TarHeader.cpp:quor_api.h || rc=1
  plant "$tmp" 'src/base includes "nxapi_private.h" of nxclient; it stands on common alone' \
    "src/base including a client library header" src/base/velk_Memory.cpp:nxapi_private.h || rc=1
  plant "$tmp" 'src/base includes "quorcfgx_match.h" of api_extensions; it stands on common alone' \
    "src/base including a site helper header" src/base/velk_Utils.h:quorcfgx_match.h || rc=1
  plant "$tmp" 'gateway includes "velk_LogMsg.h" of src/base' "gateway including the archiver" \
    gateway/gw_log.cpp:velk_LogMsg.h || rc=1
  plant "$tmp" 'nxclient includes "gw_log.h" of gateway' "the client library including gateway" \
    nxclient/nxapi_log.cpp:gw_log.h || rc=1
  touch "$tmp/src/velk_Stray.cpp"
  expect_offence "$tmp" 'src/velk_Stray.cpp: outside a layer folder' "a source outside the layers" || rc=1
  rm "$tmp/src/velk_Stray.cpp"
  plant "$tmp" 'names no product header' "an include of an unknown header" \
    src/engine/velk_Xfer.cpp:no_such_header.h || rc=1
  plant "$tmp" 'include circle between src/base/velk_LogMsg src/base/velk_Memory' "a circle of two units" \
    src/base/velk_LogMsg.cpp:velk_Memory.h src/base/velk_Memory.cpp:velk_LogMsg.h || rc=1
  plant "$tmp" 'include circle between src/base/velk_NameCache src/base/velk_StatusFifo src/base/velk_Utils' \
    "a circle of three units through headers" src/base/velk_NameCache.h:velk_Utils.h \
    src/base/velk_Utils.h:velk_StatusFifo.h src/base/velk_StatusFifo.h:velk_NameCache.h || rc=1
  if [ $rc -eq 0 ]; then
    echo "check-layering self-test passed"
  fi
  return $rc
}

if [ "${1:-}" = "--self-test" ]; then
  self_test
else
  check "${1:-$top}"
fi
