#!/usr/bin/env bash
# Whole first install: the launcher, started in an empty working directory, fetches a 200 MB
# package from the local vendor server, has unzip.exe extract it, and starts the demo
# application. Compared with its parts measured on their own: the download of the same archive
# by the curl command line, and unzip.exe extracting it. The launcher polls on 1000 ms timers,
# so the target is: first install <= download + extraction + three timer ticks (3 s).
#
#   bench/first-install.sh
#
#   NEMBRAL_BENCH_RUNS    runs of each measurement (default 3)
#   NEMBRAL_BENCH_MB      package payload in MB (default 200)
#   NEMBRAL_BENCH_FILES   files in the package, all told (default 2000)
#   NEMBRAL_BENCH_PORT    loopback port of the vendor server (default 18470)
#   BUILD                 release build of the launcher made for that port
#                         (default build-bench-install; configured and built when needed)
#
# The launcher's peak resident set (RSS) in each run comes from /usr/bin/time (package "time").
#
# Each launcher run prints its timeline (seconds since start) of the lines that mark the
# phases: the decision, the package download complete, the extraction started, the
# installation complete, the start, and the launcher's exit. The launcher runs headless
# (offscreen); its log lines are stamped as they come out of its standard output.
set -euo pipefail

# shellcheck source=lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
nembral_init bench curl bsdtar python3 openssl
[ -x /usr/bin/time ] || die "/usr/bin/time not found (apt-get install time)"
bench_package_settings 3
port="${NEMBRAL_BENCH_PORT:-18470}"
build="${BUILD:-$repo/build-bench-install}"

# The vendor host is built into the launcher: this build is made for our port.
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNEMBRAL_BUILD_TESTS=OFF \
  -DNEMBRAL_VENDOR_HOST="127.0.0.1:$port" >/dev/null
cmake --build "$build" --target nembral-launcher nembral_unzip_tool >/dev/null
launcher="$build/bin/nembral-launcher"
unzip_tool="$build/bin/unzip.exe"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/nembral-first-install.XXXXXX")"
cleanup() {
  stop_vendor_server
  rm -rf "$scratch"
}
trap cleanup EXIT

# Named mutexes live below the runtime directory; ours is private to this benchmark.
mkdir -m 700 "$scratch/runtime"
export XDG_RUNTIME_DIR="$scratch/runtime"

"$repo/tools/make-package" --payload-mb "$BENCH_MB" --payload-files "$PAYLOAD_FILES" 1.0 "$scratch/served" >/dev/null
archive="$scratch/served/nembral.zip"
archive_mb=$(awk -v b="$(stat -c %s "$archive")" 'BEGIN { printf "%.1f", b / 1048576 }')
entries=$(bsdtar -tf "$archive" | grep -vc '/$')

start_vendor_server "$scratch/served" "$port" "$scratch/state" "$scratch/server.out" --quiet
ca=$VENDOR_CA
url="https://127.0.0.1:$port/Software/Nembral/nembral.zip"

now() { echo "$EPOCHREALTIME"; }
seconds_since() { awk -v e="$(now)" -v s="$1" 'BEGIN { printf "%.3f", e - s }'; }

# The download on its own: the same URL, the same server, curl.
time_download() {
  rm -f "$scratch/curl.zip"
  local start
  start=$(now)
  curl -sS --fail --cacert "$ca" -o "$scratch/curl.zip" "$url"
  seconds_since "$start"
  cmp -s "$scratch/curl.zip" "$archive" || { echo "bench: curl's download differs" >&2; exit 1; }
  rm -f "$scratch/curl.zip"
}

# The extraction on its own: unzip.exe as the launcher runs it, archive in the page cache.
time_extraction() {
  rm -rf "$scratch/extract"
  mkdir -p "$scratch/extract/nembral"
  cp "$archive" "$scratch/extract/nembral/nembral.zip"
  sync
  local start
  start=$(now)
  (cd "$scratch/extract" && "$unzip_tool" nembral/nembral.zip nembral)
  seconds_since "$start"
  rm -rf "$scratch/extract"
}

