#!/usr/bin/env bash
# shoal against its peers, all on this machine in one run:
#
#   bash bench/compare.sh [options] [SHOAL]     (SHOAL: default build/src/shoal)
#
#   S1P  64 MiB from an nginx paced at 2 MiB/s per connection: curl direct,
#        aria2c -x8 -s8 -k1M direct, eight curls direct that fetch an eighth
#        each by a Range (the ceiling of eight connections), curl through
#        shoal (seconds).
#   S2   256 MiB from an unthrottled nginx: curl direct and through squid,
#        tinyproxy, shoal accelerated (application/octet-stream) and shoal
#        relaying plainly (text/plain): MiB/s, the proxy's CPU seconds per GiB
#        and its peak resident memory.
#   S3   1 KiB responses over kept-alive connections, wrk -t2 -c50, through
#        squid, tinyproxy and shoal: requests/s and p99 latency.
#   S4   the 256 MiB file through squid, tinyproxy and shoal (accelerated) to
#        curl reading at 5 MiB/s: the proxy's peak resident memory. The three
#        clients run at the same time, each through its own proxy.
#
# Every scenario runs --runs times, round-robin: each repetition runs every
# row once, in an order rotated by one row per repetition. The table gives the
# medians and the medians of the ratios taken within one repetition, then
# PASS or FAIL per goal. Results go to a TSV file and a PNG chart.
#
# Options: --runs N (3), --out FILE.tsv (bench/results/<date>.tsv; the chart
# is the same path with .png), --paced-mib N (64), --big-mib N (256),
# --s4-mib N (256), --wrk-seconds N (5), --keep (leave the scratch directory
# with the servers' configurations and logs).
#
# Port 1998 must be free: shoal always listens there. nginx, squid and
# tinyproxy run as private instances on free ports of 127.0.0.1, each with
# its own configuration in a scratch directory, and are stopped by process id
# at the end. Missing tools are installed with apt-get (as root). It needs
# about 400 MiB in $TMPDIR (or /tmp) and runs for about 6 minutes.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
runs=3 out="" keep=0 paced_mib=64 big_mib=256 s4_mib=256 wrk_seconds=5 shoal=build/src/shoal
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        --paced-mib) paced_mib=$2; shift 2 ;;
        --big-mib) big_mib=$2; shift 2 ;;
        --s4-mib) s4_mib=$2; shift 2 ;;
        --wrk-seconds) wrk_seconds=$2; shift 2 ;;
        -h | --help) usage; exit 0 ;;
        -*) usage >&2; exit 2 ;;
        *) shoal=$1; shift ;;
    esac
done
for n in "$runs" "$paced_mib" "$big_mib" "$s4_mib" "$wrk_seconds"; do
    [[ $n =~ ^[1-9][0-9]*$ ]] || { echo "not a positive number: $n" >&2; exit 2; }
done
[ -x "$shoal" ] || { echo "no shoal binary at $shoal (build it first)" >&2; exit 1; }
shoal=$(cd "$(dirname "$shoal")" && pwd)/$(basename "$shoal")
started_at=$(date '+%Y-%m-%d %H:%M') started_s=$SECONDS
[ -n "$out" ] || out=$here/results/$(date +%Y-%m-%d-%H%M).tsv
mkdir -p "$(dirname "$out")"
png=${out%.tsv}.png

# Tools, installed like scripts/test.sh does: nothing when all are there.
PATH=$PATH:/usr/sbin:/sbin
missing=()
for pair in nginx:nginx-light curl:curl aria2c:aria2 squid:squid tinyproxy:tinyproxy \
            wrk:wrk gnuplot:gnuplot-nox cmp:diffutils ps:procps; do
    command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
    [ "$(id -u)" = 0 ] || { echo "missing packages: ${missing[*]} (install them as root)" >&2; exit 1; }
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
# Only the options given here may send a client through a proxy.
unset http_proxy https_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY NO_PROXY

