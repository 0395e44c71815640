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

# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init screenshots xvfb-run xauth xwininfo import identify bsdtar python3
find_launcher "${2:-}"
outdir="${1:-$repo/docs}"
delay="${NEMBRAL_SCREENSHOT_DELAY:-1}"
mkdir -p "$outdir"
outdir="$(cd "$outdir" && pwd)"

launcher_vendor_host "$LAUNCHER" "${NEMBRAL_VENDOR_HOST:-}"
port=$LAUNCHER_PORT
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
! port_open "$port" || die "something already listens on port $port (a demo's vendor server?); stop it first"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/nembral-pages.XXXXXX")"
cleanup() {
  stop_vendor_server
  rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -m 700 "$scratch/runtime"

# shoot WORKDIR LOGLINE NAME [VAR=VALUE...]: the picture of the page the launcher shows in
# WORKDIR once it has logged LOGLINE, as OUTDIR/NAME.
shoot() {
  local workdir=$1 logline=$2 name=$3
  shift 3
  capture_launcher_window "$LAUNCHER" "$workdir" "$logline" "$delay" "$outdir/$name" \
    "$@" XDG_RUNTIME_DIR="$scratch/runtime"
}

# --- question page: 1.0 installed, 1.1 published ----------------------------------------------
"$repo/tools/make-package" 1.0 "$scratch/package-1.0" >/dev/null
"$repo/tools/make-package" 1.1 "$scratch/served" >/dev/null
mkdir -p "$scratch/ask/nembral"
bsdtar -xf "$scratch/package-1.0/nembral.zip" -C "$scratch/ask/nembral"
start_vendor_server "$scratch/served" "$port" "$scratch/state" "$scratch/server.out" --quiet
ca=$VENDOR_CA
shoot "$scratch/ask" "new version available" question-page.png SSL_CERT_FILE="$ca"
grep -qxF "NewVersion: 1.1 , CurrentVersion: 1.0" "$scratch/ask/launcher.log" || { echo "screenshots: unexpected versions:" >&2; cat "$scratch/ask/launcher.log" >&2; exit 1; }
stop_vendor_server

# --- error page: first run, nothing listening ---------------------------------------------------
! port_open "$port" || die "port $port is still taken; the offline run would not be offline"
mkdir -p "$scratch/offline"
shoot "$scratch/offline" "Could not find Nembral" error-page.png SSL_CERT_FILE="$ca"
[ "$(grep -c '^An error occured : error code = 0x' "$scratch/offline/launcher.log")" = 6 ] || { echo "screenshots: expected six failed attempts:" >&2; cat "$scratch/offline/launcher.log" >&2; exit 1; }
