#!/usr/bin/env bash
# The tray light on a real X server: Xvfb with trayer as the tray host, the window tests
# of the tray light on Qt's xcb platform, where the icon must be shown. The offscreen
# suite checks the same light without a tray.
#   scripts/check-tray.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
xpid= tpid=
cleanup() {
  [[ -n $tpid ]] && kill "$tpid" 2>/dev/null || true
  [[ -n $xpid ]] && kill "$xpid" 2>/dev/null || true
}
trap cleanup EXIT
# A display number nobody uses.
n=90
while [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 640x480x24 -nolisten tcp -noreset >/dev/null 2>&1 &
xpid=$!
for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
export DISPLAY=:$n
trayer --edge top --align right --widthtype pixel --width 120 --height 24 >/dev/null 2>&1 &
tpid=$!
sleep 1
QT_QPA_PLATFORM=xcb SENTREL_EXPECT_TRAY=1 LANG=C.UTF-8 LC_ALL=C.UTF-8 \
  "$build"/bin/gui_tests --gtest_filter='TrayLight*' --gtest_brief=1
echo "tray: the tray light's tests passed on X with a tray host"
