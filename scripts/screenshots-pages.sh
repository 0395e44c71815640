#!/usr/bin/env bash
# Pictures of the launcher's question page and error page, each reached the way a user meets
# it, saved as PNG next to the working page's (which scripts/screenshot.sh makes; this script
# grabs the window the same way):
#
#   question page  installed version 1.0 in the working directory, 1.1 published on the local
#                  vendor server: the launcher asks whether to update
#   error page     first run with nothing listening on the vendor port: six failed attempts,
#                  then "Could not find Nembral"
#
#   scripts/screenshots-pages.sh [OUTDIR] [LAUNCHER]
#
#   OUTDIR    where question-page.png and error-page.png go (default: docs/ in the repository)
#   LAUNCHER  the launcher binary (default: $NEMBRAL_LAUNCHER, else build/bin/nembral-launcher)
#   NEMBRAL_VENDOR_HOST  the vendor host the launcher was built for (default: read from the
#             CMakeCache.txt of its build, else localhost:8443); it must be a loopback one
#   NEMBRAL_SCREENSHOT_DELAY  seconds to let the page settle once the launcher has logged that
#             it shows it (default 1)
#
# The launcher runs on Xvfb in fresh temporary directories; the repository is never touched.
# Each picture is taken only after the launcher's log says the page is up, and the run is
# checked to have taken the intended road.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
outdir="${1:-$repo/docs}"
launcher="${2:-${NEMBRAL_LAUNCHER:-$repo/build/bin/nembral-launcher}}"
delay="${NEMBRAL_SCREENSHOT_DELAY:-1}"

for tool in xvfb-run xauth xwininfo import identify bsdtar python3; do
  command -v "$tool" >/dev/null || { echo "screenshots: $tool not found (run scripts/setup.sh)" >&2; exit 1; }
done
[ -x "$launcher" ] || { echo "screenshots: no launcher at $launcher (build it first)" >&2; exit 1; }
launcher="$(cd "$(dirname "$launcher")" && pwd)/$(basename "$launcher")"
mkdir -p "$outdir"
outdir="$(cd "$outdir" && pwd)"

host="${NEMBRAL_VENDOR_HOST:-}"
if [ -z "$host" ]; then
  cache="$(dirname "$(dirname "$launcher")")/CMakeCache.txt"
  [ -f "$cache" ] && host=$(sed -n 's/^NEMBRAL_VENDOR_HOST:[A-Z]*=//p' "$cache")
  host=${host:-localhost:8443}
fi
port=${host##*:}
[ "$port" != "$host" ] || port=443
case "${host%:*}" in
  localhost|127.0.0.1) ;;
  *) echo "screenshots: the launcher's vendor host $host is not a loopback one" >&2; exit 1 ;;
esac
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
if port_open "$port"; then
  echo "screenshots: something already listens on port $port (a demo's vendor server?); stop it first" >&2
  exit 1
fi

scratch="$(mktemp -d "${TMPDIR:-/tmp}/nembral-pages.XXXXXX")"
server_pid=""
cleanup() {
  [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }
  rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -m 700 "$scratch/runtime"

# capture WORKDIR LOGLINE OUTPUT: runs the launcher in WORKDIR on a virtual display, waits for
# its window and for LOGLINE in its log, lets the page settle, grabs the window, stops it.
# shellcheck disable=SC2016 # expanded by the inner shell, which gets the values as arguments
capture='
set -euo pipefail
launcher=$1 workdir=$2 logline=$3 delay=$4 shot=$5
cd "$workdir"
"$launcher" >"$workdir/launcher.log" 2>&1 &
pid=$!
stop() {
  kill "$pid" 2>/dev/null || true
  for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
trap stop EXIT
win=""
for _ in $(seq 1 300); do
  kill -0 "$pid" 2>/dev/null || { echo "screenshots: launcher exited early:" >&2; cat "$workdir/launcher.log" >&2; exit 1; }
  if [ -z "$win" ]; then
    win=$(xwininfo -name MainWindow 2>/dev/null | sed -n "s/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p" || true)
  fi
  if [ -n "$win" ] && xwininfo -id "$win" 2>/dev/null | grep "Map State: IsViewable" >/dev/null \
     && grep -qxF "$logline" "$workdir/launcher.log"; then
    break
  fi
  sleep 0.1
done
grep -qxF "$logline" "$workdir/launcher.log" || { echo "screenshots: the launcher never logged \"$logline\":" >&2; cat "$workdir/launcher.log" >&2; exit 1; }
[ -n "$win" ] || { echo "screenshots: no window named MainWindow appeared" >&2; exit 1; }
sleep "$delay"
kill -0 "$pid" 2>/dev/null || { echo "screenshots: launcher exited before the capture:" >&2; cat "$workdir/launcher.log" >&2; exit 1; }
import -silent -window "$win" -type TrueColor -depth 8 -strip -define png:exclude-chunks=date,time "png24:$shot"
'

shoot() { # shoot WORKDIR LOGLINE NAME [ENV...]
  local workdir=$1 logline=$2 name=$3
  shift 3
  env "$@" XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
    bash -c "$capture" capture "$launcher" "$workdir" "$logline" "$delay" "$scratch/$name"
  local size
  size="$(identify -format '%wx%h' "$scratch/$name")"
  [ "$size" = "600x300" ] || { echo "screenshots: captured $size, expected the 600x300 window" >&2; exit 1; }
  cp "$scratch/$name" "$outdir/$name"
  echo "screenshots: $outdir/$name ($size)"
}

# --- question page: 1.0 installed, 1.1 published ----------------------------------------------
"$repo/tools/make-package" 1.0 "$scratch/package-1.0" >/dev/null
"$repo/tools/make-package" 1.1 "$scratch/served" >/dev/null
mkdir -p "$scratch/ask/nembral"
bsdtar -xf "$scratch/package-1.0/nembral.zip" -C "$scratch/ask/nembral"
"$repo/tools/vendor-server/vendor-server" --dir "$scratch/served" --port "$port" --quiet \
  --state-dir "$scratch/state" >"$scratch/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 1 300); do
  grep -q '^vendor-server: serving' "$scratch/server.out" 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q '^vendor-server: serving' "$scratch/server.out" || { echo "screenshots: vendor server did not start:" >&2; cat "$scratch/server.out" >&2; exit 1; }
ca=$(sed -n 's/^SSL_CERT_FILE=//p' "$scratch/server.out")
shoot "$scratch/ask" "new version available" question-page.png SSL_CERT_FILE="$ca"
grep -qxF "NewVersion: 1.1 , CurrentVersion: 1.0" "$scratch/ask/launcher.log" || { echo "screenshots: unexpected versions:" >&2; cat "$scratch/ask/launcher.log" >&2; exit 1; }
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
server_pid=""

# --- error page: first run, nothing listening ---------------------------------------------------
if port_open "$port"; then
  echo "screenshots: port $port is still taken; the offline run would not be offline" >&2
  exit 1
fi
mkdir -p "$scratch/offline"
shoot "$scratch/offline" "Could not find Nembral" error-page.png SSL_CERT_FILE="$ca"
[ "$(grep -c '^An error occured : error code = 0x' "$scratch/offline/launcher.log")" = 6 ] || { echo "screenshots: expected six failed attempts:" >&2; cat "$scratch/offline/launcher.log" >&2; exit 1; }
