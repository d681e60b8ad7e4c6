#!/usr/bin/env bash
# Screenshots of the report windows (log window, errors-only log window, request-time
# chart) over a week of generated records with three outages, taken under Xvfb into
# docs/images/. Usage: tools/report-screenshots.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)

if [[ -z "${SENTREL_SHOT_X:-}" ]]; then
  cmake --build "$build" --target report_windows_demo >/dev/null
  SENTREL_SHOT_X=1 exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$build"
fi

out="$root/docs/images"
mkdir -p "$out"
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
export QT_QPA_PLATFORM=xcb LANG=C.UTF-8 LC_ALL=C.UTF-8

for mode in log errors chart; do
  "$build/bin/report_windows_demo" "$data" "$mode" &
  pid=$!
  id=$(timeout 30 xdotool search --sync --onlyvisible --name "^Sentrel " | head -1)
  sleep 1  # let the first paint land
  import -window "$id" "$out/report-$mode.png"
  kill "$pid"
  wait "$pid" || true
  echo "$out/report-$mode.png"
done
