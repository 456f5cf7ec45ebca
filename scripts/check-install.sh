#!/usr/bin/env bash
# Builds velk and kylgwd as a packager would (Release, without the tests and
# GoogleTest, warnings as errors) in build-release/, installs them into a
# scratch prefix and runs the installed programs: --version of both, then a
# small local create and list by the installed velk through the installed
# kylgwd started with the installed sample configuration (plus one user).
# Checks the manual pages (groff -ww, man -l), the bash completion, the
# systemd unit (systemd-analyze verify, when systemd-analyze exists) and
# builds the Debian package from the same build and installs it with dpkg
# into a scratch root (when dpkg-deb exists).
set -euo pipefail
# (With pipefail, "cmd | grep -q" fails whenever grep leaves before cmd has
# written everything: cmd dies of SIGPIPE.  Matches are therefore made on
# captured output.)
cd "$(dirname "$0")/.."

bdir="build-release"
cmake -S . -B "$bdir" -DCMAKE_BUILD_TYPE=Release -DVELK_BUILD_TESTS=OFF -DVELK_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$bdir" -j "$(nproc)"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/velk-install.XXXXXX")"
kylgwd_pid=""
cleanup() {
  if [ -n "$kylgwd_pid" ] && kill -0 "$kylgwd_pid" 2>/dev/null; then
    kill -TERM "$kylgwd_pid"
    wait "$kylgwd_pid" || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "check-install: $*" >&2
  exit 1
}

prefix="$scratch/prefix"
cmake --install "$bdir" --prefix "$prefix" >/dev/null
velk="$prefix/bin/velk"
kylgwd="$prefix/sbin/kylgwd"
for f in "$velk" "$kylgwd" "$prefix/share/man/man1/velk.1" "$prefix/share/man/man8/kylgwd.8" \
         "$prefix/share/bash-completion/completions/velk" "$prefix/share/doc/velk/examples/kylgwd.conf" \
         "$prefix/lib/systemd/system/kylgwd.service"; do
  [ -e "$f" ] || fail "not installed: ${f#"$prefix"/}"
done

grep -Eq '^velk [0-9]+\.[0-9]+\.[0-9]+ \(built [0-9-]+\)$' <<<"$("$velk" --version)" || fail "velk --version"
grep -Eq '^kylgwd [0-9]+\.[0-9]+\.[0-9]+ \(built [0-9-]+\)$' <<<"$("$kylgwd" --version)" || fail "kylgwd --version"

# The manual pages: no groff warning, and man renders them.
for page in man1/velk.1 man8/kylgwd.8; do
  out="$(groff -ww -z -man "$prefix/share/man/$page" 2>&1)"
  [ -z "$out" ] || fail "groff warns about $page: $out"
  err="$(MANWIDTH=80 man -l "$prefix/share/man/$page" 2>&1 >/dev/null)"
  [ -z "$err" ] || fail "man -l $page: $err"
done
grep -q 'EXIT STATUS' <<<"$(MANWIDTH=80 man -l "$prefix/share/man/man1/velk.1" 2>/dev/null)" || fail "man -l velk.1 shows no page"
version="$("$velk" --version | cut -d' ' -f2)"
grep -q "\"velk $version\"" "$prefix/share/man/man8/kylgwd.8" || fail "kylgwd.8 does not name version $version"

bash -c "source '$prefix/share/bash-completion/completions/velk' && complete -p velk" >/dev/null ||
  fail "the bash completion does not load"

# The installed kylgwd with the sample configuration and one user.
mkdir -p "$scratch/state/root/home/demo" "$scratch/state/meta" "$scratch/work/tree/sub"
head -c 64 /dev/urandom >"$scratch/state/demo.keytab"
chmod 600 "$scratch/state/demo.keytab"
{
  cat "$prefix/share/doc/velk/examples/kylgwd.conf"
  cat <<CONF
Users = {
  demo = {
    uid = $(id -u)
    gid = $(id -g)
    home = /home/demo
    keytab = $scratch/state/demo.keytab
  }
}
CONF
} >"$scratch/state/kylgwd.conf"
"$kylgwd" --foreground --listen 127.0.0.1:0 --portfile "$scratch/state/port" --config "$scratch/state/kylgwd.conf" \
          --root "$scratch/state/root" --meta "$scratch/state/meta" --log "$scratch/state/kylgwd.log" &
