#!/usr/bin/env bash
# First run: installs what is needed, builds velk and kylgwd, starts kylgwd on
# loopback serving a state directory of its own with a user who logs in by
# keytab, archives a sample tree into the storage system it serves (striped
# over four movers), lists it, extracts one member and compares it with the
# original, and stops the server.
set -euo pipefail
cd "$(dirname "$0")/.."
top="$(pwd)"

scripts/build.sh

velk="$top/build/src/velk"
kylgwd="$top/build/gateway/kylgwd"
state="$(mktemp -d "${TMPDIR:-/tmp}/velk-quickstart.XXXXXX")"
mkdir -p "$state/root/home/demo" "$state/meta" "$state/work/sample/docs"

# A user for the run: logs in with a keytab, so nothing has to be typed.
head -c 64 /dev/urandom > "$state/demo.keytab"
chmod 600 "$state/demo.keytab"
cat > "$state/kylgwd.conf" <<CONF
Users = {
  demo = {
    password = $(printf 'demo-password\n' | "$top/build/gateway/kylgwd" --hash-password)
    uid = $(id -u)
    gid = $(id -g)
    home = /home/demo
    keytab = $state/demo.keytab
  }
}
CONF

kylgwd_pid=""
stop_server() {
  if [ -n "$kylgwd_pid" ] && kill -0 "$kylgwd_pid" 2>/dev/null; then
    kill -TERM "$kylgwd_pid"
    wait "$kylgwd_pid" || true
  fi
}
trap stop_server EXIT

echo "== velk -? (the first lines of the help)"
"$velk" -? 2>&1 | head -8 || true

echo
echo "== starting kylgwd on loopback, serving $state/root"
"$kylgwd" --foreground --listen 127.0.0.1:0 --portfile "$state/port" --config "$state/kylgwd.conf" \
          --root "$state/root" --meta "$state/meta" --log "$state/kylgwd.log" &
kylgwd_pid=$!
for _ in $(seq 1 100); do
  [ -s "$state/port" ] && break
  sleep 0.1
done
if [ ! -s "$state/port" ]; then
  echo "kylgwd did not start; its log:" >&2
  cat "$state/kylgwd.log" >&2 || true
  exit 1
fi
port="$(cat "$state/port")"
echo "kylgwd is listening on 127.0.0.1:$port"

# A sample tree to archive.
printf 'hello from velk\n' > "$state/work/sample/hello.txt"
printf 'notes\n' > "$state/work/sample/docs/notes.txt"
head -c 300000 /dev/urandom > "$state/work/sample/docs/data.bin"
ln -s hello.txt "$state/work/sample/link-to-hello"

run_velk() {
  (cd "$state/work" && QUOR_SERVER_HOST="127.0.0.1/$port" QUOR_HOSTNAME=127.0.0.1 HOME="$state/work" \
     QUOR_AUTH_METHOD=keytab QUOR_PRINCIPAL=demo QUOR_KEYTAB_PATH="$state/demo.keytab" "$velk" "$@")
}

echo
echo "== velk -cv -Y 4 -f sample.tar sample   (create an archive and its index in the storage system, stripe width 4)"
run_velk -cv -Y 4 -f sample.tar sample

echo
echo "== velk -tv -f sample.tar   (list it from its index)"
run_velk -tv -f sample.tar

echo
echo "== velk -x -f sample.tar sample/docs/data.bin   (extract one member into a scratch directory)"
mkdir -p "$state/work/restore"
(cd "$state/work/restore" && QUOR_SERVER_HOST="127.0.0.1/$port" QUOR_HOSTNAME=127.0.0.1 HOME="$state/work" \
   QUOR_AUTH_METHOD=keytab QUOR_PRINCIPAL=demo QUOR_KEYTAB_PATH="$state/demo.keytab" \
   "$velk" -x -f sample.tar sample/docs/data.bin)
cmp "$state/work/sample/docs/data.bin" "$state/work/restore/sample/docs/data.bin"
echo "the extracted sample/docs/data.bin is identical to the original"

stop_server
kylgwd_pid=""
echo
echo "== kylgwd log (the gateway log records of the three runs)"
cat "$state/kylgwd.log"

echo
echo "archive:  $state/root/home/demo/sample.tar   (/home/demo/sample.tar in the storage system)"
echo "index:    $state/root/home/demo/sample.tar.idx"
echo "restored: $state/work/restore/sample/docs/data.bin"
echo "The server has been stopped; the state directory $state is kept for you to look at."
