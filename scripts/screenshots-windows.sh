#!/usr/bin/env bash
# Pictures of the Windows build's three pages, taken under wine with Qt's windows platform on
# a virtual X display, each reached the way a user meets it:
#
#   working page   nothing installed, a package published: the launcher downloads it and waits
#                  for the extraction tool (a recording interpreter stands in for cmd.exe)
#   question page  1.0 installed, 1.1 published
#   error page     nothing installed, nothing listening: six failed attempts
#
#   scripts/screenshots-windows.sh [OUTDIR]     (default: docs/, as windows-*-page.png)
#
# Needs build-win from scripts/build-windows.sh. Runs in a temporary folder with a throw-away
# wine prefix that trusts the local vendor server's CA; the repository is never touched.
set -euo pipefail
# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init screenshots-windows wine xvfb-run xauth xwininfo import identify python3
build=${NEMBRAL_WIN_BUILD_DIR:-$repo/build-win}
[ -x "$build/dist/nembral-launcher.exe" ] || die "no $build/dist/nembral-launcher.exe (run scripts/build-windows.sh)"
outdir="${1:-$repo/docs}"
mkdir -p "$outdir"
outdir="$(cd "$outdir" && pwd)"
delay="${NEMBRAL_SCREENSHOT_DELAY:-2}"

launcher_vendor_host "$build/bin/nembral-launcher.exe"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/nembral-winshots.XXXXXX")"
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  stop_vendor_server
  wineserver -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
(unset DISPLAY; wine wineboot -i </dev/null >/dev/null 2>&1)

# The program as a user starts it, from its own folder, through a small wrapper that the
# capture runs like the Linux launcher.
cat >"$scratch/launcher" <<EOF
#!/bin/sh
exec wine "$build/dist/nembral-launcher.exe" "\$@"
EOF
chmod +x "$scratch/launcher"

# shoot WORKDIR LOGLINE NAME: the picture of the page the launcher shows in WORKDIR once it has
# logged LOGLINE (its lines end in CR LF, so the log is read through a copy without them).
shoot() {
  local workdir=$1 logline=$2 name=$3
  capture_launcher_window "$scratch/launcher" "$workdir" "$logline" "$delay" "$outdir/$name" \
    WINEQT_QPA_PLATFORM=windows WINECOMSPEC="$(winpath "$scratch/record-interpreter.exe")"
}
cp "$build/bin/record-interpreter.exe" "$scratch/"
winpath "$scratch/commands.txt" >"$scratch/record-interpreter.exe.record"

"$repo/tools/make-package" 1.1 "$scratch/served" >/dev/null
start_vendor_server "$scratch/served" "$LAUNCHER_PORT" "$scratch/state" "$scratch/server.out" --quiet
(unset DISPLAY; wine "$build/bin/trust-ca.exe" "$(winpath "$VENDOR_CA")" </dev/null)

mkdir -p "$scratch/work" "$scratch/ask/nembral/nembral"
shoot "$scratch/work" "run command" windows-working-page.png
printf '1.0\n' >"$scratch/ask/nembral/nembral/version.txt"
cp "$build/bin/nembrals-stub.exe" "$scratch/ask/nembral/nembral/Nembrals.exe"
shoot "$scratch/ask" "new version available" windows-question-page.png
stop_vendor_server

mkdir -p "$scratch/offline"
shoot "$scratch/offline" "Could not find Nembral" windows-error-page.png
