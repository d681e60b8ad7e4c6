#!/usr/bin/env bash
# Prints what a screen reader (Orca, through AT-SPI) finds in Sentrel's main window: the
# program runs on a virtual X display (Xvfb) with a D-Bus session and the accessibility
# bus, watching a sample configuration whose monitors show every colour, and
# tools/screen_reader_view.py listens to what the program announces while the colours
# change (a monitor turning yellow or red, the popup's message, the status panels), then
# reads the window: controls, names, the tree rows' status words, the panes, the menus
# with their keys, the status bar, and the popup window that came up.
#
#   tools/screen-reader-view.sh [SECONDS_TO_LISTEN]     (default 12)
#   tools/screen-reader-view.sh --check [SECONDS]       (fails on what a reader misses)
#
# With --check it listens until it has heard the yellow and the red monitor announced and
# the popup come up as an alert with its message (60 s at most), and fails when one of
# them, the status panels' texts or the red row's words are missing.
#
# Needs xvfb, x11-utils, at-spi2-core, dbus, python3-gi and gir1.2-atspi-2.0. Everything
# it watches is on 127.0.0.1: the program's own status web server (green), a web server
# that answers for the first seconds and then is gone (green, then one check lost:
# yellow), a port nobody listens on (red, and its third failure raises the Default
# event's popup), and a web server that takes the request and never answers (not checked
# while the check waits).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
bin=${SENTREL_BIN:-$here/build/bin/sentrel}
# The accessibility bus needs a session bus: the rest runs inside one of its own.
if [[ -z "${SENTREL_SESSION_BUS:-}" ]]; then
  export SENTREL_SESSION_BUS=1
  exec dbus-run-session -- "$0" "$@"
fi

check=()
if [[ ${1:-} == --check ]]; then
  check=(--check)
  shift
  listen=${1:-60}
else
  listen=${1:-12}
fi

source "$here/tools/xvfb-helpers.sh"
begin_work

web=$(free_port)
closing=$(free_port)
closed=$(free_port)
silent=$(free_port)
mkdir -p "$work/data"
cat >"$work/servers.mcf" <<MCF
[intranet]
IP=127.0.0.1
Logfile=intranet.log
Group=Web
[intranet:status page]
Typ=http
Port=$web
Data=url=http://127.0.0.1:$web/,GYtoR=none
intervall=5
[shop]
IP=127.0.0.1
Logfile=shop.log
Group=Web
[shop:web]
Typ=http
Port=$closing
Data=url=http://127.0.0.1:$closing/,GYtoR=none
intervall=4
[mailhost]
IP=127.0.0.1
Logfile=mailhost.log
Group=Mail
[mailhost:smtp]
Typ=port
Port=$closed
intervall=3
[backup]
IP=127.0.0.1
Logfile=backup.log
Group=Storage
[backup:web]
Typ=http
Port=$silent
Data=url=http://127.0.0.1:$silent/,GYtoR=none
intervall=3600
MCF
cat >"$work/settings.ini" <<INI
[Options]
AutoStart=1
AutoStartWeb=1
[Window]
FormVersion=2
ShowCmd=1
PixelsPerInch=96
NormPos=0,0,860,520
INI

# A web server for four seconds; a listener that takes connections and never answers.
(cd "$work" && exec timeout 4 python3 -m http.server --bind 127.0.0.1 "$closing" >/dev/null 2>&1) &
pids+=($!)
python3 -c "import socket,time; s=socket.socket(); s.bind(('127.0.0.1',$silent)); s.listen(8); time.sleep(600)" &
pids+=($!)
for _ in $(seq 50); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1',$closing)).close()" 2>/dev/null && break
  sleep 0.1
done

start_xvfb
# Qt serves the accessibility bus only when asked to (a desktop asks when a screen reader runs).
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
"$bin" --data-dir "$work/data" --settings "$work/settings.ini" --web-ports "$web" \
  "$work/servers.mcf" >"$work/out.log" 2>&1 &
pids+=($!)

# Listening from the start: the shop's server is gone after four seconds and its next
# check is lost (yellow); the mail host is red at once, and its popup comes at the third
# failure.
/usr/bin/python3 "$here/tools/screen_reader_view.py" "${check[@]}" "$listen"
