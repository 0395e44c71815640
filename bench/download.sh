#!/usr/bin/env bash
# Download benchmark: a file (1 GiB by default) from the local vendor server over https on
# loopback, fetched alternately by the launcher's download service and by the curl command
# line, several runs. Prints each run, the median throughput of both, their ratio and the
# peak resident set of the program doing our download. Not a test; run it by hand:
#   bench/download.sh            RUNS=7 SIZE_MB=1024 by default
# The program doing our download, bench/download_bench.cpp, is built by CMake (the project's
# settings, NEMBRAL_BUILD_BENCH=ON) as a release build in BUILD (default build-bench).
set -euo pipefail

# shellcheck source=../scripts/lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"
nembral_init bench cmake ninja curl
BUILD=${BUILD:-$repo/build-bench}
RUNS=${RUNS:-7}
SIZE_MB=${SIZE_MB:-1024}

cmake -S "$repo" -B "$BUILD" -G Ninja -DNEMBRAL_PLATFORM_ONLY=ON -DNEMBRAL_BUILD_TESTS=OFF -DNEMBRAL_BUILD_BENCH=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target download_bench >/dev/null

WORK=$(mktemp -d)
cleanup() {
  stop_vendor_server
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/served" "$WORK/ours" "$WORK/curl"
echo "bench" > "$WORK/served/version.txt"
head -c $((SIZE_MB * 1024 * 1024)) /dev/urandom > "$WORK/served/nembral.zip"
sync

start_vendor_server "$WORK/served" 0 "$WORK/state" "$WORK/server.out" --quiet
PORT=$VENDOR_PORT
CA=$VENDOR_CA
URL="https://localhost:$PORT/Software/Nembral/nembral.zip"

run_curl() {
  /usr/bin/time -f '%e %M' -o "$WORK/time" \
    curl -sS --fail --cacert "$CA" -o "$WORK/curl/nembral.zip" "$URL"
  cat "$WORK/time"
}
run_ours() {
  SSL_CERT_FILE="$CA" /usr/bin/time -f '%e %M' -o "$WORK/time" \
    "$BUILD/bin/download_bench" "$URL" "$WORK/ours" > /dev/null 2> "$WORK/ours.err"
  cat "$WORK/time"
}

# One unrecorded round of each warms the page cache and the server; before every run the
# previous outputs are flushed and removed, so no run pays for another's write-back.
run_curl > /dev/null
run_ours > /dev/null
rm -rf "$WORK/ours/nembral" "$WORK/curl/nembral.zip"

printf 'size %d MiB, %d runs, %s\n' "$SIZE_MB" "$RUNS" "$(curl --version | head -1 | cut -d' ' -f1-2)"
printf '%-4s %10s %10s %12s %12s\n' run curl_s ours_s curl_MiB/s ours_MiB/s
: > "$WORK/results"
for i in $(seq "$RUNS"); do
  # Alternate who goes first, so neither always meets a warmer cache.
  if (( i % 2 )); then
    sync; c=$(run_curl); sync; o=$(run_ours)
  else
    sync; o=$(run_ours); sync; c=$(run_curl)
  fi
  cmp -s "$WORK/served/nembral.zip" "$WORK/ours/nembral/nembral.zip" || { echo "our download differs"; exit 1; }
  cmp -s "$WORK/served/nembral.zip" "$WORK/curl/nembral.zip" || { echo "curl's download differs"; exit 1; }
  rm -f "$WORK/ours/nembral/nembral.zip" "$WORK/curl/nembral.zip"
  read -r cs crss <<< "$c"
  read -r os orss <<< "$o"
  echo "$cs $os $crss $orss" >> "$WORK/results"
  awk -v i="$i" -v c="$cs" -v o="$os" -v mb="$SIZE_MB" \
    'BEGIN { printf "%-4s %10.2f %10.2f %12.0f %12.0f\n", i, c, o, mb / c, mb / o }'
done

sort -n -k1,1 "$WORK/results" | awk -v n="$RUNS" 'NR == int((n + 1) / 2) { print $1 }' > "$WORK/curl_median"
sort -n -k2,2 "$WORK/results" | awk -v n="$RUNS" 'NR == int((n + 1) / 2) { print $2 }' > "$WORK/ours_median"
awk -v mb="$SIZE_MB" -v c="$(cat "$WORK/curl_median")" -v o="$(cat "$WORK/ours_median")" \
  'BEGIN { printf "median: curl %.0f MiB/s, ours %.0f MiB/s, throughput ratio ours/curl %.3f\n", mb / c, mb / o, c / o }'
awk '{ if ($4 > m) m = $4; if ($3 > cm) cm = $3 } END { printf "peak RSS: ours %.1f MB, curl %.1f MB\n", m / 1024, cm / 1024 }' \
  "$WORK/results"
