#!/usr/bin/env bash
# The benchmark: velk against GNU tar and bsdtar on local archives, in the
# storage system (kylgwd run mode 1 on loopback, stripe widths 1, 4 and 8) and
# on a gateway host (kylgwd run mode 2), archives on the disk and on tmpfs,
# cold and warm page cache, with the machine's own limits measured in the same
# run.  Writes bench/RESULTS.md, goals first.
#
#   bench/run.sh                     full run: installs the tools, builds velk and
#                                    kylgwd (scripts/build.sh), three data sets;
#                                    run it as root (cold passes drop the page cache)
#   bench/run.sh --scale 0.05        the same with data sets scaled down
#   bench/run.sh --smoke             a tiny data set, one run, warm caches; checks
#                                    that every row produced a result
# Options:
#   --velk PATH --kylgwd PATH        use these binaries: nothing is built or installed
#   --work DIR                       scratch directory (default bench/work); the disk
#                                    measured is the one it is on
#   --results FILE                   the report (default bench/RESULTS.md; with --smoke,
#                                    DIR/RESULTS.md)
#   --datasets small,mixed,large     which data sets (full run)
#   --targets disk,tmpfs             where archives and extracted trees go (default both)
#   --tmpfs DIR                      the tmpfs of the tmpfs target (default /dev/shm)
#   --caches cold,warm               cache states (default both; warm with --smoke)
#   --runs N                         timed runs per row (default 5)
#   --fixed-runs N                   runs of the fixed-cost measurement (default 50)
#   --list-entries N                 members of the list-throughput archive
#                                    (default 1,000,000 x scale)
#   --banner TEXT                    a line shown at the top of the report
#   --compare FILE                   RESULTS.json of an earlier run (an older build):
#                                    the goals table shows its figures as "before"
#   --warm                           the same as --caches warm
#   --keep-data                      keep the generated data sets for the next run
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
top="$(cd "$here/.." && pwd)"

smoke=0
velk=""
kylgwd=""
work=""
results=""
pass=()
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1 ;;
    --velk) velk="$2"; shift ;;
    --kylgwd) kylgwd="$2"; shift ;;
    --work) work="$2"; shift ;;
    --results) results="$2"; shift ;;
    --scale|--datasets|--runs|--fixed-runs|--timeout|--targets|--tmpfs|--caches|--list-entries|--banner|--compare)
      pass+=("$1" "$2"); shift ;;
    --warm|--keep-data) pass+=("$1") ;;
    -h|--help) sed -n '2,32p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/run.sh: unknown option $1 (see --help)" >&2; exit 64 ;;
  esac
  shift
done
if { [ -n "$velk" ] && [ -z "$kylgwd" ]; } || { [ -z "$velk" ] && [ -n "$kylgwd" ]; }; then
  echo "bench/run.sh: give both --velk and --kylgwd, or neither" >&2
  exit 64
fi

# The tools the benchmark runs, from Debian; apt-get update at most once.
# Nothing is installed or built when the binaries are given.
install_tools() {
  local packages=(tar libarchive-tools hyperfine iperf3 time python3 diffutils coreutils)
  local missing=() p
  for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

if [ -z "$velk" ]; then
  install_tools
  "$top/scripts/build.sh" normal
  velk="$top/build/src/velk"
  kylgwd="$top/build/gateway/kylgwd"
fi

if [ -z "$work" ]; then
  if [ "$smoke" -eq 1 ]; then
    work="$(mktemp -d "${TMPDIR:-/tmp}/velk-bench-smoke.XXXXXX")"
  else
    work="$here/work"
  fi
fi
if [ -z "$results" ]; then
  if [ "$smoke" -eq 1 ]; then results="$work/RESULTS.md"; else results="$here/RESULTS.md"; fi
fi

# Debian's interpreter: the generator and the harness need nothing beyond it.
python=/usr/bin/python3
[ -x "$python" ] || python="$(command -v python3)"

args=(--velk "$velk" --kylgwd "$kylgwd" --work "$work" --results "$results")
if [ "$smoke" -eq 1 ]; then
  # One command is never allowed to hang the test suite.
  "$python" "$here/bench.py" "${args[@]}" --smoke --check --timeout 120 "${pass[@]}"
else
  "$python" "$here/bench.py" "${args[@]}" "${pass[@]}"
fi