# The launcher from start to exit in a fresh working directory; its log lines are stamped
# with the seconds since its start, and "EXIT <code>" when it has ended.
time_first_install() {
  local work="$scratch/work" log="$scratch/launcher.log"
  rm -rf "$work"
  mkdir -p "$work"
  cp "$unzip_tool" "$work/unzip.exe"
  sync
  local start
  start=$(now)
  (
    cd "$work"
    export SSL_CERT_FILE="$ca" QT_QPA_PLATFORM=offscreen NEMBRAL_DEMO_HEADLESS=1
    unset DISPLAY WAYLAND_DISPLAY COMSPEC
    rc=0
    /usr/bin/time -f '%M' -o "$scratch/launcher.rss" "$launcher" </dev/null 2>"$scratch/launcher.err" || rc=$?
    echo "EXIT $rc"
  ) | while IFS= read -r line; do
    awk -v e="$EPOCHREALTIME" -v s="$start" -v l="$line" 'BEGIN { printf "%.3f %s\n", e - s, l }'
  done >"$log"
  grep -q '^[0-9.]* EXIT 0$' "$log" || { echo "bench: the launcher failed:" >&2; cat "$log" "$scratch/launcher.err" >&2; exit 1; }
  # The demo application, started by the launcher, notes that it runs.
  for _ in $(seq 1 100); do
    grep -q '^Nembral 1.0 running$' "$work/nembral/nembral/nembral-demo.log" 2>/dev/null && break
    sleep 0.1
  done
  grep -q '^Nembral 1.0 running$' "$work/nembral/nembral/nembral-demo.log" || { echo "bench: the demo application did not start" >&2; exit 1; }
  [ ! -e "$work/nembral/nembral.zip" ] || { echo "bench: the archive was left behind" >&2; exit 1; }
}

at() { awk -v l="$1" '{ t = $1; sub(/^[^ ]* /, "") } $0 == l { print t; exit }' "$scratch/launcher.log"; }

echo "package: $entries files, $BENCH_MB MB unpacked, $archive_mb MB archive; $BENCH_RUNS runs; port $port"
download_times=() extraction_times=() installed_times=() total_times=() own_download_times=() rss_kb=()
for i in $(seq 1 "$BENCH_RUNS"); do
  d=$(time_download)
  x=$(time_extraction)
  time_first_install
  decided=$(at "installation necessary")
  downloaded=$(at "nembral downloaded!")
  extracting=$(at "run command")
  installed=$(at "UNZIP complete!")
  started=$(at "Start Nembral")
  exited=$(at "EXIT 0")
  # The last tick that found the tool still at work: the extraction ended after it.
  busy=$(awk '{ t = $1; sub(/^[^ ]* /, "") } $0 == "Mutex does exist" { last = t } END { print (last == "" ? "none" : last) }' "$scratch/launcher.log")
  own=$(awk -v a="$downloaded" -v b="$(at "downloadCompleteApplication")" 'BEGIN { printf "%.3f", a - b }')
  rss=$(tail -n1 "$scratch/launcher.rss")
  download_times+=("$d") extraction_times+=("$x") installed_times+=("$installed") total_times+=("$exited") own_download_times+=("$own")
  rss_kb+=("$rss")
  printf 'run %d: curl download %.3f s, unzip.exe %.3f s | launcher: decided %.3f, package in %.3f, run command %.3f, tool last seen at work %s, UNZIP complete! %.3f, Start Nembral %.3f, exit %.3f, peak RSS %.1f MB\n' \
    "$i" "$d" "$x" "$decided" "$downloaded" "$extracting" "$busy" "$installed" "$started" "$exited" "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')"
done

dm=$(median "${download_times[@]}")
xm=$(median "${extraction_times[@]}")
im=$(median "${installed_times[@]}")
tm=$(median "${total_times[@]}")
om=$(median "${own_download_times[@]}")
budget=$(awk -v d="$dm" -v x="$xm" 'BEGIN { printf "%.3f", d + x + 3 }')
echo
printf '| measurement | median of %d runs |\n|---|---|\n' "$BENCH_RUNS"
printf '| download alone (curl) | %.3f s |\n' "$dm"
printf '| extraction alone (unzip.exe) | %.3f s |\n' "$xm"
printf '| budget: download + extraction + 3 ticks | %.3f s |\n' "$budget"
printf '| launcher: package download (its own worker) | %.3f s |\n' "$om"
printf '| launcher: start to "UNZIP complete!" | %.3f s |\n' "$im"
printf '| launcher: start to exit (after the 1 s pause before the start) | %.3f s |\n' "$tm"
awk -v m="$(median "${rss_kb[@]}")" -v x="$(printf '%s\n' "${rss_kb[@]}" | sort -g | tail -n1)" \
  'BEGIN { printf "| launcher: peak RSS (median; largest) | %.1f MB; %.1f MB |\n", m / 1024, x / 1024 }'
awk -v i="$im" -v t="$tm" -v b="$budget" 'BEGIN {
  verdict = "installation complete %.3f s %s the budget; launcher exited (application started) %.3f s %s it\n"
  printf verdict, (i <= b ? b - i : i - b), (i <= b ? "under" : "OVER"), (t <= b ? b - t : t - b), (t <= b ? "under" : "over") }'
