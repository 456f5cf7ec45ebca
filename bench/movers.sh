#!/usr/bin/env bash
# Mover daemons: velk -c -Y 4 and velk -x of one file through a kylgwd
# gateway whose Movers section names 1, 2 and 4 mover daemons (kylgwd
# --mover on the loopback aliases 127.0.0.2, 127.0.0.3, ...), all serving
# one directory.  Per row: wall time, throughput, and the CPU time of the
# gateway process per GiB moved (it passes messages only, so near zero)
# beside that of the daemons.  Writes a Markdown table.
#
#   bench/movers.sh --velk PATH --kylgwd PATH [--size MIB] [--daemons 1,2,4]
#                   [--work DIR] [--results FILE]
#
# --size: the file's size in MiB (default 2048); --work: scratch directory
# (default bench/work-movers, removed at the end); --results: the report
# (default bench/MOVERS.md).  Loopback only; every process it starts is
# stopped on exit.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

velk="" kylgwd="" size=2048 daemons="1,2,4" work="$here/work-movers" results="$here/MOVERS.md"
while [ $# -gt 0 ]; do
  case "$1" in
    --velk) velk="$2"; shift ;;
    --kylgwd) kylgwd="$2"; shift ;;
    --size) size="$2"; shift ;;
    --daemons) daemons="$2"; shift ;;
    --work) work="$2"; shift ;;
    --results) results="$2"; shift ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/movers.sh: unknown option $1 (see --help)" >&2; exit 64 ;;
  esac
  shift
done
if [ -z "$velk" ] || [ -z "$kylgwd" ]; then
  echo "bench/movers.sh: --velk and --kylgwd are required" >&2
  exit 64
fi

pids=()
stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT

rm -rf "$work"
mkdir -p "$work/root/home/bench" "$work/meta" "$work/src"
head -c 32 /dev/urandom > "$work/mover.key"
printf 'keytab of bench\n' > "$work/bench.kt"
chmod 600 "$work/mover.key" "$work/bench.kt"
dd if=/dev/urandom of="$work/src/data" bs=1M count="$size" status=none

# Starts a kylgwd with the given arguments; waits for its port file.
start() {
  local dir="$1"; shift
  mkdir -p "$dir"
  rm -f "$dir/port"
  "$kylgwd" --foreground --portfile "$dir/port" --log "$dir/log" "$@" &
  pids+=($!)
  for _ in $(seq 300); do [ -s "$dir/port" ] && return 0; sleep 0.1; done
  echo "bench/movers.sh: kylgwd in $dir did not start" >&2
  exit 1
}

# Clock ticks of user and system time of process $1.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

printf '| daemons | operation | seconds | MiB/s | gateway CPU s/GiB | daemons CPU s/GiB |\n' > "$work/rows"
printf '|---|---|---|---|---|---|\n' >> "$work/rows"
hz=$(getconf CLK_TCK)
IFS=, read -r -a counts <<< "$daemons"
for n in "${counts[@]}"; do
  movers="" mpids=()
  for i in $(seq "$n"); do
    d="$work/m$i"
    mkdir -p "$d"
    printf 'Site = {\n  mover_key = %s\n}\n' "$work/mover.key" > "$d/conf"
    start "$d" --mover --listen "127.0.0.$((i + 1)):0" --root "$work/root" --config "$d/conf"
    mpids+=("${pids[-1]}")
    movers+="  m$i = {\n    address = 127.0.0.$((i + 1)):$(cat "$d/port")\n  }\n"
  done
  printf 'Site = {\n  mover_key = %s\n}\nMovers = {\n%b}\nUsers = {\n  bench = {\n    uid = %d\n    gid = %d\n    home = /home/bench\n    keytab = %s\n  }\n}\n' \
    "$work/mover.key" "$movers" "$(id -u)" "$(id -g)" "$work/bench.kt" > "$work/gw.conf"
  start "$work/gw" --root "$work/root" --meta "$work/meta" --config "$work/gw.conf"
  gpid="${pids[-1]}"
  export HOME="$work" TZ=UTC QUOR_CFG_FILE_PATH="$work" QUOR_SERVER_HOST="127.0.0.1/$(cat "$work/gw/port")" \
    QUOR_HOSTNAME=127.0.0.1 QUOR_AUTH_METHOD=keytab QUOR_PRINCIPAL=bench QUOR_KEYTAB_PATH="$work/bench.kt"
  for op in create extract; do
    rm -rf "$work/out" && mkdir -p "$work/out"
    g0=$(ticks "$gpid") m0=0
    for p in "${mpids[@]}"; do m0=$((m0 + $(ticks "$p"))); done
    t0=$(date +%s.%N)
    if [ "$op" = create ]; then
      (cd "$work/src" && "$velk" -c -Y 4 -f /home/bench/a.tar data > /dev/null)
    else
      (cd "$work/out" && "$velk" -x -f /home/bench/a.tar > /dev/null && cmp -s data "$work/src/data")
    fi
    t1=$(date +%s.%N)
    g1=$(ticks "$gpid") m1=0
    for p in "${mpids[@]}"; do m1=$((m1 + $(ticks "$p"))); done
    awk -v n="$n" -v op="$op" -v t0="$t0" -v t1="$t1" -v g="$((g1 - g0))" -v m="$((m1 - m0))" -v hz="$hz" \
      -v mib="$size" 'BEGIN { s = t1 - t0; gib = mib / 1024;
        printf "| %d | %s | %.2f | %.0f | %.3f | %.3f |\n", n, op, s, mib / s, g / hz / gib, m / hz / gib }' \
      >> "$work/rows"
  done
  stop_all
  rm -f "$work/root/home/bench/"*
done

{
  printf '# Mover daemons\n\n'
  printf 'velk -c -Y 4 and velk -x of one %d MiB file through a gateway with 1 to 4 mover daemons on\n' "$size"
  printf 'loopback aliases of one machine (%s, %s cores), %s.\n\n' "$(uname -r)" "$(nproc)" "$(date -u +%Y-%m-%d)"
  cat "$work/rows"
} > "$results"
cat "$results"
