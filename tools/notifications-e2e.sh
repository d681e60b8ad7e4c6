#!/usr/bin/env bash
# Desktop notifications end to end: Sentrel's window on a virtual X display (Xvfb) and a
# session bus of its own (dbus-run-session), with a notification service of this
# script's (Python and GLib's D-Bus) that records every Notify call. A port monitor on a
# refused loopback port goes down: its popup must come as one Notify call with the
# summary "db1 postgres DOWN", the message as body, urgency critical and the action
# "Show"; the service then presses "Show", and the main window must take the focus.
#
#   tools/notifications-e2e.sh [SCREENSHOT.png]     (needs xvfb, xdotool, dbus, python3-gi)
#
# Every port it watches is on 127.0.0.1; no other bus than its own is ever asked.
set -euo pipefail

if [[ -z "${SENTREL_PRIVATE_BUS:-}" ]]; then
  exec env SENTREL_PRIVATE_BUS=1 dbus-run-session -- "$0" "$@"
fi

here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/xvfb-helpers.sh"
bin=${SENTREL_BIN:-$here/build/bin/sentrel}
shot=${1:-}
begin_work

calls=$work/calls.jsonl
# GLib's D-Bus from the system's Python (python3-gi), whatever python3 is first on $PATH.
/usr/bin/python3 - "$calls" <<'PY' &
import json, sys
from gi.repository import Gio, GLib

XML = """<node><interface name="org.freedesktop.Notifications">
 <method name="Notify"><arg type="s" direction="in"/><arg type="u" direction="in"/>
  <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
  <arg type="as" direction="in"/><arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
  <arg type="u" direction="out"/></method>
 <method name="GetCapabilities"><arg type="as" direction="out"/></method>
 <method name="CloseNotification"><arg type="u" direction="in"/></method>
 <method name="GetServerInformation"><arg type="s" direction="out"/><arg type="s" direction="out"/>
  <arg type="s" direction="out"/><arg type="s" direction="out"/></method>
 <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
 <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
</interface></node>"""
PATH, IFACE = "/org/freedesktop/Notifications", "org.freedesktop.Notifications"
out = open(sys.argv[1], "a")
count = 0

def press_show(conn, nid):
    conn.emit_signal(None, PATH, IFACE, "ActionInvoked", GLib.Variant("(us)", (nid, "show")))
    return False

def on_call(conn, sender, path, iface, method, params, invocation):
    global count
    if method == "Notify":
        app, _, icon, summary, body, actions, hints, _ = params.unpack()
        count += 1
        out.write(json.dumps({"id": count, "app": app, "summary": summary, "body": body,
                              "actions": actions, "urgency": hints.get("urgency")}) + "\n")
        out.flush()
        invocation.return_value(GLib.Variant("(u)", (count,)))
        if summary.endswith(" DOWN"):
            GLib.timeout_add(1500, press_show, conn, count)
    elif method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["actions", "body"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("test", "sentrel", "1", "1.2")))
    else:
        invocation.return_value(None)

def on_bus(conn, name):
    node = Gio.DBusNodeInfo.new_for_xml(XML)
    conn.register_object(PATH, node.interfaces[0], on_call, None, None)

Gio.bus_own_name(Gio.BusType.SESSION, IFACE, Gio.BusNameOwnerFlags.NONE, on_bus, None, None)
GLib.MainLoop().run()
PY
pids+=($!)

refused=$(free_port)
printf '[db1]\nIP=127.0.0.1\nGroup=data\n[db1:postgres]\nTyp=port\nPort=%d\nintervall=2\n' \
  "$refused" >"$work/servers.mcf"
printf '[Corvane]\nAutoStart=1\n' >"$work/settings.ini"

start_xvfb
"$bin" --data-dir "$work/data" --settings "$work/settings.ini" --web-ports "$(free_port)" \
  "$work/servers.mcf" >"$work/out.txt" 2>&1 &
pids+=($!)

main=$(find_window '^Sentrel$' 100)
[[ -n "$main" ]] || { echo "notifications-e2e: no main window" >&2; exit 1; }
for _ in $(seq 150); do [[ -s $calls ]] && break; sleep 0.1; done
[[ -s $calls ]] || { echo "notifications-e2e: no Notify call within 15 s" >&2; cat "$work/out.txt" >&2; exit 1; }

python3 - "$calls" "$refused" <<'PY'
import json, sys
calls = [json.loads(line) for line in open(sys.argv[1])]
down = [c for c in calls if c["summary"].endswith(" DOWN")]
assert len(down) == 1, calls
c = down[0]
assert c["app"] == "Sentrel", c
assert c["summary"] == "db1 postgres DOWN", c
assert c["body"].startswith("db1 PORT %s DOWN" % sys.argv[2]), c
assert c["urgency"] == 2, c
assert "show" in c["actions"] and "Show" in c["actions"], c
print("notifications-e2e: one Notify call:", c["summary"], "/", c["body"])
PY

# The popup window took the focus with the message; "Show" gives it to the main window.
focused=
for _ in $(seq 50); do
  focused=$(xdotool getwindowfocus getwindowname 2>/dev/null || true)
  [[ "$focused" == "Sentrel" ]] && break
  sleep 0.1
done
[[ -n "$shot" ]] && import -window root "$shot"
[[ "$focused" == "Sentrel" ]] || { echo "notifications-e2e: \"Show\" left the focus on '$focused'" >&2; exit 1; }
echo "notifications-e2e: \"Show\" brought the main window to the front"
