#!/usr/bin/env bash
# The window comes first: Sentrel on a virtual X display (Xvfb) with "Start Scan on
# Startup" and a server file of 40 silent and 40 refused ports, whose checks take 10 s
# and nothing. Measures how long after the splash the main window is up (at most 2 s),
# checks that it answers a command while the first pass waits, and saves a screenshot
# of it then.
#
#   tools/startup-window.sh [SCREENSHOT.png]     (needs xvfb, xdotool, imagemagick)
#
# Every port it watches is on 127.0.0.1.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/xvfb-helpers.sh"
bin=${SENTREL_BIN:-$here/build/bin/sentrel}
shot=${1:-}
begin_work

# A listener whose queue is full: a connection to it is neither taken nor refused.
silent_port_file=$work/silent.port
python3 - "$silent_port_file" <<'PY' &
import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(0)
fillers = []
for _ in range(8):
    c = socket.socket()
    c.setblocking(False)
    try:
        c.connect(("127.0.0.1", s.getsockname()[1]))
    except BlockingIOError:
        pass
    fillers.append(c)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
time.sleep(600)
PY
pids+=($!)
for _ in $(seq 50); do [[ -s $silent_port_file ]] && break; sleep 0.1; done
silent=$(cat "$silent_port_file")
refused=$(free_port)

{
  for i in $(seq 40); do
    printf '[quiet%d]\nIP=127.0.0.1\nLogfile=quiet%d.log\n[quiet%d:port]\nTyp=port\nPort=%d\nintervall=60\n' \
      "$i" "$i" "$i" "$silent"
    printf '[closed%d]\nIP=127.0.0.1\nLogfile=closed%d.log\n[closed%d:port]\nTyp=port\nPort=%d\nintervall=60\n' \
      "$i" "$i" "$i" "$refused"
  done
} >"$work/servers.mcf"
printf '[Corvane]\nAutoStart=1\n' >"$work/settings.ini"

start_xvfb
"$bin" --data-dir "$work/data" --settings "$work/settings.ini" --web-ports "$(free_port)" \
  "$work/servers.mcf" >"$work/out.txt" 2>&1 &
pids+=($!)

splash=$(find_window '^Sentrel starting$' 100)
[[ -n "$splash" ]] || { echo "startup-window: no splash window" >&2; exit 1; }
t0=$(date +%s%N)
main=
for _ in $(seq 100); do
  main=$(xdotool search --onlyvisible --name '^Sentrel$' 2>/dev/null | head -1 || true)
  [[ -n "$main" ]] && break
  sleep 0.05
done
t1=$(date +%s%N)
[[ -n "$main" ]] || { echo "startup-window: the main window did not appear within 5 s" >&2; exit 1; }
ms=$(((t1 - t0) / 1000000))
echo "startup-window: main window up ${ms} ms after the splash"
((ms <= 2000)) || { echo "startup-window: more than 2 s" >&2; exit 1; }

# The first pass now waits on a silent port; the window answers: Help > About opens.
sleep 1
xdotool windowfocus --sync "$main" >/dev/null 2>&1 || true
xdotool key alt+h
sleep 0.3
xdotool key a
about=$(find_window '^About Sentrel$' 50)
[[ -n "$about" ]] || { echo "startup-window: About did not open while the pass waited" >&2; exit 1; }
[[ -n "$shot" ]] && import -window root "$shot"
xdotool key --window "$about" Return >/dev/null 2>&1 || true
echo "startup-window: the window answered while the first pass waited"
