#!/usr/bin/env bash
# End to end through the editing dialogs of the real program on a virtual X display
# (Xvfb), driven with xdotool as an operator would: adds an event in the event manager,
# a server and an HTTP monitor through the editor dialog with their events chosen, closes
# the window (which saves), checks that the server file and the events file hold exactly
# what was entered, starts the program again and checks that it shows the new server
# (on its status page and in a picture of its window).
#
#   tools/editing-e2e.sh            (needs xvfb, xdotool, python3; imagemagick for pictures)
#
# Everything it watches or asks is on 127.0.0.1. Exits non-zero on any difference.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/xvfb-helpers.sh"
bin=${SENTREL_BIN:-$here/build/bin/sentrel}
begin_work
fail() {
  echo "FAILED: $*" >&2
  [[ -n "${win:-}" ]] && import -window root "$work/failure.png" 2>/dev/null && echo "screen: $work/failure.png" >&2
  KEEP_WORK=1
  exit 1
}
web=$(free_port)

mkdir -p "$work/data"
printf '[localhost]\r\nIP=127.0.0.1\r\nLogfile=localhost.log\r\nGroup=Main\r\n' >"$work/servers.mcf"
printf '[Default]\r\nUsePopup=1\r\n[Page ops]\r\nUsePopup=1\r\n' >"$work/data/events.ini"
printf '[Corvane]\nAutoStartWeb=1\n[Window]\nFormVersion=2\nShowCmd=1\nPixelsPerInch=96\nNormPos=0,0,860,520\n' \
  >"$work/settings.ini"

start_xvfb

start() {
  (cd "$work" && exec "$bin" --data-dir "$work/data" --settings "$work/settings.ini" \
     --web-ports "$web" "$work/servers.mcf" >>"$work/out.log" 2>&1) &
  sentrel=$!
  pids+=($sentrel)
  win=$(find_window '^Sentrel$' 100)
  [[ -n "$win" ]] || fail "no main window"
  sleep 1
}
dialog() {  # the window of this title, once it is up
  local id
  id=$(find_window "$1")
  [[ -n "$id" ]] || fail "no window \"$1\""
  sleep 0.3
  echo "$id"
}
gone() {  # waits until no window of this title is shown
  for _ in $(seq 50); do
    xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  fail "window \"$1\" still open"
}
click_in() {  # window, x, y within it
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove $((X + $2)) $((Y + $3)) click 1
  sleep 0.3
}
typeit() { xdotool type --delay 20 "$1"; sleep 0.2; }

start

# The event manager: "Add" a new event; its name prompt turns the blank into "_".
row 0
xdotool key alt+o
sleep 0.3
xdotool key Return
events=$(dialog '^Event manager$')
eval "$(xdotool getwindowgeometry --shell "$events")"
xdotool mousemove $((X + WIDTH - 50)) $((Y + 21)) click 1  # "Add", the first button beside the list
dialog '^New event$' >/dev/null
typeit "night shift"
xdotool key Return
gone '^New event$'
# Without a window manager the closed prompt leaves the focus nowhere: the mouse goes on.
# The action list's fourth entry is Mail: its tick box, then its page's address field.
click_in "$events" 21 86
click_in "$events" 47 86
click_in "$events" 370 78
typeit "ops@localhost"
xdotool key Return  # OK (the default button)
gone '^Event manager$'

# Server > Add... in the group "Main": the editor opens on the new server "new".
row 0
xdotool key alt+s
sleep 0.3
xdotool key a
dialog '^Server: new$' >/dev/null
xdotool key ctrl+a
typeit "web 1"
xdotool key Tab  # leaving the name turns it into web_1
typeit "127.0.0.1"
xdotool key Tab Tab
typeit "Rack 4"
xdotool key Tab Tab
typeit "front door, second floor"
xdotool key Return
gone '^Server: '

# Monitor > Add... on the new server (the third row): an HTTP monitor.
row 2
xdotool key alt+m
sleep 0.3
xdotool key a
dialog '^Server: web_1 Monitor:port$' >/dev/null
xdotool key h  # the type list has the focus: "http"
sleep 0.3
xdotool key Tab Tab  # over the port to the interval
xdotool key ctrl+a
typeit "30"
xdotool key Tab
typeit "http://127.0.0.1:$web/"
xdotool key Tab Tab Tab
typeit "Sentrel"
xdotool key Tab Tab  # the event for turning red
typeit "n"  # night_shift
xdotool key Tab Tab  # the event for turning green again
typeit "P"  # Page ops
xdotool key Return
gone '^Server: '

# Closing saves the server file.
row 0
xdotool key alt+f
sleep 0.3
xdotool key x
for _ in $(seq 100); do kill -0 "$sentrel" 2>/dev/null || break; sleep 0.1; done
kill -0 "$sentrel" 2>/dev/null && fail "the program did not end"

expect_server=$(printf '%s\r\n' \
  '[localhost]' 'IP=127.0.0.1' 'Location=' 'Notes=' 'Logfile=localhost.log' 'Group=Main' \
  'GroupExpand=1' 'PortExpand=1' \
  '[web_1]' 'IP=127.0.0.1' 'Location=Rack 4' 'Notes=front door, second floor' \
  'Logfile=web_1.log' 'Group=Main' 'GroupExpand=1' 'PortExpand=1' \
  '' '[web_1:http]' 'Typ=http' 'Port=80' \
  "Data=GYtoR=night_shift,\"RYtoG=Page ops\",url=http://127.0.0.1:$web/,mustinclude=Sentrel" \
  'Alarm=default' 'intervall=30')
# Sections are separated by an empty line; compare without them.
got_server=$(tr -d '\r' <"$work/servers.mcf" | grep -v '^$' || true)
want_server=$(printf '%s' "$expect_server" | tr -d '\r' | grep -v '^$' || true)
if [[ "$got_server" != "$want_server" ]]; then
  diff <(echo "$want_server") <(echo "$got_server") >&2 || true
  fail "server file"
fi
grep -q $'^\[night_shift\]\r$' "$work/data/events.ini" || fail "events file: no [night_shift]"
sed -n '/^\[night_shift\]/,/^\[/p' "$work/data/events.ini" | grep -q $'^UseMail=1\r$' ||
  fail "events file: night_shift without its mail"
sed -n '/^\[night_shift\]/,/^\[/p' "$work/data/events.ini" | grep -q $'^MailAddress=ops@localhost\r$' ||
  fail "events file: night_shift without its address"

# The next start shows it: the status page lists the new server and its monitor.
start
page=
for _ in $(seq 50); do
  page=$(python3 -c "import urllib.request as u; print(u.urlopen('http://127.0.0.1:$web/', timeout=2).read().decode('latin-1'))" 2>/dev/null || true)
  [[ "$page" == *web_1* ]] && break
  sleep 0.2
done
[[ "$page" == *web_1* ]] || fail "status page without web_1"
# E2E_PICTURE=file.png keeps a picture of the restarted window.
[[ -n "${E2E_PICTURE:-}" ]] && import -window root "$E2E_PICTURE"
echo "editing end to end: passed"
