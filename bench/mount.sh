#!/usr/bin/env bash
# Benchmark rows of velk --mount against a kylgwd on loopback:
#   mount time     an archive whose index holds --members members (default
#                  1,000,000, in 1,000 directories), in the storage system (its
#                  index streamed through the movers into the tree) and local:
#                  seconds from the start of velk until the file system is
#                  mounted, with the load average of the machine at the start;
#   sequential     cat of a --big-mib MiB member (default 1024) through the
#                  mount against velk -x -O of the same member, in MiB/s;
#   random reads   1,000 reads of 4 KiB at random offsets of that member
#                  through the mount, per second, and the same reads again
#                  (their blocks now cached);
#   two readers    two cat of the member at once through one mount, in MiB/s
#                  together (their read-ahead windows share the cache).
# Needs root (or a user allowed to mount with FUSE) and fusermount3.  Prints
# one line per row, the load average at the end; --work keeps everything in
# DIR (default a temporary one); --rows reads skips the mount-time rows.
#
# Usage: bench/mount.sh --velk PATH --kylgwd PATH [--work DIR] [--members N] [--big-mib M] [--rows all|reads]
set -euo pipefail

velk="" kylgwd="" work="" members=1000000 bigmib=1024 rows=all
while [ $# -gt 0 ]; do
  case "$1" in
    --velk) velk="$2"; shift 2 ;;
    --kylgwd) kylgwd="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --members) members="$2"; shift 2 ;;
    --big-mib) bigmib="$2"; shift 2 ;;
    --rows) rows="$2"; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 64 ;;
  esac
done
[ -x "$velk" ] && [ -x "$kylgwd" ] || { echo "--velk and --kylgwd are required" >&2; exit 64; }
velk="$(realpath "$velk")" kylgwd="$(realpath "$kylgwd")"
[ -n "$work" ] || work="$(mktemp -d "${TMPDIR:-/tmp}/velk-mountbench.XXXXXX")"
mkdir -p "$work/root/home/demo" "$work/meta" "$work/mnt" "$work/cwd"
home="$work/root/home/demo"

head -c 64 /dev/urandom > "$work/demo.keytab"
chmod 600 "$work/demo.keytab"
cat > "$work/kylgwd.conf" <<CONF
Users = {
  demo = {
    password = $(printf 'x\n' | "$kylgwd" --hash-password)
    uid = $(id -u)
    gid = $(id -g)
    home = /home/demo
    keytab = $work/demo.keytab
  }
}
CONF
rm -f "$work/port"
"$kylgwd" --foreground --listen 127.0.0.1:0 --portfile "$work/port" --config "$work/kylgwd.conf" \
          --root "$work/root" --meta "$work/meta" --log "$work/kylgwd.log" &
gw=$!
mpid=""
cleanup() {
  grep -q " $work/mnt " /proc/mounts && fusermount3 -u -z "$work/mnt"
  [ -n "$mpid" ] && kill "$mpid" 2>/dev/null
  kill "$gw" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
export QUOR_SERVER_HOST="127.0.0.1/$(cat "$work/port")" QUOR_HOSTNAME=127.0.0.1 HOME="$work/cwd"
export QUOR_AUTH_METHOD=keytab QUOR_PRINCIPAL=demo QUOR_KEYTAB_PATH="$work/demo.keytab"

now() { date +%s.%N; }
# Starts velk --mount with the archive arguments given in the background and
# waits for the mount.
mount_archive() {
  (cd "$work/cwd" && exec "$velk" --mount "$work/mnt" "$@" > "$work/mount.out" 2> "$work/mount.err") &
  mpid=$!
  until grep -q " $work/mnt " /proc/mounts; do
    kill -0 "$mpid" 2>/dev/null || { cat "$work/mount.err" >&2; exit 1; }
    sleep 0.01
  done
}
unmount() { fusermount3 -u "$work/mnt"; wait "$mpid"; mpid=""; }

mount_rows() {
# An index of $members empty files laid out one block each, and a sparse
# archive of the size it records (a foreign archive: no consistency member).
python3 - "$home/many.tar" "$members" <<'PY'
import struct, sys
path, n = sys.argv[1], int(sys.argv[2])
tarsize = (n + 2) * 512
with open(path, "wb") as a:
    a.truncate(tarsize)
cf = b"VELK_INX" + struct.pack(">IIII", 1, 0, 0, 0) + b"\0" * 100 + struct.pack(">QQII", tarsize, n, 0, 0)
cf += b"\0" * (256 - len(cf))
hdr = b"VelkIndex\0\0\0" + struct.pack(">IIIII", 2001, 0x80000000, n, 0, 0) + cf
with open(path + ".idx", "wb") as f:
    f.write(hdr)
    for i in range(n):
        name = b"d%03d/f%07d" % (i * 1000 // n, i)
        e = b"VELK_IDX" + struct.pack(">IIIII", 0, 1, 1, 0, 0) + struct.pack(">QQIII", i, 0, 0, 0, 0)
        e += name.ljust(100, b"\0") + b"\0" * 256 + struct.pack(">IIIII", 0o644, 1700000000, 1700000000, 0, 0)
        f.write(e.ljust(512, b"\0"))
PY
for kind in "storage system" local; do
  args=(-f many.tar)
  [ "$kind" = local ] && args=(-E -f "$home/many.tar")
  load=$(cut -d' ' -f1 /proc/loadavg)
  t0=$(now); mount_archive "${args[@]}"; t1=$(now)
  [ "$(ls "$work/mnt/d000" | wc -l)" -eq $(( (members + 999) / 1000 )) ] || { echo "wrong tree" >&2; exit 1; }
  unmount
  echo "mount time, $members members ($kind): $(echo "$t1 - $t0" | bc) s (load average $load)"
done
}
[ "$rows" = reads ] || mount_rows

head -c "$((bigmib << 20))" /dev/urandom > "$work/cwd/big"
(cd "$work/cwd" && "$velk" -c -f big.tar big > /dev/null)
# Through a pipe, as velk might treat /dev/null itself specially.
t0=$(now); (cd "$work/cwd" && "$velk" -x -O -f big.tar big 2> /dev/null | cat > /dev/null); t1=$(now)
extract=$(echo "$bigmib / ($t1 - $t0)" | bc -l)
mount_archive -f big.tar
t0=$(now); cat "$work/mnt/big" > /dev/null; t1=$(now)
through=$(echo "$bigmib / ($t1 - $t0)" | bc -l)
printf 'sequential read of %d MiB: mount %.0f MiB/s, extract %.0f MiB/s (%.2fx)\n' "$bigmib" "$through" "$extract" \
  "$(echo "$through / $extract" | bc -l)"
# Mounted afresh, so that no block of the member is cached.
unmount
mount_archive -f big.tar
python3 - "$work/mnt/big" <<'PY'
import os, random, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY)
size = os.fstat(fd).st_size
rng = random.Random(1)
offsets = [rng.randrange(0, size - 4096) for _ in range(1000)]
for label in ("", ", again"):
    start = time.monotonic()
    for off in offsets:
        os.pread(fd, 4096, off)
    print("random 4 KiB reads (storage system%s): %.0f per second" % (label, 1000 / (time.monotonic() - start)))
PY
unmount
mount_archive -f big.tar
t0=$(now); cat "$work/mnt/big" > /dev/null & c1=$!; cat "$work/mnt/big" > /dev/null; wait "$c1"; t1=$(now)
printf 'two readers of %d MiB at once: %.0f MiB/s together\n' "$bigmib" "$(echo "2 * $bigmib / ($t1 - $t0)" | bc -l)"
unmount
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
