#!/usr/bin/env bash
# Benchmark of shoal's accelerated downloads, against a private nginx on
# 127.0.0.1. It builds nothing: build shoal first, preferably optimised, e.g.
#
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
#   cmake --build build-bench
#   bash bench/accelerated.sh build-bench/src/shoal
#
# The argument is the shoal binary (default build/src/shoal). Port 1998 must
# be free: the script starts that shoal there. It needs nginx, curl, aria2c
# and cmp, about 700 MiB in $TMPDIR (or /tmp), and runs for about two minutes.
# It prints:
#   1. speed: a 64 MiB file that nginx paces at 2 MiB/s per connection, by
#      curl straight from nginx, curl through shoal, and aria2c -x8 -s8 -k1M
#      straight from nginx, with the ratios to the direct curl;
#   2. memory: shoal's peak resident size (VmHWM, reset before) while a
#      client reads a 256 MiB accelerated file through it at 5 MiB/s;
#   3. throughput: the same 256 MiB unpaced, by curl directly and through
#      shoal.
# Every download is compared with the served file. Everything the script
# starts is stopped by its process id when it ends.
set -euo pipefail

shoal=${1:-build/src/shoal}
[ -x "$shoal" ] || { echo "no shoal binary at $shoal (build it first)" >&2; exit 1; }
for tool in nginx curl aria2c cmp; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
# Only the options given here may send a client through a proxy.
unset http_proxy https_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY NO_PROXY

is_listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
if is_listening 1998; then
    echo "port 1998 is taken: stop whatever listens there first" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/shoal-bench-XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        is_listening "$port" || { echo "$port"; return; }
    done
}
wait_port() {
    local pid=$2
    for _ in $(seq 200); do
        is_listening "$1" && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}
seconds_now() { date +%s.%N; }
mib=$((1024 * 1024))

# The origin: / unpaced, /paced/ at 2 MiB/s per connection from the first
# byte (without sendfile_max_chunk nginx lets a second's worth through at
# once).
mkdir -p "$work/www/paced" "$work/temp"
head -c $((64 * mib)) /dev/urandom >"$work/www/paced/film.bin"
head -c $((256 * mib)) /dev/urandom >"$work/www/big.bin"
port=$(free_port)
cat >"$work/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 512; }
http {
    access_log off;
    client_body_temp_path $work/temp/body;
    proxy_temp_path $work/temp/proxy;
    fastcgi_temp_path $work/temp/fastcgi;
    uwsgi_temp_path $work/temp/uwsgi;
    scgi_temp_path $work/temp/scgi;
    types { application/octet-stream bin; }
    sendfile on;
    keepalive_timeout 60s;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
        location /paced/ {
            limit_rate 2m;
            sendfile_max_chunk 16k;
        }
    }
}
EOF
nginx -p "$work/" -e "$work/error.log" -c "$work/nginx.conf" >"$work/nginx.out" 2>&1 &
pids+=($!)
wait_port "$port" "${pids[-1]}" || { echo "nginx did not start:" >&2; cat "$work/error.log" >&2; exit 1; }

"$shoal" >"$work/shoal.out" 2>"$work/shoal.err" &
shoal_pid=$!
pids+=("$shoal_pid")
wait_port 1998 "$shoal_pid" || { echo "shoal did not start:" >&2; cat "$work/shoal.err" >&2; exit 1; }

origin="http://127.0.0.1:$port"
# curl's total time of one download into $work/out; fails when the bytes
# differ from the served file $2.
timed_curl() {
    local url=$1 served=$2
    shift 2
    local time
    time=$(curl -q -s -S -f -o "$work/out" -w '%{time_total}' "$@" "$url")
    cmp -s "$work/out" "$served" || { echo "download of $url differs from the served file" >&2; exit 1; }
    rm -f "$work/out"
    echo "$time"
}
accelerated() { grep -c '^transferDataSpeeded()$' "$work/shoal.out" || true; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
rate() { awk -v s="$1" -v t="$2" 'BEGIN { printf "%.0f", s / 1048576 / t }'; }

echo "shoal: $shoal"
echo
echo "1. speed: 64 MiB, paced by nginx at 2 MiB/s per connection"
paced="$work/www/paced/film.bin"
direct=$(timed_curl "$origin/paced/film.bin" "$paced")
printf '   curl direct                 %7.2f s\n' "$direct"
before=$(accelerated)
proxied=$(timed_curl "$origin/paced/film.bin" "$paced" -x 127.0.0.1:1998)
[ "$(accelerated)" -gt "$before" ] || echo "   (warning: shoal did not accelerate this download)"
printf '   curl through shoal          %7.2f s   direct/shoal  %s\n' "$proxied" "$(ratio "$direct" "$proxied")"
start=$(seconds_now)
aria2c -q -x8 -s8 -k1M --allow-overwrite=true --auto-file-renaming=false \
    -d "$work" -o aria.bin "$origin/paced/film.bin"
end=$(seconds_now)
cmp -s "$work/aria.bin" "$paced" || { echo "aria2c's download differs from the served file" >&2; exit 1; }
rm -f "$work/aria.bin"
aria=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
printf '   aria2c -x8 -s8 -k1M direct  %7.2f s   direct/aria2c %s\n' "$aria" "$(ratio "$direct" "$aria")"
printf '   shoal against aria2c: aria2c time / shoal time %s\n' "$(ratio "$aria" "$proxied")"

echo
echo "2. memory: 256 MiB accelerated, read through shoal at 5 MiB/s"
big="$work/www/big.bin"
rss() { awk -v key="$1:" '$1 == key { printf "%.1f", $2 / 1024 }' "/proc/$shoal_pid/status"; }
printf '   shoal before: VmRSS %s MiB\n' "$(rss VmRSS)"
echo 5 >"/proc/$shoal_pid/clear_refs"
before=$(accelerated)
slow=$(timed_curl "$origin/big.bin" "$big" -x 127.0.0.1:1998 --limit-rate 5M)
[ "$(accelerated)" -gt "$before" ] || echo "   (warning: shoal did not accelerate this download)"
printf '   download took %.1f s, bytes exact\n' "$slow"
hwm=$(rss VmHWM)
printf '   shoal peak VmHWM %s MiB (goal: under 96 MiB)\n' "$hwm"

echo
echo "3. throughput: 256 MiB unpaced"
direct=$(timed_curl "$origin/big.bin" "$big")
printf '   curl direct         %6.2f s  %6s MiB/s\n' "$direct" "$(rate $((256 * mib)) "$direct")"
proxied=$(timed_curl "$origin/big.bin" "$big" -x 127.0.0.1:1998)
printf '   curl through shoal  %6.2f s  %6s MiB/s   direct/shoal %s\n' "$proxied" \
    "$(rate $((256 * mib)) "$proxied")" "$(ratio "$direct" "$proxied")"
