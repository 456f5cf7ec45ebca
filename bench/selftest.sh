#!/usr/bin/env bash
# Checks that the smoke mode tells the three row states apart, by running it
# with stand-ins for velk (shell scripts over GNU tar) whose behaviour is
# known:
#   works        create, list and extract work        -> exit 0, no row pending
#   noextract    extract "is not available" (status 70) -> exit 0, extract rows pending
#   crashes      every action exits 71                -> exit 1, velk rows failed
#   corrupts     extract writes wrong bytes           -> exit 1, extract rows failed
#   dropsmember  create leaves one file out           -> exit 1, create row failed
#   hostdrops    create on the gateway host leaves one file out
#                                                     -> exit 1, gateway-host rows
#                                                        failed, nothing else
#   nogateway    --no-gateway is refused              -> exit 1, the fixed cost failed
# "works" must also show every kind of row: storage system at widths 1, 4 and
# 8, gateway host, both archive targets, the fixed cost with and without a
# gateway session, the list throughput and the goals table.
# Usage: bench/selftest.sh --kylgwd PATH --work DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
kylgwd=""
work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --kylgwd) kylgwd="$2"; shift ;;
    --work) work="$2"; shift ;;
    *) echo "selftest.sh: unknown option $1" >&2; exit 64 ;;
  esac
  shift
done
[ -n "$kylgwd" ] && [ -n "$work" ] || { echo "usage: $0 --kylgwd PATH --work DIR" >&2; exit 64; }
rm -rf "$work"
mkdir -p "$work"

# One stand-in: velk's options for local archives mapped onto GNU tar, with
# the fault named in $1 built in.
make_velk() {
  local mode="$1" path="$work/velk-$1"
  cat > "$path" <<SCRIPT
#!/usr/bin/env bash
mode=$mode
SCRIPT
  cat >> "$path" <<'SCRIPT'
action="" archive="" local=0 args=()
for a in "$@"; do
  if [ "$a" = --no-gateway ]; then
    [ "$mode" = nogateway ] && { echo "ERROR: stand-in refuses --no-gateway" >&2; exit 64; }
  else
    args+=("$a")
  fi
done
set -- "${args[@]}"
while getopts "ctxEf:H:Y:" opt; do
  case "$opt" in
    c) action=CREATE ;; t) action=LIST ;; x) action=EXTRACT ;;
    f) archive="$OPTARG" ;; E) local=1 ;; H|Y) ;;
    *) exit 64 ;;
  esac
done
shift $((OPTIND - 1))
# An archive in the storage system is the file kylgwd keeps it in.
[ "$local" = 1 ] || archive="$BENCH_STORAGE_HOME/$archive"
if [ "$mode" = crashes ]; then
  echo "ERROR: stand-in failure" >&2; echo "VELK: VELK FAILED"; exit 71
fi
if [ "$mode" = noextract ] && [ "$action" = EXTRACT ]; then
  echo "ERROR: EXTRACT is not available in this build of velk" >&2; echo "VELK: VELK FAILED"; exit 70
fi
case "$action" in
  CREATE)
    # hostdrops: only archives on the gateway host (run mode 2) lose a member.
    on_host=0
    [ "$local" = 0 ] && [[ "$BENCH_STORAGE_HOME" == */kylgwd-host/* ]] && on_host=1
    if [ "$mode" = dropsmember ] || { [ "$mode" = hostdrops ] && [ "$on_host" = 1 ]; }; then
      tar --format=ustar -cf "$archive" --exclude='*/big01.bin' "$@" || exit 72
    else
      tar --format=ustar -cf "$archive" "$@" || exit 72
    fi
    : > "$archive.idx" ;;
  LIST) tar -tvf "$archive" || exit 72 ;;
  EXTRACT)
    tar -xf "$archive" "$@" || exit 72
    if [ "$mode" = corrupts ]; then
      find . -type f -name '*.dat' -size +0 -exec sh -c 'printf X | dd of="$1" conv=notrunc status=none' _ {} \;
    fi ;;
  *) exit 64 ;;
esac
echo "VELK: VELK SUCCESSFUL"
SCRIPT
  chmod +x "$path"
  echo "$path"
}

failures=0
expect() {
  local mode="$1" want_rc="$2" want_text="$3" rc=0
  shift 3
  local velk
  velk="$(make_velk "$mode")"
  "$here/run.sh" --smoke --velk "$velk" --kylgwd "$kylgwd" --work "$work/$mode" "$@" > "$work/$mode.out" 2>&1 ||
    rc=$?
  if [ "$rc" -ne "$want_rc" ] || ! grep -q -- "$want_text" "$work/$mode.out"; then
    echo "selftest $mode: exit $rc (want $want_rc), output should contain \"$want_text\":"
    cat "$work/$mode.out"
    failures=$((failures + 1))
  else
    echo "selftest $mode: ok"
  fi
}

expect works 0 "wrote "
if grep -q "PENDING" "$work/works.out"; then
  echo "selftest works: no row may be pending when every action works"; failures=$((failures + 1))
fi
for want in "smoke, disk, warm / velk / create, storage W1 " "smoke, disk, warm / velk / create, storage W4 " \
    "smoke, disk, warm / velk / extract all, storage W8 " "smoke, tmpfs, warm / velk / extract last, gateway host" \
    "smoke, tmpfs, warm / cat / copy" "  --no-gateway: median" "velk --no-gateway *[0-9]* entries/s" \
    "GNU tar *[0-9]* entries/s"; do
  if ! grep -q -- "$want" "$work/works.out"; then
    echo "selftest works: no line \"$want\" in the output"; failures=$((failures + 1))
  fi
done
if ! grep -q "^| local create wall time <= 1.0 x GNU tar | [0-2] of 2 |" "$work/works/RESULTS.md"; then
  echo "selftest works: the goals table does not judge the local create in both passes"; failures=$((failures + 1))
fi
# The faults need one archive target each, which halves their time.
expect noextract 0 \
  "PENDING smoke, disk, warm: velk extract last: ERROR: EXTRACT is not available in this build of velk" --targets disk
expect crashes 1 "FAILED smoke, disk, warm: velk create: exit status 71" --targets disk
expect corrupts 1 "FAILED smoke, tmpfs, warm: velk extract all: extracted tree differs" --targets tmpfs
expect dropsmember 1 "FAILED smoke, disk, warm: velk create: archive members differ" --targets disk
expect hostdrops 1 "FAILED smoke, tmpfs, warm: velk create, gateway host: archive members differ" --targets tmpfs
if grep "FAILED smoke" "$work/hostdrops.out" | grep -v -q "gateway host"; then
  echo "selftest hostdrops: only gateway-host rows may fail:"; grep "FAILED" "$work/hostdrops.out"
  failures=$((failures + 1))
fi
expect nogateway 1 "FAILED fixed cost: velk list, one-member archive: --no-gateway: exit status 64" --targets disk

if [ "$failures" -ne 0 ]; then
  echo "selftest: $failures case(s) failed; kept $work"
  exit 1
fi
rm -rf "$work"
echo "selftest: all cases passed"
