#!/usr/bin/env bash
# Download benchmark: a file of random bytes (1 GiB by default) served over https on loopback,
# fetched by the launcher's download service and by the curl command line, to the same disk,
# all trusting the same throw-away CA. Not a test; run it by hand:
#
#   bench/download.sh
#
#   RUNS        timed runs of each contender on each server (default 7)
#   SIZE_MB     file size in MiB (default 1024)
#   SERVERS     which servers, in order (default "nginx vendor-server"):
#                 nginx          Debian's nginx, configured and started here on a free loopback
#                                port (sendfile on, access log off), stopped at the end
#                 vendor-server  tools/vendor-server (Python)
#   CONTENDERS  which programs, in order (default "curl ours direct 16k 64k 128k 1m"):
#                 curl           curl -sS --fail --cacert CA -o FILE URL
#                 ours           bench/download_bench, the download service as the launcher has it
#                 direct, 16k, 64k, 128k, 1m
#                                download_bench-NAME: the same service compiled with another size
#                                of the writes to the part file (direct: each piece libcurl hands
#                                over is written as it comes, without gathering)
#   DD_RUNS     runs of the page-cache write reference (default 3; 0 skips it): dd writing
#               SIZE_MB from /dev/zero to the same disk with blocks of 16 KiB, 64 KiB, 1 MiB,
#               and 1 MiB with fdatasync (what the disk itself takes)
#   BUILD       release build of the bench programs (default build-bench; configured and built)
#   TMPDIR      where the served file and the outputs go (default /tmp): the disk under test
#
# Method: per server, one unrecorded run of each contender first; then RUNS rounds, each of
# which runs every contender once, the order rotated by one place per round (A B C, B C A,
# C A B, ...), so each contender meets each neighbour and place alike. Every run writes into a
# fresh, empty folder; the previous run's output is compared byte for byte with the served file,
# removed, and `sync` is run, all outside the timing. Times, CPU and peak RSS come from
# /usr/bin/time. Prints each run and, per server, min / median / max of the time and the
# throughput, median user and system CPU, the largest peak RSS, and the ratio of each
# contender's median throughput to curl's.
#
# nginx is not needed by the tests and not installed by scripts/setup.sh; to have it:
#   apt-get install --no-install-recommends nginx
set -euo pipefail

# shellcheck source=lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
nembral_init bench cmake ninja curl cmp awk python3
[ -x /usr/bin/time ] || die "/usr/bin/time not found (apt-get install time)"
BUILD=${BUILD:-$repo/build-bench}
RUNS=${RUNS:-7}
SIZE_MB=${SIZE_MB:-1024}
SERVERS=${SERVERS:-nginx vendor-server}
CONTENDERS=${CONTENDERS:-curl ours direct 16k 64k 128k 1m}
DD_RUNS=${DD_RUNS:-3}
read -r -a servers <<<"$SERVERS"
read -r -a contenders <<<"$CONTENDERS"

nginx_bin=""
for s in "${servers[@]}"; do
  case $s in
    nginx)
      nginx_bin=$(command -v nginx || true)
      [ -n "$nginx_bin" ] || [ ! -x /usr/sbin/nginx ] || nginx_bin=/usr/sbin/nginx
      [ -n "$nginx_bin" ] || die "nginx not found: apt-get install --no-install-recommends nginx (or SERVERS=vendor-server)"
      ;;
    vendor-server) ;;
    *) die "unknown server $s (nginx, vendor-server)" ;;
  esac
done
for c in "${contenders[@]}"; do
  case $c in curl|ours|direct|16k|64k|128k|1m) ;; *) die "unknown contender $c" ;; esac
done

cmake -S "$repo" -B "$BUILD" -G Ninja -DNEMBRAL_PLATFORM_ONLY=ON -DNEMBRAL_BUILD_TESTS=OFF -DNEMBRAL_BUILD_BENCH=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" >/dev/null

