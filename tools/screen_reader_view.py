#!/usr/bin/python3
"""Prints what a screen reader finds in Sentrel's main window, read through AT-SPI (the
accessibility bus that Orca reads): every control with its role, name, description and
state, the texts of the panes, the menus with their keys, the popup window when it is
up; and what the program announced while it was watched: the status panels as the scan
goes on, the notifications a screen reader speaks (a monitor that changed its colour, a
popup's message) and the alerts that came up.

  screen_reader_view.py [SECONDS_TO_LISTEN]
  screen_reader_view.py --check [SECONDS_AT_MOST]

With --check it listens until it has heard what the sample configuration of
tools/screen-reader-view.sh must make a reader say (the yellow and the red monitor, the
popup as an alert with its message), then checks that the status bar's panels read as
their texts and that the red row says it in words; it fails naming what was missing.

Run by tools/screen-reader-view.sh, which starts the program on a virtual display with
an accessibility bus. Needs python3-gi and gir1.2-atspi-2.0 (Debian's own python3)."""
import re
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

CHECK = "--check" in sys.argv[1:]
_args = [a for a in sys.argv[1:] if a != "--check"]
LISTEN = float(_args[0]) if _args else (60.0 if CHECK else 4.0)
# What a reader must hear while the sample configuration runs: a monitor turning yellow,
# one turning red, and the popup that the red one's event raises, read as an alert with
# its message.
MUST_HEAR = {
    "the yellow monitor announced": r"^notification came up: .*shop web: 1 lost",
    "the red monitor announced": r"^notification came up: .*mailhost smtp: down since ",
    "the popup read as an alert with its message":
        r"^alert came up: Sentrel Message\(s\) \| .*mailhost PORT \d+ DOWN",
}
MAX_ROWS = 60  # rows of a table or tree printed; a reader moves through them one by one


def find_window(title, seconds=30):
    deadline = time.time() + seconds
    while True:
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is None:
                continue
            for j in range(app.get_child_count()):
                win = app.get_child_at_index(j)
                if win is not None and win.get_name() == title:
                    return app, win
        if time.time() >= deadline:
            return None, None
        time.sleep(0.3)


def spoken(obj):
    """What a reader says of a notification or an alert: its name, its description and
    the texts of the labels and panes inside it."""
    words = [obj.get_name() or "", obj.get_description() or ""]
    stack = [obj.get_child_at_index(i) for i in range(obj.get_child_count())]
    while stack:
        child = stack.pop(0)
        if child is None:
            continue
        role = child.get_role_name()
        if role in ("label", "text"):
            text = text_lines(child, 50)
            words.append(" / ".join(text[1]) if text else (child.get_name() or ""))
        stack.extend(child.get_child_at_index(i) for i in range(child.get_child_count()))
    said = []
    for w in words:
        if w and w not in said:
            said.append(w)
    return " | ".join(said)


def has(obj, state):
    return obj.get_state_set().contains(state)


def states(obj):
    words = []
    if not has(obj, Atspi.StateType.ENABLED):
        words.append("unavailable")
    if has(obj, Atspi.StateType.CHECKABLE) or has(obj, Atspi.StateType.CHECKED):
        words.append("checked" if has(obj, Atspi.StateType.CHECKED) else "not checked")
    if has(obj, Atspi.StateType.EXPANDABLE):
        words.append("expanded" if has(obj, Atspi.StateType.EXPANDED) else "collapsed")
    if has(obj, Atspi.StateType.SELECTED):
        words.append("selected")
    if has(obj, Atspi.StateType.FOCUSED):
        words.append("focused")
    return words


def keys(obj):
    try:
        if "Action" in obj.get_interfaces() and Atspi.Action.get_n_actions(obj) > 0:
            return Atspi.Action.get_key_binding(obj, 0) or ""
    except GLib.Error:
        pass
    return ""


def text_lines(obj, lines=3):
    """The count of characters and the last lines, as the reader finds them at the end."""
    try:
        if "Text" not in obj.get_interfaces():
            return None
        count = Atspi.Text.get_character_count(obj)
        start = max(0, count - 2000)
        return count, Atspi.Text.get_text(obj, start, count).split("\n")[-lines:]
    except GLib.Error:
        return None


def describe(obj):
    role = obj.get_role_name()
    name = obj.get_name() or ""
    description = obj.get_description() or ""
    out = role
    if name:
        out += f' "{name}"'
    if description and description != name:
        out += f" — {description}"
    words = states(obj)
    if words:
        out += " (" + ", ".join(words) + ")"
    binding = keys(obj)
    if binding:
        out += f" [{binding}]"
    return out


def walk(obj, depth=0, in_menu=False):
    if obj is None or depth > 30:
        return
    try:
        walk_one(obj, depth, in_menu)
    except GLib.Error:
        pass  # gone while we read it (a row refreshed, a notification shown again)