is_listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
if is_listening 1998; then
    echo "port 1998 is taken: stop whatever listens there first" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/shoal-compare-XXXXXX")
chmod 755 "$work" # squid drops to its own user when started as root
pids=()    # servers, stopped at the end
clients=() # S4's clients while they run
cleanup() {
    for pid in "${clients[@]}" "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ "$keep" = 1 ]; then echo "scratch directory kept: $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() { echo "compare.sh: $*" >&2; exit 1; }

# A free port below the kernel's range for outgoing connections, so that no
# client socket takes it between the check and the server's bind. Servers
# start one after the other, so each one's port is taken before the next is
# chosen.
free_port() {
    local low port
    low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range)
    while :; do
        port=$((10000 + RANDOM % (low - 10000)))
        is_listening "$port" || break
    done
    echo "$port"
}
# start NAME PORT COMMAND...: starts a server, logs in $work/NAME.out and
# .err, waits until it accepts on PORT; sets $started to its process id.
start() {
    local name=$1 port=$2
    shift 2
    "$@" >"$work/$name.out" 2>"$work/$name.err" &
    started=$!
    pids+=("$started")
    for _ in $(seq 400); do
        is_listening "$port" && return 0
        kill -0 "$started" 2>/dev/null || break
        sleep 0.05
    done
    cat "$work/$name.err" >&2
    fail "$name did not start listening on $port"
}

# Measuring a proxy from outside: the process and its descendants.
tree_pids() {
    ps -e -o pid=,ppid= | awk -v root="$1" '
        { parent[$1] = $2 }
        END {
            keep[root] = 1
            for (grown = 1; grown; ) {
                grown = 0
                for (p in parent)
                    if (!(p in keep) && (parent[p] in keep)) { keep[p] = 1; grown = 1 }
            }
            for (p in keep) print p
        }'
}
cpu_ticks() { # utime + stime, fields 14 and 15 (after the name in parentheses)
    local p
    for p in $(tree_pids "$1"); do cat "/proc/$p/stat" 2>/dev/null || true; done |
        awk '{ sub(/^.*\) /, ""); sum += $12 + $13 } END { print sum + 0 }'
}
reset_peak() {
    local p
    for p in $(tree_pids "$1"); do echo 5 >"/proc/$p/clear_refs" 2>/dev/null || true; done
}
peak_mib() { # VmHWM, summed over the processes
    local p
    for p in $(tree_pids "$1"); do cat "/proc/$p/status" 2>/dev/null || true; done |
        awk '$1 == "VmHWM:" { sum += $2 } END { printf "%.1f", sum / 1024 }'
}
hz=$(getconf CLK_TCK)
mib=$((1024 * 1024))

# The origin: /paced/ at 2 MiB/s per connection from the first byte, the
# rest unthrottled. big.bin and big.txt are one file under two media types.
mkdir -p "$work/www/paced" "$work/nginx"
paced_size=$((paced_mib * mib)) big_size=$((big_mib * mib)) s4_size=$((s4_mib * mib))
head -c "$paced_size" /dev/urandom >"$work/www/paced/film.bin"
head -c "$big_size" /dev/urandom >"$work/www/big.bin"
ln "$work/www/big.bin" "$work/www/big.txt"
if [ "$s4_size" = "$big_size" ]; then ln "$work/www/big.bin" "$work/www/slow.bin"; else
    head -c "$s4_size" /dev/urandom >"$work/www/slow.bin"; fi
head -c 1024 /dev/urandom >"$work/www/small.txt"
nginx_port=$(free_port)
cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    types { application/octet-stream bin; text/plain txt; }
    sendfile on;
    keepalive_timeout 60s;
    keepalive_requests 1000000;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/www;
        location /paced/ {
            limit_rate 2m;
            sendfile_max_chunk 16k;
        }
    }
}
EOF
start nginx "$nginx_port" nginx -p "$work/nginx/" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf"
origin=http://127.0.0.1:$nginx_port