WORK=$(mktemp -d "${TMPDIR:-/tmp}/nembral-download.XXXXXX")
NGINX_PID=""
stop_nginx() {
  [ -n "$NGINX_PID" ] || return 0
  kill "$NGINX_PID" 2>/dev/null || true
  wait "$NGINX_PID" 2>/dev/null || true
  NGINX_PID=""
}
cleanup() {
  stop_nginx
  stop_vendor_server
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/served"
echo "bench" >"$WORK/served/version.txt"
head -c $((SIZE_MB * 1024 * 1024)) /dev/urandom >"$WORK/served/nembral.zip"
sync

# The vendor server makes the throw-away CA and the server certificate (localhost, 127.0.0.1)
# in its state folder; nginx uses the same certificate.
start_vendor_server "$WORK/served" 0 "$WORK/state" "$WORK/vendor-server.out" --quiet
CA=$VENDOR_CA

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Runs nginx in the foreground of a background job, as one process (no master/worker split,
# so no privileges are dropped and the served folder needs no other owner), everything it
# writes below $WORK/nginx. Sets NGINX_PORT.
start_nginx() {
  local dir="$WORK/nginx"
  mkdir -p "$dir/temp"
  NGINX_PORT=$(free_port)
  cat >"$dir/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  types { application/zip zip; text/plain txt; }
  default_type application/octet-stream;
  client_body_temp_path $dir/temp/client;
  proxy_temp_path $dir/temp/proxy;
  fastcgi_temp_path $dir/temp/fastcgi;
  uwsgi_temp_path $dir/temp/uwsgi;
  scgi_temp_path $dir/temp/scgi;
  server {
    listen 127.0.0.1:$NGINX_PORT ssl;
    ssl_certificate $WORK/state/server.pem;
    ssl_certificate_key $WORK/state/server.key;
    location /Software/Nembral/ { alias $WORK/served/; }
  }
}
EOF
  "$nginx_bin" -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log" >"$dir/nginx.out" 2>&1 &
  NGINX_PID=$!
  for _ in $(seq 1 100); do
    curl -sS --fail --cacert "$CA" -o /dev/null "https://127.0.0.1:$NGINX_PORT/Software/Nembral/version.txt" 2>/dev/null && return 0
    kill -0 "$NGINX_PID" 2>/dev/null || break
    sleep 0.1
  done
  cat "$dir/nginx.out" "$dir/error.log" >&2 2>/dev/null || true
  stop_nginx
  die "nginx did not come up"
}

# run CONTENDER URL OUTDIR: one timed download into the empty folder OUTDIR; prints
# "seconds peak_rss_kb user_s system_s" and leaves the file's path in $WORK/last.
run() {
  local who=$1 url=$2 out=$3 file
  case $who in
    curl)
      file="$out/nembral.zip"
      /usr/bin/time -f '%e %M %U %S' -o "$WORK/time" \
        curl -sS --fail --cacert "$CA" -o "$file" "$url"
      ;;
    *)
      local program="$BUILD/bin/download_bench"
      [ "$who" = ours ] || program+="-$who"
      file="$out/nembral/nembral.zip"
      SSL_CERT_FILE="$CA" /usr/bin/time -f '%e %M %U %S' -o "$WORK/time" \
        "$program" "$url" "$out" >/dev/null 2>"$WORK/program.err" \
        || { cat "$WORK/program.err" >&2; die "$who failed"; }
      ;;
  esac
  echo "$file" >"$WORK/last"
  cat "$WORK/time"
}

# Checks the last run's file against the served one, removes its folder and writes back
# whatever is dirty, so the next run starts from the same state.
check_and_clear() {
  local who=$1 out=$2
  cmp -s "$WORK/served/nembral.zip" "$(cat "$WORK/last")" || die "$who: the downloaded file differs"
  rm -rf "$out"
  sync
}