kylgwd_pid=$!
for _ in $(seq 1 300); do
  [ -s "$scratch/state/port" ] && break
  kill -0 "$kylgwd_pid" 2>/dev/null || break
  sleep 0.1
done
[ -s "$scratch/state/port" ] || fail "the installed kylgwd did not start: $(cat "$scratch/state/kylgwd.log" 2>/dev/null)"
printf 'one\n' >"$scratch/work/tree/a.txt"
printf 'two\n' >"$scratch/work/tree/sub/b.txt"
run_velk() {
  (cd "$scratch/work" && QUOR_SERVER_HOST="127.0.0.1/$(cat "$scratch/state/port")" HOME="$scratch/work" \
     QUOR_CFG_FILE_PATH="$scratch/work" QUOR_AUTH_METHOD=keytab QUOR_PRINCIPAL=demo \
     QUOR_KEYTAB_PATH="$scratch/state/demo.keytab" "$velk" "$@")
}
run_velk -c -E -f t.tar tree >"$scratch/create.out" 2>&1 || fail "installed velk -c: $(cat "$scratch/create.out")"
run_velk -t -E -f t.tar >"$scratch/list.out" 2>&1 || fail "installed velk -t: $(cat "$scratch/list.out")"
grep -q ' tree/sub/b.txt$' "$scratch/list.out" || fail "the listing lacks tree/sub/b.txt: $(cat "$scratch/list.out")"
# (GNU tar notes that velk ends an archive with one zero block.)
grep -qx 'tree/sub/b.txt' <<<"$(tar -tf "$scratch/work/t.tar" 2>/dev/null)" || fail "tar cannot read the installed velk's archive"
kill -TERM "$kylgwd_pid"
wait "$kylgwd_pid" || fail "the installed kylgwd did not stop cleanly"
kylgwd_pid=""

# The unit as installed, pointed at the kylgwd of the scratch prefix.
if command -v systemd-analyze >/dev/null; then
  sed "s#/usr/sbin/kylgwd#$kylgwd#" "$prefix/lib/systemd/system/kylgwd.service" >"$scratch/kylgwd.service"
  out="$(systemd-analyze verify --man=no "$scratch/kylgwd.service" 2>&1)" || fail "systemd-analyze: $out"
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
else
  echo "check-install: no systemd-analyze here; the unit was not verified"
fi

if command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
  rm -f "$bdir"/velk_*.deb
  (cd "$bdir" && cpack -G DEB >"$scratch/cpack.out" 2>&1) || fail "cpack: $(cat "$scratch/cpack.out")"
  deb="$(ls "$bdir"/velk_*.deb)"
  [[ "$(dpkg-deb -f "$deb" Depends)" == *libssl* ]] || fail "the package does not depend on libssl"
  [[ "$(dpkg-deb -c "$deb")" == *" ./usr/share/man/man1/velk.1"* ]] || fail "the package lacks the manual page"
  # Installed by dpkg into an empty root of its own (the dependencies are
  # this system's), where man finds the page.
  dr="$scratch/dpkg-root"
  mkdir -p "$dr/var/lib/dpkg/info" "$dr/var/lib/dpkg/updates"
  touch "$dr/var/lib/dpkg/status"
  dpkg --root="$dr" --force-depends --force-not-root --log=/dev/null -i "$deb" >"$scratch/dpkg.out" 2>&1 ||
    fail "dpkg -i: $(cat "$scratch/dpkg.out")"
  "$dr/usr/bin/velk" --version >/dev/null || fail "the packaged velk does not run"
  grep -q 'EXIT STATUS' <<<"$(MANPATH="$dr/usr/share/man" MANWIDTH=80 man velk 2>/dev/null)" || fail "man velk: no page"
  echo "check-install: built and installed $deb"
fi
echo "check-install: installed velk and kylgwd work"