def walk_one(obj, depth, in_menu):
    role = obj.get_role_name()
    menu = in_menu or role in ("menu bar", "menu")
    # Hidden parts are not read; a closed menu's entries are, as the reader opens it.
    if not menu and not has(obj, Atspi.StateType.SHOWING):
        return
    # Scroll bars, splitter handles and the size grip carry nothing to read.
    if role in ("scroll bar", "filler", "unknown") and not (obj.get_name() or ""):
        for i in range(obj.get_child_count()):
            walk(obj.get_child_at_index(i), depth, menu)
        return
    print("  " * depth + describe(obj))
    text = text_lines(obj) if role in ("text", "terminal", "document text") else None
    if text is not None:
        count, lines = text
        print("  " * (depth + 1) + f"[{count} characters; the last lines:]")
        for line in lines:
            print("  " * (depth + 1) + "| " + line)
    n = obj.get_child_count()
    limit = MAX_ROWS if role in ("tree table", "table", "tree", "list") else n
    for i in range(min(n, limit)):
        walk(obj.get_child_at_index(i), depth + 1, menu)
    if n > limit:
        print("  " * (depth + 1) + f"... {n - limit} more")


def listen(app_name, seconds, enough=None):
    """Prints what the window announces while we listen: changed names and descriptions,
    notifications and alerts that come up. Stops early once enough(heard) is true."""
    heard = []
    loop = GLib.MainLoop()

    def on_event(event):
        source = event.source
        try:
            if source.get_application().get_name() != app_name:
                return
            role = source.get_role_name()
            what = event.type.split(":")[-1]
            if what == "showing":
                # A notification or an alert coming up is spoken with its words.
                if not event.detail1 or role not in ("notification", "alert"):
                    return
                line = f"{role} came up: {spoken(source)}"
            else:
                # The event carries no text: what the reader hears is the value when it
                # asks, so quick changes in a row come out as their last value.
                value = source.get_description() if what == "accessible-description" else source.get_name()
                line = f'{role} "{source.get_name()}" {what.replace("accessible-", "")}: {value}'
        except GLib.Error:
            return
        if not heard or heard[-1] != line:
            heard.append(line)
            print("  " + line, flush=True)
            if enough is not None and enough(heard):
                loop.quit()

    events = ("object:property-change:accessible-description",
              "object:property-change:accessible-name",
              "object:state-changed:showing")
    listener = Atspi.EventListener.new(on_event)
    for e in events:
        listener.register(e)
    GLib.timeout_add(int(seconds * 1000), loop.quit)
    loop.run()
    for e in events:
        listener.deregister(e)
    return heard


def missing_words(heard):
    return [what for what, pattern in MUST_HEAR.items()
            if not any(re.search(pattern, line) for line in heard)]


def descendants(obj, depth=0):
    if obj is None or depth > 30:
        return
    yield obj
    for i in range(obj.get_child_count()):
        yield from descendants(obj.get_child_at_index(i), depth + 1)


def missing_in_window(window, popup):
    """What the window and the popup fail to say when a reader asks."""
    faults = []
    try:
        panels = {}
        for obj in descendants(window):
            if obj.get_role_name() == "status bar":
                for label in descendants(obj):
                    if label.get_role_name() == "label":
                        panels[label.get_description() or ""] = label.get_name() or ""
        if not panels.get("Web server", "").startswith("Sentrel-Webserver") or \
                not panels.get("Activity") or panels.get("Activity") == "Activity":
            faults.append(f"the status panels do not read as their texts: {panels}")
        red = [obj.get_description() for obj in descendants(window)
               if obj.get_role_name() == "table cell" and (obj.get_name() or "").startswith("smtp (")]
        if not red or not red[0].startswith("down since "):
            faults.append(f"the red row does not say it is down: {red}")
        if popup is None or popup.get_role_name() != "alert" or \
                not re.search(r"mailhost PORT \d+ DOWN", spoken(popup)):
            faults.append("the popup window is not an alert that reads its message")
    except GLib.Error as e:
        faults.append(f"the window could not be read: {e}")
    return faults


def main():
    app, window = find_window("Sentrel")
    if window is None:
        print("no window \"Sentrel\" on the accessibility bus", file=sys.stderr)
        return 1
    print(f'application "{app.get_name()}"')
    print(f"\nannounced while listening for {LISTEN:g} s" + (" at most:" if CHECK else ":"))
    heard = listen(app.get_name(), LISTEN, (lambda h: not missing_words(h)) if CHECK else None)
    if not heard:
        print("  (nothing)")
    print("\nthe main window:")
    # Found again: what was found before the window first showed may be gone.
    _, window = find_window("Sentrel")
    walk(window)
    _, popup = find_window("Sentrel Message(s)", 0)
    if popup is not None:
        print("\nthe popup window:")
        walk(popup)
        print(f"  read as: {spoken(popup)}")
    if not CHECK:
        return 0
    faults = [f"not heard: {what}" for what in missing_words(heard)]
    faults += missing_in_window(window, popup)
    for fault in faults:
        print(f"screen reader check: {fault}", file=sys.stderr)
    if not faults:
        print("\nscreen reader check passed")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
