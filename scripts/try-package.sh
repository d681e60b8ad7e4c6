#!/usr/bin/env bash
# For a throwaway Debian 12 machine (as root): installs the Sentrel package with apt,
# starts the service, checks its status page on the loopback address, stops it, removes
# the package, and shows that nothing but the operator's data is left.
#   scripts/try-package.sh [PACKAGE.deb]     (default: built by scripts/build-deb.sh)
# Without a running systemd (a container), the service's command line is run by hand
# as the unit would: as the user sentrel with the unit's two capabilities.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $(id -u) == 0 ]] || { echo "try-package: run as root on a throwaway machine" >&2; exit 1; }
deb=${1:-$(scripts/build-deb.sh | tail -1)}
deb=$(realpath "$deb")
step() { echo; echo "== $*"; }
export DEBIAN_FRONTEND=noninteractive

step "apt install $deb"
apt-get install -y -q -o DPkg::Lock::Timeout=120 "$deb" | tail -3
files=$(dpkg -L sentrel)
desktop-file-validate /usr/share/applications/sentrel.desktop && echo "desktop entry: $(grep -E '^(Name|Categories)=' /usr/share/applications/sentrel.desktop | tr '\n' ' ')"
echo "man page: $(man -w sentrel)"
echo "user: $(getent passwd sentrel)"
ls -la /var/lib/sentrel

page_check() {
  local page= port=
  for _ in $(seq 60); do
    for port in 80 8080 8081; do
      page=$(curl -s --max-time 2 "http://127.0.0.1:$port/" || true)
      if [[ $page == *"Sentrel Status"* ]]; then
        echo "status page on 127.0.0.1:$port: $(grep -o '<TITLE>[^<]*' <<<"$page" | head -1)"
        return 0
      fi
    done
    sleep 0.5
  done
  echo "try-package: FAILED: no status page on 127.0.0.1" >&2
  return 1
}

status=0
if [[ -d /run/systemd/system ]]; then
  step "systemctl enable --now sentrel"
  systemctl enable --now sentrel
  systemctl --no-pager status sentrel | head -5 || true
  page_check || status=1
  sleep 2
  journalctl -u sentrel --no-pager -n 8 | sed 's/^/journal: /'
  step "systemctl stop sentrel"
  systemctl stop sentrel
  systemctl is-active sentrel || true
else
  step "no running systemd here: the unit's command, as the user sentrel"
  cmd=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/sentrel.service /usr/lib/systemd/system/sentrel.service 2>/dev/null | head -1)
  echo "$cmd"
  (cd /var/lib/sentrel && exec setpriv --reuid=sentrel --regid=sentrel --init-groups \
    --inh-caps=+net_raw,+net_bind_service --ambient-caps=+net_raw,+net_bind_service \
    --bounding-set=-all,+net_raw,+net_bind_service $cmd) >/tmp/sentrel-try.out 2>&1 &
  pid=$!
  page_check || status=1
  sleep 2
  kill -TERM "$pid"
  wait "$pid" && echo "stopped with exit code 0" || { echo "exit code $?"; status=1; }
  sed 's/^/stdout: /' /tmp/sentrel-try.out | head -8
fi
ls -la /var/lib/sentrel

step "apt remove sentrel"
apt-get remove -y -q -o DPkg::Lock::Timeout=120 sentrel | tail -2
left=
while read -r f; do
  [[ -e $f && ! -d $f ]] && left+="$f "
done <<<"$files"
if [[ -n $left ]]; then
  echo "try-package: FAILED: the package left $left" >&2
  status=1
else
  echo "every file of the package is gone"
fi
[[ -e /etc/systemd/system/multi-user.target.wants/sentrel.service ]] && { echo "try-package: FAILED: still enabled" >&2; status=1; }
echo "left behind, the operator's data:"
ls -la /var/lib/sentrel
echo "and the system user: $(getent passwd sentrel || echo none)"
exit $status
