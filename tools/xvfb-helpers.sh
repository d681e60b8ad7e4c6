# shellcheck shell=bash
# Shell helpers for the tools that drive the program on a virtual X display. Sourced,
# not run: the caller keeps the process ids of what it starts in the array `pids`, which
# begin_work ends on exit.

# A scratch folder in `work`, and at exit the end of everything in `pids` and of the
# folder (KEEP_WORK=1 keeps the folder for a look afterwards; what ran is ended all the same).
begin_work() {
  work=$(mktemp -d)
  pids=()
  trap end_work EXIT
}
end_work() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [[ -n "${KEEP_WORK:-}" ]] || rm -rf "$work"
}

# A TCP port on 127.0.0.1 that nobody listens on just now.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Starts Xvfb on a display of its own (its screen 1024x700 unless a size is given:
# start_xvfb 1400x900) and makes it this shell's display.
# -noreset: an X server resets when its last client leaves, and a program connecting in
# that moment (right after the readiness probe below has left) is refused.
start_xvfb() {
  local n=$((90 + RANDOM % 100))
  while [[ -e /tmp/.X$n-lock ]]; do n=$((90 + RANDOM % 100)); done
  local display=:$n
  Xvfb "$display" -screen 0 "${1:-1024x700}x24" -nolisten tcp -noreset >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
  export DISPLAY=$display
  unset WAYLAND_DISPLAY
}

# The id of a shown window whose title matches, waiting up to the given tenths of a
# second (default 50); empty if none came up.
find_window() {
  local id=
  for _ in $(seq "${2:-50}"); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 || true)
    [[ -n "$id" ]] && break
    sleep 0.1
  done
  echo "$id"
}

# Clicks the tree row with this number, 0 the first (rows of 18 pixels below the menu
# and tool bars and the tree's column titles).
row() {
  xdotool mousemove 100 $((76 + 18 * $1)) click 1
  sleep 0.3
}

# Starts a window manager (openbox) on the display, for title bars, frames and focus as a
# desktop has them; returns once it manages the screen.
start_wm() {
  openbox --sm-disable >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done
  sleep 0.3
}

# The frame (the window manager's decoration around the window) of a window as
# "X Y WIDTH HEIGHT" on the screen: the window's own place grown by the frame extents the
# window manager announces.
frame_of() {
  local info ext l r t b
  info=$(xwininfo -id "$1")
  ext=$(xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= //p')
  IFS=', ' read -r l r t b <<<"${ext:-0, 0, 0, 0}"
  echo $(($(awk '/Absolute upper-left X/ {print $NF}' <<<"$info") - l)) \
       $(($(awk '/Absolute upper-left Y/ {print $NF}' <<<"$info") - t)) \
       $(($(awk '/^ *Width:/ {print $NF}' <<<"$info") + l + r)) \
       $(($(awk '/^ *Height:/ {print $NF}' <<<"$info") + t + b))
}
