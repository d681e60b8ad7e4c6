#!/bin/bash
# The status web server against nginx, and what serving the page costs the checks. In one
# run, loopback only; everything started here is stopped here.
#
# 1. Requests per second of the status page for 300 and for 10,000 monitors against nginx
#    serving the same bytes as a static file: both servers pinned to CPU 0 (nginx with one
#    worker), wrk to CPU 1, every request with "Connection: close".
# 2. The check record rate of the headless program with 2,000 HTTP monitors (interval 1 s,
#    against a second nginx), without and with `wrk -c50` asking for the status page all
#    the while: the program on CPU 0, the checked nginx and wrk on CPU 1.
#
#   bench/status_page_vs_nginx.sh [SECONDS] [CONNECTIONS]
# PARTS="1" or PARTS="2" runs one of the two.
# Needs: wrk, nginx, curl, taskset (util-linux), python3, cmake, ninja, libbenchmark-dev.
set -euo pipefail

SECONDS_PER_RUN=${1:-10}
CONNECTIONS=${2:-32}
ROUNDS=3
PARTS=${PARTS:-1 2}
HTTP_MONITORS=2000
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$SRC/build-bench}
WORK=$(mktemp -d /tmp/sentrel-bench-XXXXXX)
PIDS=()

cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

for tool in wrk nginx taskset curl python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install wrk nginx curl)"; exit 1; }
done

# The program without windows is all this needs.
cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSENTREL_BENCH=ON \
  -DSENTREL_TESTS=OFF -DSENTREL_GUI=OFF >/dev/null
ninja -C "$BUILD" -j2 status_page_bench_server sentrel >/dev/null

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
TICKS=$(getconf CLK_TCK)
ratio() { python3 -c "print(f'{$1/$2:.2f}')"; }

# nginx with one worker, serving the folder given on the port given.
start_nginx() { # name port root cpu
  local name=$1 port=$2 root=$3 cpu=$4
  mkdir -p "$WORK/$name"
  cat >"$WORK/$name/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
worker_rlimit_nofile 16384;
pid $WORK/$name/nginx.pid;
error_log $WORK/$name/error.log;
events { worker_connections 8192; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  types { text/html html; }
  client_body_temp_path $WORK/$name/body;
  proxy_temp_path $WORK/$name/proxy;
  fastcgi_temp_path $WORK/$name/fastcgi;
  uwsgi_temp_path $WORK/$name/uwsgi;
  scgi_temp_path $WORK/$name/scgi;
  server {
    listen 127.0.0.1:$port backlog=4096;
    root $root;
  }
}
CONF
  taskset -c "$cpu" nginx -p "$WORK/$name" -c "$WORK/$name/nginx.conf" >"$WORK/$name/out" 2>&1 &
  PIDS+=($!)
  LAST_PID=$!
  for _ in $(seq 100); do
    # Any answer will do (the folder itself is forbidden).
    [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/" 2>/dev/null)" != 000 ] && return 0
    sleep 0.05
  done
  echo "nginx $name did not start"; cat "$WORK/$name/error.log"; exit 1
}

# Prints "requests/s cpu-microseconds-per-request" for one wrk run against one server.
measure() {
  local pid=$1 url=$2 before after out
  before=$(cpu_ticks "$pid")
  out=$(taskset -c 1 wrk -t1 -c"$CONNECTIONS" -d"${SECONDS_PER_RUN}s" -H "Connection: close" "$url")
  after=$(cpu_ticks "$pid")
  echo "$out" | awk -v t="$(( after - before ))" -v hz="$TICKS" '
    / requests in / { n = $1 }
    /Requests\/sec/ { rps = $2 }
    END { printf "%s %.0f\n", rps, (n > 0 ? t * 1e6 / hz / n : 0) }'
}