# squid: memory only (cache deny all), no disk cache, no helpers.
squid_port=$(free_port)
mkdir -p "$work/squid"
cat >"$work/squid/squid.conf" <<EOF
http_port 127.0.0.1:$squid_port
visible_hostname shoal-compare
pid_filename $work/squid/squid.pid
cache_log $work/squid/cache.log
access_log stdio:$work/squid/access.log
coredump_dir $work/squid
cache deny all
cache_mem 8 MB
shutdown_lifetime 0 seconds
pinger_enable off
digest_generation off
netdb_filename none
dns_nameservers 127.0.0.1
http_access allow localhost
http_access deny all
EOF
if [ "$(id -u)" = 0 ]; then # squid will not run as root: it drops to proxy
    echo "cache_effective_user proxy" >>"$work/squid/squid.conf"
    chown proxy: "$work/squid"
fi
start squid "$squid_port" squid -N -f "$work/squid/squid.conf"
squid_pid=$started

# tinyproxy fsyncs every log line, so LogLevel Info (several lines per
# request) would cost it most of its speed; Warning logs no request.
tinyproxy_port=$(free_port)
mkdir -p "$work/tinyproxy"
cat >"$work/tinyproxy/tinyproxy.conf" <<EOF
Port $tinyproxy_port
Listen 127.0.0.1
Timeout 600
MaxClients 200
Allow 127.0.0.1
PidFile "$work/tinyproxy/tinyproxy.pid"
LogFile "$work/tinyproxy/tinyproxy.log"
LogLevel Warning
EOF
start tinyproxy "$tinyproxy_port" tinyproxy -d -c "$work/tinyproxy/tinyproxy.conf"
tinyproxy_pid=$started

start shoal 1998 "$shoal"
shoal_pid=$started

proxy_port() { case $1 in squid) echo "$squid_port" ;; tinyproxy) echo "$tinyproxy_port" ;; *) echo 1998 ;; esac; }
proxy_pid() { case $1 in squid) echo "$squid_pid" ;; tinyproxy) echo "$tinyproxy_pid" ;; *) echo "$shoal_pid" ;; esac; }
accelerations() { grep -c '^transferDataSpeeded()$' "$work/shoal.out" || true; }

# fetch SIZE URL CURL-OPTIONS...: one download into /dev/null that must be a
# 200 of SIZE bytes; sets $seconds.
fetch() {
    local size=$1 url=$2 result
    shift 2
    result=$(curl -q -sS -o /dev/null -w '%{http_code} %{size_download} %{time_total}' "$@" "$url") ||
        fail "curl $* $url failed"
    set -- $result
    [ "$1" = 200 ] && [ "$2" = "$size" ] || fail "$url ($*): status $1, $2 of $size bytes"
    seconds=$3
}
# check URL FILE [PROXY]: the bytes through PROXY (or direct) are FILE's.
check() {
    local url=$1 file=$2 proxy=${3:-} opts=()
    [ -z "$proxy" ] || opts=(-x "127.0.0.1:$(proxy_port "$proxy")")
    curl -q -sS -f -o "$work/check" "${opts[@]}" "$url" || fail "$url through ${proxy:-nothing} failed"
    cmp -s "$work/check" "$file" || fail "$url through ${proxy:-nothing} differs from the served file"
    rm -f "$work/check"
}
# expect_accelerations BEFORE WANTED: whether shoal accelerated WANTED more.
expect_accelerations() {
    local now
    now=$(accelerations)
    [ $((now - $1)) = "$2" ] || fail "shoal accelerated $((now - $1)) transfers instead of $2"
}

raw=$work/raw.tsv # repetition, scenario, row, metric, value
: >"$raw"
record() { printf '%s\t%s\t%s\t%s\t%s\n' "$rep" "$1" "$2" "$3" "$4" >>"$raw"; }
calc() { awk "BEGIN { printf \"%.6g\", $* }"; }

