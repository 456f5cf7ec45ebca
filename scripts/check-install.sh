#!/usr/bin/env bash
# Builds velk and kylgwd as a packager would (Release, without the tests and
# GoogleTest, warnings as errors) in build-release/, installs them into a
# scratch prefix and runs the installed programs: --version of both, then a
# small local create and list by the installed velk through the installed
# kylgwd started with the installed sample configuration (plus one user).
# Checks the manual pages (compressed; groff -ww, man -l), the bash
# completion, the installed configuration (kylgwd --check-config), the
# systemd unit (the scratch prefix's paths; systemd-analyze verify, when
# systemd-analyze exists) and builds the velk and kylgwd Debian packages
# from the same build and installs them with dpkg into a scratch root (when
# dpkg-deb exists): their files, the conffile, and the system user and
# state directory the kylgwd package's script adds.
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

# Builds the two packages and installs them with dpkg into an empty root of
# their own (the dependencies are this system's), running the maintainer
# scripts outside it with DPKG_ROOT set; the user is added where the root
# has its own account files and this script runs as root.
check_debs() {
  rm -f "$bdir"/velk_*.deb "$bdir"/kylgwd_*.deb
  (cd "$bdir" && cpack -G DEB >"$scratch/cpack.out" 2>&1) || fail "cpack: $(cat "$scratch/cpack.out")"
  local vdeb kdeb dr
  vdeb="$(ls "$bdir"/velk_*.deb)"
  kdeb="$(ls "$bdir"/kylgwd_*.deb)"
  local vfiles kfiles
  vfiles="$(dpkg-deb -c "$vdeb")"
  kfiles="$(dpkg-deb -c "$kdeb")"
  [[ "$(dpkg-deb -f "$vdeb" Depends)" == *libssl* ]] || fail "the velk package does not depend on libssl"
  [[ "$(dpkg-deb -f "$kdeb" Depends)" == *passwd* ]] || fail "the kylgwd package does not depend on passwd"
  for f in ./usr/bin/velk ./usr/share/man/man1/velk.1.gz ./usr/share/doc/velk/copyright; do
    [[ "$vfiles" == *" $f"* ]] || fail "the velk package lacks $f"
  done
  for f in ./usr/sbin/kylgwd ./usr/share/man/man8/kylgwd.8.gz ./usr/share/doc/kylgwd/copyright \
           ./etc/kylgwd/kylgwd.conf ./usr/lib/systemd/system/kylgwd.service; do
    [[ "$kfiles" == *" $f"* ]] || fail "the kylgwd package lacks $f"
  done
  [[ "$vfiles" != *kylgwd* && "$kfiles" != *bin/velk* ]] || fail "the packages share files"
  ! grep -Eq '/man/man[0-9]/[^ ]*\.[0-9]$' <<<"$vfiles"$'\n'"$kfiles" || fail "a package holds an uncompressed page"
  dr="$scratch/dpkg-root"
  mkdir -p "$dr/var/lib/dpkg/info" "$dr/var/lib/dpkg/updates" "$dr/etc"
  touch "$dr/var/lib/dpkg/status"
  if [ "$(id -u)" = 0 ]; then
    grep '^root:' /etc/passwd >"$dr/etc/passwd"
    grep '^root:' /etc/group >"$dr/etc/group"
    printf 'root:*:1::::::\n' >"$dr/etc/shadow"
    printf 'root:*::\n' >"$dr/etc/gshadow"
  fi
  dpkg --root="$dr" --force-depends --force-not-root --force-script-chrootless --log=/dev/null -i "$vdeb" "$kdeb" \
    >"$scratch/dpkg.out" 2>&1 || fail "dpkg -i: $(cat "$scratch/dpkg.out")"
  "$dr/usr/bin/velk" --version >/dev/null || fail "the packaged velk does not run"
  grep -q 'EXIT STATUS' <<<"$(MANPATH="$dr/usr/share/man" MANWIDTH=80 man velk 2>/dev/null)" || fail "man velk: no page"
  grep -qx /etc/kylgwd/kylgwd.conf "$dr/var/lib/dpkg/info/kylgwd.conffiles" || fail "kylgwd.conf is not a conffile"
  "$dr/usr/sbin/kylgwd" --check-config "$dr/etc/kylgwd/kylgwd.conf" >/dev/null || fail "the packaged kylgwd.conf has problems"
  [ -d "$dr/var/lib/kylgwd/root" ] && [ -d "$dr/var/lib/kylgwd/meta" ] || fail "no state directory"
  if [ "$(id -u)" = 0 ]; then
    grep -q '^kylgwd:x:[0-9]*:[0-9]*:.*:/var/lib/kylgwd:/usr/sbin/nologin$' "$dr/etc/passwd" ||
      fail "no kylgwd system user: $(cat "$dr/etc/passwd")"
    [ "$(stat -c '%a %g' "$dr/etc/kylgwd/kylgwd.conf")" = "640 $(awk -F: '$1=="kylgwd"{print $3}' "$dr/etc/group")" ] ||
      fail "kylgwd.conf is not 0640 for the kylgwd group: $(stat -c '%a %g' "$dr/etc/kylgwd/kylgwd.conf")"
  else
    echo "check-install: not root; the kylgwd user was not added in the scratch root"
  fi
  # Removed (not purged), the package leaves an edited configuration.
  echo '# edited' >>"$dr/etc/kylgwd/kylgwd.conf"
  dpkg --root="$dr" --force-depends --force-not-root --force-script-chrootless --log=/dev/null -r kylgwd \
    >"$scratch/dpkg.out" 2>&1 || fail "dpkg -r: $(cat "$scratch/dpkg.out")"
  [ ! -e "$dr/usr/sbin/kylgwd" ] && grep -q '^# edited$' "$dr/etc/kylgwd/kylgwd.conf" ||
    fail "dpkg -r kylgwd did not keep the edited configuration"
  echo "check-install: built and installed $vdeb and $kdeb"
}