SUMMARY=()
if [[ " $PARTS " == *" 1 "* ]]; then
echo "== 1. the status page against nginx serving the same bytes"
echo "wrk: 1 thread, $CONNECTIONS connections, ${SECONDS_PER_RUN}s per run, Connection: close"
echo "servers on CPU 0, wrk on CPU 1; each round measures both, one after the other"
mkdir -p "$WORK/pages"
NGINX_PORT=$(free_port)
start_nginx static "$NGINX_PORT" "$WORK/pages" 0
NGINX_PID=$LAST_PID
# Long enough for every round; the server stops by itself even if this script is killed.
LIFETIME=$(( (SECONDS_PER_RUN + 5) * ROUNDS * 2 + 30 ))
for monitors in 300 10000; do
  page="$WORK/pages/page-$monitors.html"
  SENTREL_PORT=$(free_port)
  taskset -c 0 "$BUILD/bin/status_page_bench_server" "$SENTREL_PORT" "$page" "$LIFETIME" "$monitors" \
    >"$WORK/sentrel-$monitors.out" 2>&1 &
  SERVER_PID=$!
  PIDS+=($SERVER_PID)
  for _ in $(seq 200); do [ -s "$page" ] && break; sleep 0.05; done
  [ -s "$page" ] || { echo "status server did not start"; cat "$WORK/sentrel-$monitors.out"; exit 1; }
  sleep 0.2

  # Both send the same page (the clock in its title aside): check once before measuring.
  unclock() { sed -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}/DATE/g'; }
  curl -s "http://127.0.0.1:$SENTREL_PORT/" | unclock >"$WORK/live.txt"
  unclock <"$page" >"$WORK/file.txt"
  cmp -s "$WORK/live.txt" "$WORK/file.txt" || { echo "status server and file differ"; exit 1; }
  curl -s "http://127.0.0.1:$NGINX_PORT/page-$monitors.html" | cmp -s - "$page" \
    || { echo "nginx does not serve the page"; exit 1; }

  echo "page of $monitors monitors: $(stat -c %s "$page") bytes, 1001 History lines"
  best_s=0; best_n=0; ratios=""; cpu_ratios=""
  for round in $(seq $ROUNDS); do
    read -r s s_cpu < <(measure "$SERVER_PID" "http://127.0.0.1:$SENTREL_PORT/")
    read -r n n_cpu < <(measure "$NGINX_PID" "http://127.0.0.1:$NGINX_PORT/page-$monitors.html")
    echo "  round $round: sentrel $s req/s (${s_cpu} us CPU per request), nginx $n req/s (${n_cpu} us CPU per request)"
    best_s=$(python3 -c "print(max($best_s, $s))")
    best_n=$(python3 -c "print(max($best_n, $n))")
    ratios="$ratios $(ratio "$s" "$n")"
    cpu_ratios="$cpu_ratios $(ratio "$n_cpu" "$s_cpu")"
  done
  # Each round measures both servers back to back, so its ratio is the least disturbed
  # by others on a shared machine: the median round is the figure.
  median() { python3 -c "import statistics,sys; print(f'{statistics.median(map(float, sys.argv[1:])):.2f}')" $1; }
  kill "$SERVER_PID" 2>/dev/null || true
  wait "$SERVER_PID" 2>/dev/null || true
  echo "  $(cat "$WORK/sentrel-$monitors.out")"
  SUMMARY+=("page of $monitors monitors: requests/s against nginx, median round $(median "$ratios")x (rounds:$ratios; best rounds $best_s / $best_n); CPU per request, nginx's against ours, median $(median "$cpu_ratios")x")
done

fi

if [[ " $PARTS " == *" 2 "* ]]; then
echo
echo "== 2. check records per second of $HTTP_MONITORS HTTP monitors, without and with wrk -c50 on the page"
mkdir -p "$WORK/www" "$WORK/data"
echo ok >"$WORK/www/i.html"
TARGET_PORT=$(free_port)
start_nginx targets "$TARGET_PORT" "$WORK/www" 0
WEB_PORT=$(free_port)
python3 - "$WORK/servers.mcf" "$TARGET_PORT" "$HTTP_MONITORS" <<'PY'
import sys
path, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
per_server = 10
with open(path, "w") as f:
    for s in range(count // per_server):
        name = f"web{s}"
        f.write(f"[{name}]\nIP=127.0.0.1\nLogfile={name}.log\nGroup=Group {s // 20}\n")
        for m in range(per_server):
            n = s * per_server + m
            f.write(f"[{name}:http{m}]\nTyp=http\nPort={port}\n"
                    f"Data=url=http://127.0.0.1:{port}/i.html?m={n}\nAlarm=none\nintervall=1\n")
PY
taskset -c 0 "$BUILD/bin/sentrel" --headless --data-dir "$WORK/data" --settings "$WORK/settings.ini" \
  --web-ports "$WEB_PORT" --web-bind 127.0.0.1 "$WORK/servers.mcf" >/dev/null 2>"$WORK/sentrel.err" &
PROGRAM_PID=$!
PIDS+=($PROGRAM_PID)
for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$WEB_PORT/metrics" && break; sleep 0.1; done
records() { curl -s "http://127.0.0.1:$WEB_PORT/metrics" | awk '/^sentrel_records_written_total / { print $2 }'; }
now() { date +%s.%N; }
# Records per second over one window.
rate() {
  local r0 t0 r1 t1
  r0=$(records); t0=$(now)
  sleep "$SECONDS_PER_RUN"
  r1=$(records); t1=$(now)
  python3 -c "print(f'{($r1 - $r0) / ($t1 - $t0):.0f}')"
}
echo "program and the checked nginx on CPU 0, wrk on CPU 1; ${SECONDS_PER_RUN}s windows, after 5 s of warming up"
sleep 5
quiet_sum=0; busy_sum=0
for round in $(seq $ROUNDS); do
  quiet=$(rate)
  taskset -c 1 wrk -t1 -c50 -d"$(( SECONDS_PER_RUN + 2 ))s" -H "Connection: close" \
    "http://127.0.0.1:$WEB_PORT/" >"$WORK/wrk.out" 2>&1 &
  WRK_PID=$!
  sleep 1
  busy=$(rate)
  wait "$WRK_PID" || true
  page_rps=$(awk '/Requests\/sec/ { print $2 }' "$WORK/wrk.out")
  echo "  round $round: $quiet records/s alone, $busy records/s while wrk gets $page_rps pages/s"
  quiet_sum=$(python3 -c "print($quiet_sum + $quiet)")
  busy_sum=$(python3 -c "print($busy_sum + $busy)")
done
errors=0
[ -f "$WORK/data/Sentrel errors.log" ] && errors=$(wc -l <"$WORK/data/Sentrel errors.log")
echo "  errors-log lines: $errors"
SUMMARY+=("records with wrk -c50 on the page against none: $(ratio "$busy_sum" "$quiet_sum")x ($busy_sum / $quiet_sum records/s over the rounds)")
kill "$PROGRAM_PID" 2>/dev/null || true
fi

echo
echo "== summary"
for line in "${SUMMARY[@]}"; do echo "$line"; done