s1p_row() {
    local before start
    case $1 in
        direct)
            fetch "$paced_size" "$origin/paced/film.bin" ;;
        aria2c)
            start=$(date +%s.%N)
            aria2c -q --no-conf -x8 -s8 -k1M --file-allocation=none --allow-overwrite=true \
                --auto-file-renaming=false -d "$work" -o aria.bin "$origin/paced/film.bin" ||
                fail "aria2c failed"
            seconds=$(calc "$(date +%s.%N) - $start")
            cmp -s "$work/aria.bin" "$work/www/paced/film.bin" || fail "aria2c's download differs"
            rm -f "$work/aria.bin" ;;
        ranges)
            # Eight curls at once, each fetching an eighth by a Range: what
            # eight connections get from this origin, the ceiling of -x8.
            local part=$(((paced_size + 7) / 8)) i
            start=$(date +%s.%N)
            for i in 0 1 2 3 4 5 6 7; do
                curl -q -sS -f -o "$work/part$i" -r "$((i * part))-$(((i + 1) * part - 1))" \
                    "$origin/paced/film.bin" &
                clients+=($!)
            done
            for i in "${clients[@]}"; do wait "$i" || fail "a Range fetch failed"; done
            clients=()
            seconds=$(calc "$(date +%s.%N) - $start")
            cat "$work"/part[0-7] | cmp -s - "$work/www/paced/film.bin" ||
                fail "the eight ranges differ from the served file"
            rm -f "$work"/part[0-7] ;;
        shoal)
            before=$(accelerations)
            fetch "$paced_size" "$origin/paced/film.bin" -x 127.0.0.1:1998
            expect_accelerations "$before" 1 ;;
    esac
    record S1P "$1" seconds "$seconds"
}

s2_row() {
    local row=$1 proxy=${1%-*} file=big.bin before pid ticks
    [ "$row" != shoal-plain ] || file=big.txt
    if [ "$row" = direct ]; then
        fetch "$big_size" "$origin/$file"
    else
        pid=$(proxy_pid "$proxy")
        before=$(accelerations)
        reset_peak "$pid"
        ticks=$(cpu_ticks "$pid")
        fetch "$big_size" "$origin/$file" -x "127.0.0.1:$(proxy_port "$proxy")"
        sleep 0.2 # let the proxy finish its side of the exchange
        ticks=$(($(cpu_ticks "$pid") - ticks))
        case $row in
            shoal-accel) expect_accelerations "$before" 1 ;;
            shoal-plain) expect_accelerations "$before" 0 ;;
        esac
        record S2 "$row" cpu_s_per_gib "$(calc "$ticks / $hz / ($big_size / 1073741824)")"
        record S2 "$row" peak_mib "$(peak_mib "$pid")"
    fi
    record S2 "$row" mib_s "$(calc "$big_size / $mib / $seconds")"
}

# The kernel's count of connections dropped because a listener's accept queue
# was full (machine-wide).
listen_overflows() {
    awk '$1 == "TcpExt:" && !names { for (i = 2; i <= NF; i++) name[i] = $i; names = 1; next }
         $1 == "TcpExt:" { for (i = 2; i <= NF; i++) if (name[i] == "ListenOverflows") print $i }' \
        /proc/net/netstat
}

