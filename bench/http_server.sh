#!/bin/bash
# Request rate and latency of the web server against nginx serving the same
# 2 KiB page with keep-alive off, measured with wrk in the same run on
# loopback addresses only.
#
#   bench/http_server.sh [build-dir]
#
# DURATION (default 10s per run), CONNECTIONS (the wrk connection counts to
# run, default "8 64"), THREADS (default 2) and NGINX_WORKERS (default auto:
# one per core, as our server uses every core too) tune the run. A level
# where any request failed prints "not comparable" instead of its ratios. The web server's listen backlog is 15: with many more
# connections than that, connects beyond it are dropped by the kernel and
# retried a second later, which shows in the p99 latency.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
bench=$build/bench/http_server_bench
duration=${DURATION:-10s}
connections=${CONNECTIONS:-8 64}
threads=${THREADS:-2}
nginx_workers=${NGINX_WORKERS:-auto}

for tool in wrk nginx; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
[ -x "$bench" ] || { echo "$bench not built" >&2; exit 1; }

work=$(mktemp -d)
server_pid=
nginx_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www"
# nginx workers run as an unprivileged user that must read the page.
chmod 755 "$work" "$work/www"
"$bench" --page-file "$work/www/index.html" >"$work/server.out" &
server_pid=$!
for _ in $(seq 100); do
    grep -q '^port ' "$work/server.out" 2>/dev/null && break
    sleep 0.05
done
server_port=$(awk '/^port /{print $2}' "$work/server.out")
[ -n "$server_port" ] || { echo "the web server did not start" >&2; exit 1; }

nginx_port=$("$bench" --free-port)
cat >"$work/nginx.conf" <<CONF
worker_processes $nginx_workers;
daemon off;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    keepalive_timeout 0;
    client_body_temp_path $work/client_body;
    proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fastcgi;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/www;
        default_type text/html;
    }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/"$nginx_port") 2>/dev/null && break
    sleep 0.05
done

# measure CONNECTIONS URL NAME prints "requests/s p50_ms p99_ms errors" of one wrk run.
measure() {
    local out
    out=$(wrk -t"$threads" -c"$1" -d"$duration" --latency "$2")
    echo "$out" >"$work/wrk-$3.txt"
    awk '
        function ms(v) {
            if (v ~ /us$/) return substr(v, 1, length(v) - 2) / 1000
            if (v ~ /ms$/) return substr(v, 1, length(v) - 2) + 0
            if (v ~ /s$/) return substr(v, 1, length(v) - 1) * 1000
            return v
        }
        /Requests\/sec:/ { rate = $2 }
        $1 == "50%" { p50 = ms($2) }
        $1 == "99%" { p99 = ms($2) }
        /Socket errors:/ { errors = $4 + $6 + $8 + $10 }
        /Non-2xx/ { errors += $NF }
        END { printf "%s %.3f %.3f %d\n", rate, p50, p99, errors + 0 }
    ' <<<"$out"
}

echo "machine: $(nproc) cores"
echo "baseline: nginx -p <work> -c <work>/nginx.conf (worker_processes $nginx_workers, keepalive_timeout 0)"
echo "load: wrk -t$threads -c<connections> -d$duration --latency http://127.0.0.1:<port>/index.html"
echo "2048-byte page, one request per connection"
printf '%-12s %-6s %12s %10s %10s %8s\n' connections server requests/s p50_ms p99_ms errors
failed=0
for level in $connections; do
    read -r ours_rate ours_p50 ours_p99 ours_errors < <(measure "$level" "http://127.0.0.1:$server_port/index.html" "qeltv-$level")
    read -r nginx_rate nginx_p50 nginx_p99 nginx_errors < <(measure "$level" "http://127.0.0.1:$nginx_port/index.html" "nginx-$level")
    printf '%-12s %-6s %12s %10s %10s %8s\n' "$level" qeltv "$ours_rate" "$ours_p50" "$ours_p99" "$ours_errors"
    printf '%-12s %-6s %12s %10s %10s %8s\n' "$level" nginx "$nginx_rate" "$nginx_p50" "$nginx_p99" "$nginx_errors"
    if [ "$ours_errors" = 0 ] && [ "$nginx_errors" = 0 ]; then
        awk -v c="$level" -v a="$ours_rate" -v b="$nginx_rate" -v p="$ours_p99" -v q="$nginx_p99" \
            'BEGIN { printf "%-12s ratio qeltv/nginx: requests/s %.2f, p99 %.2f\n", c, a / b, p / q }'
    else
        printf '%-12s ratio qeltv/nginx: not comparable (failed requests)\n' "$level"
        failed=1
    fi
done
[ "$failed" = 0 ] || echo "warning: failed requests; see the errors column" >&2
