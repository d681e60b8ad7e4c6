#!/usr/bin/env bash
# Takes the pictures of the main window with its availability columns: generates 30 days
# of records for a sample configuration (outages of their own in each monitor's past),
# starts Sentrel on a virtual X display (Xvfb) at 1280x800 and at 800x600, waits until the
# logs are read and the first checks are done, and saves PNGs of the window.
#
#   tools/availability-screenshots.sh [OUTPUT_DIR]   (default docs/images; needs xvfb,
#                                                     xdotool, imagemagick)
#
# Everything it watches is on 127.0.0.1: the program's own status web server (green) and
# a port nobody listens on (red).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/xvfb-helpers.sh"
bin=${SENTREL_BIN:-$here/build/bin/sentrel}
out=${1:-$here/docs/images}
mkdir -p "$out"
begin_work

snap() {
  eval "$(xdotool getwindowgeometry --shell "$1")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$2"
}

start_xvfb 1400x900

shot() {  # width height picture
  local web closed
  web=$(free_port)
  closed=$(free_port)
  rm -rf "$work/data" && mkdir -p "$work/data"
  cat >"$work/servers.mcf" <<MCF
[intranet]
IP=127.0.0.1
Logfile=intranet.log
Group=Web
[intranet:status page]
Typ=http
Port=$web
Data=url=http://127.0.0.1:$web/,GYtoR=none
intervall=30
[shop]
IP=127.0.0.1
Logfile=shop.log
Group=Web
[shop:web]
Typ=http
Port=$web
Data=url=http://127.0.0.1:$web/,GYtoR=none
intervall=30
[shop:db]
Typ=port
Port=$web
Data=GYtoR=none
intervall=30
[mailhost]
IP=127.0.0.1
Logfile=mailhost.log
Group=Mail
[mailhost:smtp]
Typ=port
Port=$closed
Data=GYtoR=none
intervall=30
[backup]
IP=127.0.0.1
Logfile=backup.log
Group=Storage
[backup:nightly]
Typ=port
Port=$web
Data=GYtoR=none
intervall=30
MCF
  # A record a minute for 30 days; each monitor with the outages it had (start in
  # minutes before now, length in minutes).
  python3 - "$work/data" "$web" "$closed" <<'PY'
import datetime, sys
data, web, closed = sys.argv[1], sys.argv[2], sys.argv[3]
now = datetime.datetime.now().replace(second=0, microsecond=0)
monitors = [  # log, server, kind, port, outages
    ("intranet.log", "intranet", "HTTP", web, [(3000, 4), (20000, 9)]),
    ("shop.log", "shop", "HTTP", web, [(9000, 150), (600, 12)]),
    ("shop.log", "shop", "PORT", web, []),
    ("mailhost.log", "mailhost", "PORT", closed, [(25, 25), (15000, 40)]),
    ("backup.log", "backup", "PORT", web, [(14000, 300)]),
]
logs = {}
minutes = 30 * 1440
for m in range(minutes, 0, -1):
    t = now - datetime.timedelta(minutes=m)
    stamp = t.strftime("%Y-%m-%d %H:%M:%S")
    if t.hour == 0 and t.minute == 0:
        stamp = stamp[:-2] + "02"
    for log, server, kind, port, outages in monitors:
        down = any(start >= m > start - length for start, length in outages)
        lost = logs.setdefault((log, server, kind), [0])
        lines = logs.setdefault(log, [])
        if down:
            lost[0] += 1
            word = "LOST" if lost[0] != 2 else None
            tail = "0Bytes " if kind == "PORT" else "0Bytes 503 Service Unavailable"
            sfx = f" ({lost[0]} lost)" if lost[0] > 2 else ""
            if lost[0] == 2:
                lines.append(f"{stamp} {server} {kind} {port} LOST 0ms {tail}")
                lines.append(f"{stamp} {server} {kind} {port} DOWN 0ms {tail} (2 lost)")
            else:
                lines.append(f"{stamp} {server} {kind} {port} LOST 0ms {tail}{sfx}")
        else:
            ms = 3 + (m * 7) % 40
            tail = "0Bytes " if kind == "PORT" else "5120Bytes E0 200 OK"
            lines.append(f"{stamp} {server} {kind} {port} OK {ms}ms {tail}")
            if lost[0] >= 2:
                lines.append(f"{stamp} {server} {kind} {port} UP {ms}ms {tail} Downtime=1 min")
            lost[0] = 0
for key, lines in logs.items():
    if isinstance(key, str):
        with open(f"{data}/{key}", "w", newline="") as f:
            f.write("".join(l + "\r\n" for l in lines))
PY
  cat >"$work/settings.ini" <<INI
[Corvane]
AutoStart=1
AutoStartWeb=1
[Window]
FormVersion=2
ShowCmd=1
PixelsPerInch=96
NormPos=0,0,$1,$2
INI
  (cd "$work" && exec "$bin" --data-dir "$work/data" --settings "$work/settings.ini" \
     --web-ports "$web" "$work/servers.mcf" >"$work/out.log" 2>&1) &
  local pid=$!
  pids+=($pid)
  local win=
  for _ in $(seq 300); do
    win=$(xdotool search --onlyvisible --name '^Sentrel$' 2>/dev/null | head -1 || true)
    [[ -n "$win" ]] && grep -qs " DOWN " <(tail -c 300 "$work/data/mailhost.log") && break
    sleep 0.1
  done
  sleep 3
  snap "$win" "$out/$3"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
}

shot 1280 800 main-window-availability.png
shot 800 600 main-window-availability-800.png
echo "saved the main window with its availability columns in $out"