s3_row() {
    local result overflows
    overflows=$(listen_overflows)
    result=$(wrk -t2 -c50 -d"${wrk_seconds}s" --latency -s "$here/proxy.lua" \
        "http://127.0.0.1:$(proxy_port "$1")/" -- "$origin/small.txt" 1024 2>&1) ||
        fail "wrk through $1 failed: $result"
    overflows=$(($(listen_overflows) - overflows))
    echo "$result" >>"$work/wrk-$1.log"
    # result <requests> <good> <socket errors> <seconds> <p50 us> <p99 us>
    # shellcheck disable=SC2046 # the six numbers become $2 to $7
    set -- "$1" $(echo "$result" | awk '$1 == "result" { print $2, $3, $4, $5, $6, $7 }')
    [ $# = 7 ] && [ "$3" -gt 0 ] || fail "wrk through $1 got no good response: $result"
    [ "$2" = "$3" ] || echo "   (warning: through $1 $(($2 - $3)) responses were not 200s of 1 KiB)" >&2
    record S3 "$1" req_s "$(calc "$3 / $5")" # good responses only
    record S3 "$1" p99_ms "$(calc "$7 / 1000")"
    record S3 "$1" not_200 "$(($2 - $3))"
    record S3 "$1" socket_errors "$4"
    record S3 "$1" listen_overflows "$overflows"
}

# S4: the three slow clients at once, each through its own proxy.
s4_all() {
    local proxy i before result
    before=$(accelerations)
    for proxy in squid tinyproxy shoal; do reset_peak "$(proxy_pid "$proxy")"; done
    for proxy in squid tinyproxy shoal; do
        curl -q -sS -o /dev/null -w '%{http_code} %{size_download}' --limit-rate 5M \
            -x "127.0.0.1:$(proxy_port "$proxy")" "$origin/slow.bin" >"$work/s4-$proxy.out" &
        clients+=($!)
    done
    for i in 0 1 2; do wait "${clients[$i]}" || fail "a slow client failed"; done
    clients=()
    for proxy in squid tinyproxy shoal; do
        result=$(cat "$work/s4-$proxy.out")
        [ "$result" = "200 $s4_size" ] || fail "slow client through $proxy: $result"
        record S4 "$proxy" peak_mib "$(peak_mib "$(proxy_pid "$proxy")")"
    done
    expect_accelerations "$before" 1
}

# rotated N WORD...: the words, starting with the (N mod count)th.
rotated() {
    local n=$1
    shift
    local words=("$@") i
    for ((i = 0; i < $#; i++)); do echo "${words[(i + n) % $#]}"; done
}

echo "shoal: $shoal"
echo "origin nginx $origin, squid :$squid_port, tinyproxy :$tinyproxy_port, shoal :1998"
echo "checking every path byte for byte"
for proxy in squid tinyproxy shoal; do
    check "$origin/big.bin" "$work/www/big.bin" "$proxy"
    check "$origin/small.txt" "$work/www/small.txt" "$proxy"
done
before=$(accelerations)
check "$origin/big.txt" "$work/www/big.bin" shoal
expect_accelerations "$before" 0
check "$origin/paced/film.bin" "$work/www/paced/film.bin" shoal
[ "$s4_size" = "$big_size" ] || check "$origin/slow.bin" "$work/www/slow.bin" shoal

for ((rep = 1; rep <= runs; rep++)); do
    echo "run $rep of $runs: S1P"
    for row in $(rotated "$rep" direct aria2c ranges shoal); do s1p_row "$row"; done
    echo "run $rep of $runs: S2"
    for row in $(rotated "$rep" direct squid tinyproxy shoal-accel shoal-plain); do s2_row "$row"; done
    echo "run $rep of $runs: S3"
    for row in $(rotated "$rep" squid tinyproxy shoal); do s3_row "$row"; done
    echo "run $rep of $runs: S4 (about $((s4_mib / 5)) s)"
    s4_all
done

# Summaries over the repetitions. med S ROW METRIC: the median; ratio S ROW
# METRIC REF: the median of ROW / REF within each repetition; runs: the
# values in run order.
awk_median='function median(v, n,   i, j, t) {
    if (n == 0) return "nan"
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}'
med() {
    awk -F'\t' -v s="$1" -v r="$2" -v m="$3" "$awk_median"'
        $2 == s && $3 == r && $4 == m { v[++n] = $5 } END { print median(v, n) }' "$raw"
}
ratio() {
    awk -F'\t' -v s="$1" -v r="$2" -v m="$3" -v ref="$4" "$awk_median"'
        $2 == s && $4 == m && ($3 == r || $3 == ref) { x[$1, $3] = $5; reps[$1] = 1 }
        END { for (k in reps) if (x[k, ref] > 0) v[++n] = x[k, r] / x[k, ref]; print median(v, n) }' "$raw"
}
highest() {
    awk -F'\t' -v s="$1" -v r="$2" -v m="$3" '
        $2 == s && $3 == r && $4 == m && (n++ == 0 || $5 > top) { top = $5 } END { print top }' "$raw"
}
values() {
    awk -F'\t' -v s="$1" -v r="$2" -v m="$3" '
        $2 == s && $3 == r && $4 == m { printf "%s%s", n++ ? "," : "", $5 } END { print "" }' "$raw"
}
label() {
    case $1 in
        direct) echo "curl direct" ;;
        aria2c) echo "aria2c -x8 -s8 -k1M" ;;
        ranges) echo "8 curls, a Range each" ;;
        shoal-accel) echo "shoal, octet-stream (accelerated)" ;;
        shoal-plain) echo "shoal, text/plain (plain relay)" ;;
        *) echo "$1" ;;
    esac
}
fmt() { awk -v x="$1" -v f="$2" 'BEGIN { if (x == "nan" || x == "" || x == "-") print "-"; else printf f, x }'; }
fmtlist() { awk -v list="$1" -v f="$2" 'BEGIN { n = split(list, v, ","); for (i = 1; i <= n; i++) printf "%s" f, (i > 1 ? " " : ""), v[i]; print "" }'; }