prefix="$scratch/prefix"
cmake --install "$bdir" --prefix "$prefix" >/dev/null
velk="$prefix/bin/velk"
kylgwd="$prefix/sbin/kylgwd"
for f in "$velk" "$kylgwd" "$prefix/share/man/man1/velk.1.gz" "$prefix/share/man/man8/kylgwd.8.gz" \
         "$prefix/share/bash-completion/completions/velk" "$prefix/share/doc/kylgwd/examples/kylgwd.conf" \
         "$prefix/etc/kylgwd/kylgwd.conf" "$prefix/share/doc/velk/copyright" "$prefix/share/doc/kylgwd/copyright" \
         "$prefix/lib/systemd/system/kylgwd.service" "$prefix/lib/systemd/system/kylgwd-mover@.service"; do
  [ -e "$f" ] || fail "not installed: ${f#"$prefix"/}"
done

grep -Eq '^velk [0-9]+\.[0-9]+\.[0-9]+ \(built [0-9-]+\)$' <<<"$("$velk" --version)" || fail "velk --version"
grep -Eq '^kylgwd [0-9]+\.[0-9]+\.[0-9]+ \(built [0-9-]+\)$' <<<"$("$kylgwd" --version)" || fail "kylgwd --version"

# The manual pages: no groff warning, and man renders them.
for page in man1/velk.1.gz man8/kylgwd.8.gz; do
  out="$(zcat "$prefix/share/man/$page" | groff -ww -z -man 2>&1)"
  [ -z "$out" ] || fail "groff warns about $page: $out"
  err="$(MANWIDTH=80 man -l "$prefix/share/man/$page" 2>&1 >/dev/null)"
  [ -z "$err" ] || fail "man -l $page: $err"
done
grep -q 'EXIT STATUS' <<<"$(MANWIDTH=80 man -l "$prefix/share/man/man1/velk.1.gz" 2>/dev/null)" ||
  fail "man -l velk.1.gz shows no page"
version="$("$velk" --version | cut -d' ' -f2)"
grep -q "\"velk $version\"" <<<"$(zcat "$prefix/share/man/man8/kylgwd.8.gz")" || fail "kylgwd.8 does not name version $version"

# The configuration as installed is valid, and the units name this prefix.
"$kylgwd" --check-config "$prefix/etc/kylgwd/kylgwd.conf" >/dev/null || fail "the installed kylgwd.conf has problems"
for unit in kylgwd.service kylgwd-mover@.service; do
  text="$(cat "$prefix/lib/systemd/system/$unit")"
  [[ "$text" == *"ExecStart=$kylgwd "*"--config $prefix/etc/kylgwd/"* ]] || fail "$unit does not name $prefix: $text"
  [[ "$text" != *"/usr/local"* ]] || fail "$unit names /usr/local"
done

bash -c "source '$prefix/share/bash-completion/completions/velk' && complete -p velk" >/dev/null ||
  fail "the bash completion does not load"

# The installed kylgwd with the sample configuration and one user.
mkdir -p "$scratch/state/root/home/demo" "$scratch/state/meta" "$scratch/work/tree/sub"
head -c 64 /dev/urandom >"$scratch/state/demo.keytab"
chmod 600 "$scratch/state/demo.keytab"
{
  cat "$prefix/share/doc/kylgwd/examples/kylgwd.conf"
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

# The unit as installed, which names the kylgwd of the scratch prefix.
if command -v systemd-analyze >/dev/null; then
  out="$(systemd-analyze verify --man=no "$prefix/lib/systemd/system/kylgwd.service" 2>&1)" ||
    fail "systemd-analyze: $out"
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
else
  echo "check-install: no systemd-analyze here; the unit was not verified"
fi

if command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
  check_debs
fi
echo "check-install: installed velk and kylgwd work"
