#!/bin/bash
# Requests per second of the status web server against nginx serving the same page as a
# static file, in one run: both servers pinned to CPU 0 (nginx with one worker), wrk to
# CPU 1, every request with "Connection: close". Loopback only; everything started here
# is stopped here.
#
#   bench/status_page_vs_nginx.sh [SECONDS] [CONNECTIONS]
# Needs: wrk, nginx, taskset (util-linux), cmake, ninja, libbenchmark-dev.
set -euo pipefail

SECONDS_PER_RUN=${1:-10}
CONNECTIONS=${2:-32}
ROUNDS=3
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$SRC/build-bench}
WORK=$(mktemp -d /tmp/sentrel-bench-XXXXXX)
SERVER_PID=
NGINX_PID=

cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

for tool in wrk nginx taskset; do
  command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install wrk nginx)"; exit 1; }
done

cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSENTREL_BENCH=ON \
  -DSENTREL_TESTS=OFF >/dev/null
ninja -C "$BUILD" -j2 status_page_bench_server >/dev/null

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
SENTREL_PORT=$(free_port)
NGINX_PORT=$(free_port)

# Long enough for every round; it stops by itself even if this script is killed.
LIFETIME=$(( (SECONDS_PER_RUN + 5) * ROUNDS * 2 + 30 ))
taskset -c 0 "$BUILD/bin/status_page_bench_server" "$SENTREL_PORT" "$WORK/page.html" "$LIFETIME" \
  >"$WORK/sentrel.out" 2>&1 &
SERVER_PID=$!

for _ in $(seq 100); do [ -s "$WORK/page.html" ] && break; sleep 0.05; done
[ -s "$WORK/page.html" ] || { echo "status server did not start"; cat "$WORK/sentrel.out"; exit 1; }

cat >"$WORK/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $WORK/nginx.pid;
error_log $WORK/nginx-error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  types { text/html html; }
  client_body_temp_path $WORK/body;
  proxy_temp_path $WORK/proxy;
  fastcgi_temp_path $WORK/fastcgi;
  uwsgi_temp_path $WORK/uwsgi;
  scgi_temp_path $WORK/scgi;
  server {
    listen 127.0.0.1:$NGINX_PORT;
    root $WORK;
  }
}
CONF
taskset -c 0 nginx -p "$WORK" -c "$WORK/nginx.conf" >"$WORK/nginx.out" 2>&1 &
NGINX_PID=$!
for _ in $(seq 100); do
  curl -sf -o /dev/null "http://127.0.0.1:$NGINX_PORT/page.html" 2>/dev/null && break
  sleep 0.05
done

# Both send the same page (the clock in its title aside): check once before measuring.
unclock() { sed -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}/DATE/g'; }
curl -s "http://127.0.0.1:$SENTREL_PORT/" | unclock >"$WORK/live.txt"
unclock <"$WORK/page.html" >"$WORK/file.txt"
cmp -s "$WORK/live.txt" "$WORK/file.txt" || { echo "status server and file differ"; exit 1; }
curl -s "http://127.0.0.1:$NGINX_PORT/page.html" | cmp -s - "$WORK/page.html" \
  || { echo "nginx does not serve the page"; exit 1; }

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
TICKS=$(getconf CLK_TCK)

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

echo "page: $(stat -c %s "$WORK/page.html") bytes, 100 servers x 3 monitors, 1001 History lines"
echo "wrk: 1 thread, $CONNECTIONS connections, ${SECONDS_PER_RUN}s per run, Connection: close"
echo "servers on CPU 0, wrk on CPU 1; the machine may be shared, so the best round counts"
best_s=0; best_n=0
for round in $(seq $ROUNDS); do
  read -r s s_cpu < <(measure "$SERVER_PID" "http://127.0.0.1:$SENTREL_PORT/")
  read -r n n_cpu < <(measure "$NGINX_PID" "http://127.0.0.1:$NGINX_PORT/page.html")
  echo "round $round: sentrel $s req/s (${s_cpu} us CPU per request), nginx $n req/s (${n_cpu} us CPU per request)"
  best_s=$(python3 -c "print(max($best_s, $s))")
  best_n=$(python3 -c "print(max($best_n, $n))")
done
python3 -c "print(f'best: sentrel $best_s req/s, nginx $best_n req/s, ratio {$best_s/$best_n:.2f}x')"