commit=$(git -C "$(dirname "$shoal")" rev-parse --short HEAD 2>/dev/null || echo unknown)
git -C "$(dirname "$shoal")" diff --quiet HEAD 2>/dev/null || commit+=", with uncommitted changes"
summary=$work/summary.tsv
printf 'scenario\trow\tmetric\tmedian\tratio\tratio_to\truns\n' >"$summary"
# row S ROW METRIC REF: one summary line, ratio to REF's same metric.
row() {
    local r="-"
    [ -z "$4" ] || r=$(ratio "$1" "$2" "$3" "$4")
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$(label "$2")" "$3" "$(med "$1" "$2" "$3")" \
        "$r" "$(label "${4:--}")" "$(values "$1" "$2" "$3")" >>"$summary"
}
# For seconds the ratio is REF / ROW (the speed-up), so call ratio the other way.
for r in direct aria2c ranges shoal; do
    printf 'S1P\t%s\tseconds\t%s\t%s\tcurl direct\t%s\n' "$(label $r)" "$(med S1P $r seconds)" \
        "$(ratio S1P direct seconds $r)" "$(values S1P $r seconds)" >>"$summary"
done
for r in direct squid tinyproxy shoal-accel shoal-plain; do row S2 $r mib_s direct; done
for r in squid tinyproxy shoal-accel shoal-plain; do
    row S2 $r cpu_s_per_gib tinyproxy
    row S2 $r peak_mib ""
done
for r in squid tinyproxy shoal; do
    row S3 $r req_s squid
    row S3 $r p99_ms squid
    row S3 $r not_200 ""
    row S3 $r socket_errors ""
    row S3 $r listen_overflows ""
done
for r in squid tinyproxy shoal; do row S4 $r peak_mib ""; done

