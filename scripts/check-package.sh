#!/usr/bin/env bash
# The package check of the test command: builds the Debian package from the plain build,
# unpacks it with dpkg-deb -x into a temporary folder, checks that every file is where it
# belongs, runs the validators (lintian, desktop-file-validate, appstreamcli, man,
# systemd-analyze), and runs the unpacked program: --version, then headless on the
# package's own server file, which watches only 127.0.0.1.
#   scripts/check-package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
deb=$(scripts/build-deb.sh "$build" | tail -1)
tmp=$(mktemp -d)
pid=
cleanup() {
  [[ -n $pid ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() { echo "package: FAILED: $*"; failures=$((failures + 1)); }
ok() { echo "package: ok: $*"; }

echo "package: $(basename "$deb"), $(du -k "$deb" | cut -f1) KiB"
dpkg-deb -f "$deb" Package Version Architecture Depends | sed 's/^/package:   /'
[[ $(dpkg-deb -f "$deb" Version) == 2.2 ]] || fail "version is not 2.2"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends lacks the Qt libraries (shlibdeps)"
dpkg-deb -f "$deb" Depends | grep -q 'libc-ares2' || fail "Depends lacks c-ares, the resolver"
root=$tmp/root
dpkg-deb -x "$deb" "$root"

# Every file in its place.
expected=(
  usr/bin/sentrel
  usr/share/applications/sentrel.desktop
  usr/share/icons/hicolor/scalable/apps/sentrel.svg
  usr/share/man/man1/sentrel.1.gz
  usr/share/doc/sentrel/manual.md
  usr/share/doc/sentrel/manual.html
  usr/share/doc/sentrel/copyright
  usr/share/doc/sentrel/changelog.gz
  usr/lib/systemd/system/sentrel.service
  usr/lib/sysusers.d/sentrel.conf
  usr/share/sentrel/servers.mcf
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("usr/share/icons/hicolor/${size}x${size}/apps/sentrel.png")
done
for f in "${expected[@]}"; do [[ -f $root/$f ]] || fail "missing $f"; done
metainfo=$(ls "$root"/usr/share/metainfo/*.metainfo.xml 2>/dev/null | head -1)
[[ -n $metainfo ]] || fail "missing the AppStream metainfo file"
[[ -x $root/usr/bin/sentrel ]] || fail "usr/bin/sentrel is not executable"
stray=$(cd "$root" && find . -type f | sed 's|^\./||' | grep -Ev \
  '^usr/(bin/sentrel|share/(applications|icons/hicolor|metainfo|man/man1|doc/sentrel|sentrel)/|lib/(systemd/system|sysusers\.d)/)' || true)
[[ -z $stray ]] || fail "files outside their places: $stray"
grep -q '^ExecStart=/usr/bin/sentrel --headless ' "$root"/usr/lib/systemd/system/sentrel.service ||
  fail "the unit does not start /usr/bin/sentrel"
((failures)) || ok "${#expected[@]} files and the metainfo in place, nothing stray"

# Validators.
desktop-file-validate "$root"/usr/share/applications/sentrel.desktop && ok desktop-file-validate ||
  fail desktop-file-validate
appstreamcli validate --no-net --explain "$metainfo" >"$tmp"/appstream.log 2>&1 &&
  ok "appstreamcli validate --no-net" || { cat "$tmp"/appstream.log; fail appstreamcli; }
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 \
  "$root"/usr/share/man/man1/sentrel.1.gz 2>&1 >/dev/null || true)
[[ -z $warnings ]] && ok "man --warnings" || fail "man --warnings: $warnings"
# systemd-analyze checks that the unit's program exists: a copy of the unit names the
# unpacked one (the manual page of Documentation= is checked by man above).
mkdir -p "$tmp"/unit
sed "s|/usr/bin/sentrel|$root/usr/bin/sentrel|" "$root"/usr/lib/systemd/system/sentrel.service >"$tmp"/unit/sentrel.service
analyze=$(systemd-analyze verify --man=no "$tmp"/unit/sentrel.service 2>&1 || echo "exit code $?")
[[ -z $analyze ]] && ok "systemd-analyze verify" || fail "systemd-analyze verify: $analyze"
exposure=$(systemd-analyze security --offline=true "$tmp"/unit/sentrel.service 2>/dev/null | grep -o 'Overall exposure level.*' || true)
[[ -n $exposure ]] && echo "package:   systemd-analyze security: $exposure"
if lintian --fail-on error "$deb" >"$tmp"/lintian.log 2>&1; then
  ok "lintian: no errors ($(grep -c '^W:' "$tmp"/lintian.log || true) warnings)"
else
  cat "$tmp"/lintian.log
  fail lintian
fi
grep '^[WE]:' "$tmp"/lintian.log | sed 's/^/package:   /' || true

# The unpacked program.
version=$("$root"/usr/bin/sentrel --version)
[[ $version == "Sentrel 2.2" ]] && ok "--version: $version" || fail "--version printed '$version'"
data=$tmp/data
mkdir -p "$data"
cp "$root"/usr/share/sentrel/servers.mcf "$data"/servers.mcf
sum=$(md5sum <"$data"/servers.mcf)
grep -q '^IP=127.0.0.1' "$data"/servers.mcf || fail "the sample server file watches more than 127.0.0.1"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
(cd "$data" && exec env -u DISPLAY -u WAYLAND_DISPLAY "$root"/usr/bin/sentrel --headless \
  --data-dir "$data" --settings "$data"/sentrel.ini --web-ports "$port" "$data"/servers.mcf \
  >"$tmp"/headless.out 2>&1) &
pid=$!
page=
for _ in $(seq 50); do
  page=$(curl -s --max-time 2 "http://127.0.0.1:$port/" || true)
  [[ $page == *"Sentrel Status"* ]] && grep -q 'localhost PING 0' "$data"/localhost.log 2>/dev/null && break
  sleep 0.2
done
[[ $page == *"Sentrel Status"* ]] && ok "status page on 127.0.0.1:$port" || fail "no status page"
grep -q 'localhost PING 0' "$data"/localhost.log 2>/dev/null && ok "ping record: $(head -1 "$data"/localhost.log | tr -d '\r')" ||
  fail "no ping record in localhost.log"
kill -TERM "$pid"
code=0
wait "$pid" || code=$?
pid=
[[ $code == 0 ]] && ok "SIGTERM: exit 0" || fail "exit code $code after SIGTERM"
grep -q 'Sentrel 2.2 started' "$tmp"/headless.out && ok "the pane lines on standard output" ||
  fail "no start line on standard output"
[[ $(md5sum <"$data"/servers.mcf) == "$sum" && ! -e $data/servers.bak ]] &&
  ok "the server file only read" || fail "the server file was changed"
[[ -s $data/sentrel.ini ]] && ok "settings written on exit" || fail "no settings written on exit"
if ((failures)); then
  echo "== headless output"; cat "$tmp"/headless.out
  echo "package: $failures failure(s)"
  exit 1
fi
echo "package: all checks passed"