# The disk under test without any network: dd writing the same amount from /dev/zero.
dd_reference() {
  local blocks=("16k:$((SIZE_MB * 64))" "64k:$((SIZE_MB * 16))" "1M:$SIZE_MB") runs=() i kind bs count t
  echo "page-cache write reference: dd if=/dev/zero of=FILE, $SIZE_MB MiB; runs rotated as the downloads"
  printf '%-18s %s\n' "dd" "seconds per run -> MiB/s (median)"
  for kind in "${blocks[@]}" "1M-fdatasync:$SIZE_MB"; do runs+=("$kind"); done
  : >"$WORK/dd"
  for i in $(seq 0 $((DD_RUNS - 1))); do
    local n=${#runs[@]} j
    for j in $(seq 0 $((n - 1))); do
      kind=${runs[$(((i + j) % n))]}
      bs=${kind%%:*}
      count=${kind##*:}
      local extra=()
      [ "${bs#*-}" = fdatasync ] && extra=(conv=fdatasync)
      sync
      /usr/bin/time -f '%e' -o "$WORK/time" dd if=/dev/zero of="$WORK/dd.out" bs="${bs%%-*}" count="$count" "${extra[@]}" 2>/dev/null
      t=$(cat "$WORK/time")
      rm -f "$WORK/dd.out"
      echo "$bs $t" >>"$WORK/dd"
    done
  done
  for kind in "${runs[@]}"; do
    bs=${kind%%:*}
    local times
    mapfile -t times < <(awk -v b="$bs" '$1 == b { print $2 }' "$WORK/dd")
    printf '%-18s %s -> %.0f MiB/s\n' "bs=$bs" "${times[*]}" "$(awk -v mb="$SIZE_MB" -v t="$(median "${times[@]}")" 'BEGIN { print mb / t }')"
  done
  echo
}

# summary SERVER: per contender, min / median / max over the runs of the results file.
summary() {
  local server=$1 curl_median="" curl_times
  mapfile -t curl_times < <(awk '$2 == "curl" { print $3 }' "$WORK/results")
  [ "${#curl_times[@]}" -eq 0 ] || curl_median=$(median "${curl_times[@]}")
  printf '%s, %d runs of %d MiB:\n' "$server" "$RUNS" "$SIZE_MB"
  printf '%-8s %22s %26s %8s %8s %8s %10s\n' contender "seconds min/med/max" "MiB/s min/med/max" "user_s" "sys_s" "RSS_MB" "vs_curl"
  for c in "${contenders[@]}"; do
    local times rss user sys
    mapfile -t times < <(awk -v c="$c" '$2 == c { print $3 }' "$WORK/results")
    mapfile -t rss < <(awk -v c="$c" '$2 == c { print $4 }' "$WORK/results")
    mapfile -t user < <(awk -v c="$c" '$2 == c { print $5 }' "$WORK/results")
    mapfile -t sys < <(awk -v c="$c" '$2 == c { print $6 }' "$WORK/results")
    local tmin tmed tmax rmax
    tmin=$(printf '%s\n' "${times[@]}" | sort -g | head -n1)
    tmax=$(printf '%s\n' "${times[@]}" | sort -g | tail -n1)
    tmed=$(median "${times[@]}")
    rmax=$(printf '%s\n' "${rss[@]}" | sort -g | tail -n1)
    awk -v c="$c" -v mb="$SIZE_MB" -v a="$tmin" -v m="$tmed" -v z="$tmax" -v u="$(median "${user[@]}")" \
      -v s="$(median "${sys[@]}")" -v r="$rmax" -v cm="$curl_median" 'BEGIN {
        ratio = cm == "" ? "-" : sprintf("%.2fx", cm / m)
        printf "%-8s %6.2f %6.2f %6.2f     %6.0f %6.0f %6.0f   %8.2f %8.2f %8.1f %10s\n",
          c, a, m, z, mb / z, mb / m, mb / a, u, s, r / 1024, ratio }'
  done
  echo "(vs_curl: curl's median time / the contender's median time, i.e. the throughput ratio; RSS_MB: the largest peak RSS of the runs)"
  echo
}

echo "bench: $(date '+%F %T'), load average $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores," \
  "output on $(stat -f -c %T "$WORK") ($(df --output=source "$WORK" | tail -n1)), $(curl --version | head -n1 | cut -d' ' -f1-5)"
echo
[ "$DD_RUNS" -eq 0 ] || dd_reference

for server in "${servers[@]}"; do
  case $server in
    nginx) start_nginx; port=$NGINX_PORT ;;
    vendor-server) port=$VENDOR_PORT ;;
  esac
  url="https://127.0.0.1:$port/Software/Nembral/nembral.zip"
  # The served file in the page cache, the server and the programs warmed up: one unrecorded
  # run of each.
  cat "$WORK/served/nembral.zip" >/dev/null
  for c in "${contenders[@]}"; do
    mkdir -p "$WORK/out"
    run "$c" "$url" "$WORK/out" >/dev/null
    check_and_clear "$c" "$WORK/out"
  done
  : >"$WORK/results"
  echo "$server: $url"
  printf '%-5s %-8s %8s %8s %8s %8s %8s\n' round who seconds MiB/s RSS_MB user_s sys_s
  n=${#contenders[@]}
  for i in $(seq 0 $((RUNS - 1))); do
    for j in $(seq 0 $((n - 1))); do
      c=${contenders[$(((i + j) % n))]}
      out="$WORK/out-$c-$i"
      mkdir -p "$out"
      read -r secs rss user sys < <(run "$c" "$url" "$out")
      check_and_clear "$c" "$out"
      echo "$((i + 1)) $c $secs $rss $user $sys" >>"$WORK/results"
      awk -v i="$((i + 1))" -v c="$c" -v t="$secs" -v r="$rss" -v u="$user" -v s="$sys" -v mb="$SIZE_MB" \
        'BEGIN { printf "%-5s %-8s %8.2f %8.0f %8.1f %8.2f %8.2f\n", i, c, t, mb / t, r / 1024, u, s }'
    done
  done
  echo
  summary "$server"
  [ "$server" != nginx ] || stop_nginx
done
echo "bench: done $(date '+%F %T'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