# The goals, each from ratios within one repetition (S4: the highest peak).
goals=$work/goals.txt
: >"$goals"
goal() { # TEXT VALUE TEST(awk, on x)
    local verdict
    verdict=$(awk -v x="$2" "BEGIN { print (x != \"nan\" && ($3)) ? \"PASS\" : \"FAIL\" }")
    printf '  %s  %-56s %s\n' "$verdict" "$1" "$(fmt "$2" '%.2f')" >>"$goals"
}
goal "S1P shoal >= 7.5x curl direct (speed-up)" "$(ratio S1P direct seconds shoal)" "x >= 7.5"
goal "S1P shoal >= aria2c (aria2c's time / shoal's)" "$(ratio S1P aria2c seconds shoal)" "x >= 1"
goal "S2 plain relay >= 2x tinyproxy's MiB/s" "$(ratio S2 shoal-plain mib_s tinyproxy)" "x >= 2"
goal "S2 plain relay CPU/GiB <= tinyproxy's (ratio)" "$(ratio S2 shoal-plain cpu_s_per_gib tinyproxy)" "x <= 1"
goal "S2 accelerated >= 0.9x plain relay MiB/s" "$(ratio S2 shoal-accel mib_s shoal-plain)" "x >= 0.9"
goal "S3 shoal >= 1.5x squid's requests/s" "$(ratio S3 shoal req_s squid)" "x >= 1.5"
goal "S3 shoal p99 <= squid's (ratio)" "$(ratio S3 shoal p99_ms squid)" "x <= 1"
goal "S4 shoal peak memory < 96 MiB (highest of $runs runs, MiB)" "$(highest S4 shoal peak_mib)" "x < 96"

line() { awk -F'\t' -v s="$1" -v r="$(label "$2")" -v m="$3" '$1 == s && $2 == r && $3 == m' "$summary"; }
cell() { line "$1" "$2" "$3" | cut -f"$4"; }
{
    echo
    echo "shoal compared with its peers, $started_at; runs per row: $runs (medians; ratios within a run)"
    echo "shoal $shoal (commit $commit)"
    echo
    echo "S1P  $paced_mib MiB, nginx paced at 2 MiB/s per connection"
    printf '     %-36s %9s %9s   %s\n' "" seconds "x direct" runs
    for r in direct aria2c ranges shoal; do
        printf '     %-36s %9s %9s   %s\n' "$(label $r)" "$(fmt "$(cell S1P $r seconds 4)" %.2f)" \
            "$(fmt "$(cell S1P $r seconds 5)" %.2f)" "$(fmtlist "$(cell S1P $r seconds 7)" %.2f)"
    done
    echo
    echo "S2   $big_mib MiB, nginx unthrottled"
    printf '     %-36s %9s %9s %11s %9s   %s\n' "" MiB/s "x direct" "CPU s/GiB" "peak MiB" "MiB/s runs"
    for r in direct squid tinyproxy shoal-accel shoal-plain; do
        printf '     %-36s %9s %9s %11s %9s   %s\n' "$(label $r)" "$(fmt "$(cell S2 $r mib_s 4)" %.0f)" \
            "$(fmt "$(cell S2 $r mib_s 5)" %.3f)" "$(fmt "$(cell S2 $r cpu_s_per_gib 4)" %.2f)" \
            "$(fmt "$(cell S2 $r peak_mib 4)" %.1f)" "$(fmtlist "$(cell S2 $r mib_s 7)" %.0f)"
    done
    echo
    echo "S3   1 KiB responses, kept alive, wrk -t2 -c50 -d${wrk_seconds}s"
    printf '     %-36s %9s %9s %9s %9s %9s %9s   %s\n' "" req/s "x squid" "p99 ms" "not 200" \
        "sock err" "overflow" "req/s runs"
    for r in squid tinyproxy shoal; do
        printf '     %-36s %9s %9s %9s %9s %9s %9s   %s\n' "$r" "$(fmt "$(cell S3 $r req_s 4)" %.0f)" \
            "$(fmt "$(cell S3 $r req_s 5)" %.2f)" "$(fmt "$(cell S3 $r p99_ms 4)" %.2f)" \
            "$(fmt "$(cell S3 $r not_200 4)" %.0f)" "$(fmt "$(cell S3 $r socket_errors 4)" %.0f)" \
            "$(fmt "$(cell S3 $r listen_overflows 4)" %.0f)" "$(fmtlist "$(cell S3 $r req_s 7)" %.0f)"
    done
    echo "     (sock err: connections that failed or were closed under wrk; overflow: connections"
    echo "     the kernel dropped from a full accept queue during the row, machine-wide)"
    echo
    echo "S4   $s4_mib MiB to curl --limit-rate 5M, the three proxies at once"
    printf '     %-36s %9s   %s\n' "" "peak MiB" runs
    for r in squid tinyproxy shoal; do
        printf '     %-36s %9s   %s\n' "$r" "$(fmt "$(cell S4 $r peak_mib 4)" %.1f)" \
            "$(fmtlist "$(cell S4 $r peak_mib 7)" %.1f)"
    done
    echo
    echo "Goals"
    cat "$goals"
} | tee "$work/table.txt"

