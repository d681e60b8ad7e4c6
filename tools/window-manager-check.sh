#!/usr/bin/env bash
# The window on a desktop with a window manager (openbox on a virtual X display): on a
# screen of 800x600 a stored placement that fills the screen comes back with the title
# bar on the screen; a popup raised while the operator types in the monitor editor leaves
# the editor the keyboard, and every key typed reaches the editor. Then, on 1280x800, the
# main window again. Saves the pictures it takes and fails on what it finds wrong.
#
#   tools/window-manager-check.sh [OUTPUT_DIR]
#                     (needs xvfb, openbox, xdotool, x11-utils, imagemagick)
#
# Everything it watches is on 127.0.0.1: a port nobody listens on, whose monitor turns red
# and raises the Default event's popup.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/xvfb-helpers.sh"
bin=${SENTREL_BIN:-$here/build/bin/sentrel}
out=${1:-}
begin_work
fail() {
  echo "window-manager-check: $*" >&2
  exit 1
}
shot() {
  [[ -n "$out" ]] || return 0
  mkdir -p "$out"
  import -window root "$out/$1"
}

closed=$(free_port)
mkdir -p "$work/data"
cat >"$work/servers.mcf" <<MCF
[mailhost]
IP=127.0.0.1
Logfile=mailhost.log
Group=Mail
[mailhost:smtp]
Typ=port
Port=$closed
intervall=6
[intranet]
IP=127.0.0.1
Logfile=intranet.log
Group=Web
[intranet:web]
Typ=port
Port=$closed
Data=GYtoR=none
intervall=3600
MCF
printf '[Default]\r\nUsePopup=1\r\n' >"$work/data/events.ini"

run() {  # screen size; starts the program on a display of that size, with a window manager
  start_xvfb "$1"
  start_wm
  # A placement stored on this screen that fills it: the window manager's frame must fit too.
  local w=${1%x*} h=${1#*x}
  printf '[Options]\nAutoStart=%s\n[Window]\nFormVersion=2\nShowCmd=1\nPixelsPerInch=96\nNormPos=0,0,%s,%s\n' \
    "$2" "$w" "$h" >"$work/settings.ini"
  (cd "$work" && exec "$bin" --data-dir "$work/data" --settings "$work/settings.ini" \
     --web-ports "$(free_port)" "$work/servers.mcf" >>"$work/out.log" 2>&1) &
  sentrel=$!
  pids+=($sentrel)
  win=$(find_window '^Sentrel$' 100)
  [[ -n "$win" ]] || fail "no main window"
  sleep 1.5
  read -r fx fy fw fh <<<"$(frame_of "$win")"
  echo "$1: the window's frame is ${fw}x${fh} at ${fx},${fy}"
  ((fy >= 0 && fx >= 0)) || fail "$1: the title bar is off the screen (frame at $fx,$fy)"
  ((fx + fw <= w && fy + fh <= h)) || fail "$1: the frame reaches beyond the screen"
}

stop() {
  kill "$sentrel" 2>/dev/null || true
  wait "$sentrel" 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  pids=()
  sleep 0.3
}

# The first run stores nothing but the picture and the placement check.
run 800x600 0
shot main-800x600.png
stop

# Scanning from the start: the refused port's monitor turns red, and its third failure
# (about six seconds on) raises the popup while the operator types a note into the
# server's editor. Every key reaches the editor, which keeps the keyboard.
run 800x600 1
# The first row is selected at start: Down to the server, F2 to edit it.
xdotool windowactivate --sync "$win"
xdotool key Home Down F2
editor=$(find_window '^Server: mailhost$')
[[ -n "$editor" ]] || fail "no server editor"
sleep 0.3
xdotool key alt+t  # the Notes field
typed="the router in rack four was replaced on monday and the relay moved with it"
for ((i = 0; i < ${#typed}; i++)); do
  xdotool type --delay 0 "${typed:i:1}"
  sleep 0.15
done
popup=$(find_window '^Sentrel Message\(s\)$' 50)
[[ -n "$popup" ]] || fail "no popup came while typing"
[[ $(xdotool getactivewindow) == "$editor" ]] || fail "the popup took the keyboard from the editor"
shot popup-over-editor.png
xdotool key Return  # OK
sleep 0.5
kill -TERM "$sentrel"  # closes saving the server file
wait "$sentrel" 2>/dev/null || true
grep -q "^Notes=$typed" "$work/servers.mcf" ||
  fail "keys typed in the editor went elsewhere: $(grep '^Notes=' "$work/servers.mcf" || echo 'no notes')"
echo "800x600: the popup came while typing; all ${#typed} keys reached the editor"
stop

run 1280x800 0
shot main-1280x800.png
stop
echo "window manager check passed${out:+; pictures in $out}"
