#!/usr/bin/env bash
# Takes the pictures of the README: starts Sentrel on a virtual X display (Xvfb) with a
# sample configuration whose groups show every colour, waits until the lights have
# settled, and saves PNGs of the main window and of the About box; then the editor dialog
# for a group, a server and an HTTP monitor, and the event manager on its Mail, Serial
# and Webhook pages.
#
#   tools/screenshot.sh [OUTPUT_DIR]     (default docs/images; needs xvfb, xdotool, imagemagick)
#
# Everything it watches is on 127.0.0.1: the program's own status web server (green), a
# port that answers for the first seconds and then closes (green, then yellow), a port
# nobody listens on (red), and a monitor whose first check is an hour away (grey).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/xvfb-helpers.sh"
bin=${SENTREL_BIN:-$here/build/bin/sentrel}
out=${1:-$here/docs/images}
mkdir -p "$out"
begin_work

# A window's picture, cut from the screen (a window of its own is not always readable).
snap() {
  eval "$(xdotool getwindowgeometry --shell "$1")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$2"
}

web=$(free_port)
closing=$(free_port)
closed=$(free_port)

cat >"$work/servers.mcf" <<MCF
[intranet]
IP=127.0.0.1
Location=Server room
Logfile=intranet.log
Group=Web
[intranet:status page]
Typ=http
Port=$web
Data=url=http://127.0.0.1:$web/,mustinclude=Sentrel,GYtoR=none,"RYtoG=Mail ops"
intervall=5
[intranet:web port]
Typ=port
Port=$web
Data=GYtoR=none
intervall=5
[shop]
IP=127.0.0.1
Logfile=shop.log
Group=Web
[shop:web]
Typ=http
Port=$closing
Data=url=http://127.0.0.1:$closing/,GYtoR=none
intervall=10
[mailhost]
IP=127.0.0.1
Logfile=mailhost.log
Group=Mail
[mailhost:smtp]
Typ=port
Port=$closed
Data=GYtoR=none
intervall=2
[mailhost:ping]
Typ=ping
Data=GYtoR=none
intervall=5
[backup]
IP=127.0.0.1
Logfile=backup.log
Group=Storage
[backup:nightly]
Typ=port
Port=$closed
Data=GYtoR=none
intervall=3600
MCF
# Events for the event manager's pictures; none of them runs while the pictures are
# taken (only the status page names one, for a recovery it never has).
mkdir -p "$work/data"
cat >"$work/data/events.ini" <<INI
[Default]
UsePopup=1
[Mail ops]
UseMail=1
MailAddress=ops@localhost, oncall@localhost
Mailtext=/etc/sentrel/mail-down.txt
count3=3
UseSerial=1
SerialOptions=port=1,bits=3,baud=6,parity=0,stop=0
SerialText=/etc/sentrel/modem.txt
UseWebhook=1
WebhookURL=https://ntfy.example.com/ops-alerts
WebhookBody=<#msg>
WebhookHeaders=Title: <#server> <#status> | Priority: high
INI
# No monitor runs an event (GYtoR=none), so no popup covers the window. The monitor
# "nightly" was checked a moment ago as far as the program knows: loading
# puts the last check 58 seconds back, so with an hour's interval it stays grey.

cat >"$work/settings.ini" <<INI
[Corvane]
AutoStart=1
AutoStartWeb=1
[Window]
FormVersion=2
ShowCmd=1
PixelsPerInch=96
NormPos=0,0,860,520
INI

# A web server that answers for four seconds and is gone from then on.
(cd "$work" && exec timeout 4 python3 -m http.server --bind 127.0.0.1 "$closing" >/dev/null 2>&1) &
pids+=($!)
for _ in $(seq 50); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1',$closing)).close()" 2>/dev/null && break
  sleep 0.1
done

start_xvfb
(cd "$work" && exec "$bin" --data-dir "$work/data" --settings "$work/settings.ini" \
   --web-ports "$web" "$work/servers.mcf" >"$work/out.log" 2>&1) &
pids+=($!)

# The first pass runs before the window appears, and every refused port holds a pass
# for its 10-second wait, so the window and its lights take a while. The shop's web
# server is gone after four seconds: its next check fails and turns it yellow. The
# picture is taken once the window is up and the shop's log has its "LOST" record.
win=
for _ in $(seq 900); do
  win=$(xdotool search --onlyvisible --name '^Sentrel$' 2>/dev/null | head -1 || true)
  [[ -n "$win" ]] && grep -qs " LOST " "$work/data/shop.log" && break
  sleep 0.1
done
sleep 1
xdotool windowfocus --sync "$win" 2>/dev/null || true
snap "$win" "$out/main-window.png"

xdotool key --window "$win" alt+h
sleep 0.5
xdotool key a
sleep 1
about=$(xdotool search --onlyvisible --name '^About Sentrel$' | head -1)
snap "$about" "$out/about.png"
# A click anywhere on the About box closes it.
xdotool mousemove $((X + 20)) $((Y + 20)) click 1
sleep 0.5
# The editor dialog in its three modes and the event manager. Without a window manager
# nothing gives the focus back to the main window when a dialog closes, so each step
# starts with a click into the tree: on the group "Web", its server "intranet", and that
# server's first monitor (rows of 18 pixels below the menu and tool bars).
img="$out"
dialog() {  # the window of this title, once it is up; empty if it did not come
  local id
  id=$(find_window "$1")
  sleep 0.5
  echo "$id"
}
edit() {  # tree row, menu key, title of the dialog, picture
  row "$1"
  xdotool key "$2"
  sleep 0.3
  xdotool key e
  local id
  id=$(dialog "$3")
  [[ -n "$id" ]] || { echo "no dialog \"$3\"" >&2; exit 1; }
  snap "$id" "$img/$4"
  xdotool key Escape
  sleep 0.5
}
edit 0 alt+g '^Group: Web$' editor-group.png
edit 1 alt+s '^Server: intranet$' editor-server.png
edit 2 alt+m '^Server: intranet Monitor:status page$' editor-monitor.png

# "Events..." heads the Options menu. The event manager opens on "Default" with the
# focus in the name list: Down shows "Mail ops"; Tab goes to the action list, whose
# fourth entry is Mail, eighth Serial and ninth Webhook.
row 0
xdotool key alt+o
sleep 0.3
xdotool key Return
events=$(dialog '^Event manager$')
[[ -n "$events" ]] || { echo "no event manager" >&2; exit 1; }
xdotool key Down Tab Down Down Down
sleep 0.5
snap "$events" "$img/events-mail.png"
xdotool key Down Down Down Down
sleep 0.5
snap "$events" "$img/events-serial.png"
xdotool key Down
sleep 0.5
snap "$events" "$img/events-webhook.png"
xdotool key Escape
sleep 0.5

# Closing saves the sample file into the scratch folder and ends the program.
xdotool windowfocus --sync "$win" 2>/dev/null || true
xdotool key alt+f
sleep 0.3
xdotool key x
sleep 2
echo "saved the main window, the About box, the editor and the event manager in $out"