# The results file: the summary, headed and followed by comment lines.
{
    echo "# bench/compare.sh, $started_at, runs per row: $runs, shoal $shoal (commit $commit)"
    echo "# $(nproc) cores, $(uname -sr); $(squid -v | head -1); tinyproxy $(tinyproxy -v | awk '{ print $2 }');" \
        "$(nginx -v 2>&1); $(wrk -v 2>&1 | head -1 | awk '{ print $1, $2 }'); $(aria2c -v | head -1)"
    echo "# sizes: S1P $paced_mib MiB, S2 $big_mib MiB, S4 $s4_mib MiB; wrk ${wrk_seconds}s"
    cat "$summary"
    sed 's/^ */# /' "$goals"
} >"$out"

# The chart: ratios (S1P, S2, S3) and S4's peaks, under short labels.
short_label() {
    case $1 in
        aria2c) echo "aria2c -x8" ;;
        ranges) echo "8 Ranges" ;;
        shoal-accel) echo "shoal accel." ;;
        shoal-plain) echo "shoal plain" ;;
        *) label "$1" ;;
    esac
}
chart=$work/chart.tsv
{
    for r in direct aria2c ranges shoal; do
        printf '%s\t%s\t%s\n' "$(short_label $r)" "$(cell S1P $r seconds 5)" "$([ $r = shoal ] && echo 1 || echo 0)"
    done
    printf '\n\n'
    for r in direct squid tinyproxy shoal-accel shoal-plain; do
        printf '%s\t%s\t%s\n' "$(short_label $r)" "$(cell S2 $r mib_s 5)" "$([[ $r == shoal* ]] && echo 1 || echo 0)"
    done
    printf '\n\n'
    for r in squid tinyproxy shoal; do
        printf '%s\t%s\t%s\n' "$r" "$(cell S3 $r req_s 5)" "$([ $r = shoal ] && echo 1 || echo 0)"
    done
    printf '\n\n'
    for r in squid tinyproxy shoal; do
        printf '%s\t%s\t%s\n' "$r" "$(cell S4 $r peak_mib 4)" "$([ $r = shoal ] && echo 1 || echo 0)"
    done
} >"$chart"
gnuplot -e "data='$chart'; out='$png'; heading='shoal and its peers, $started_at, medians of $runs run(s)'" \
    -e "title0='S1P: $paced_mib MiB paced at 2 MiB/s per connection: speed-up over curl direct (x)'" \
    -e "title1='S2: $big_mib MiB unthrottled: throughput over curl direct (x)'" \
    -e "title2='S3: 1 KiB responses, wrk -t2 -c50: requests/s over squid (x)'" \
    -e "title3='S4: $s4_mib MiB to a client reading at 5 MiB/s: peak memory (MiB)'" \
    "$here/compare.gp" || fail "gnuplot failed"
echo
echo "took $((SECONDS - started_s)) s"
echo "results: $out"
echo "chart:   $png"
