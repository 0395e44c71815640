#!/usr/bin/env bash
# Runs the built launcher on a virtual X display and saves a picture of its window.
#
#   scripts/screenshot.sh [OUTPUT.png] [LAUNCHER]
#
#   OUTPUT.png  where the picture goes           (default: docs/working-page.png in the repository)
#   LAUNCHER    the launcher binary              (default: $NEMBRAL_LAUNCHER, else build/bin/nembral-launcher)
#   NEMBRAL_SCREENSHOT_DELAY  seconds to let the window settle after it appears (default 2)
#
# The launcher runs in a fresh temporary directory, because it downloads into and installs below
# its working directory; the repository is never touched. Xvfb has no compositor, so the window's
# see-through corners come out black.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$repo/docs/working-page.png}"
launcher="${2:-${NEMBRAL_LAUNCHER:-$repo/build/bin/nembral-launcher}}"
delay="${NEMBRAL_SCREENSHOT_DELAY:-2}"

for tool in xvfb-run xauth xwininfo import identify; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool not found (run scripts/setup.sh)" >&2; exit 1; }
done
[ -x "$launcher" ] || { echo "screenshot: no launcher at $launcher (build it first)" >&2; exit 1; }

launcher="$(cd "$(dirname "$launcher")" && pwd)/$(basename "$launcher")"
mkdir -p "$(dirname "$out")"
out="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"

workdir="$(mktemp -d "${TMPDIR:-/tmp}/nembral-shot.XXXXXX")"
trap 'rm -rf "$workdir"' EXIT

# Everything that needs the display runs inside xvfb-run: start the launcher, wait for its
# window, let it paint, grab the window, stop the launcher.
capture='
set -euo pipefail
launcher=$1 delay=$2 workdir=$3
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
for _ in $(seq 1 100); do
  kill -0 "$pid" 2>/dev/null || { echo "screenshot: launcher exited early:" >&2; cat "$workdir/launcher.log" >&2; exit 1; }
  win=$(xwininfo -name MainWindow 2>/dev/null | sed -n "s/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p" || true)
  if [ -n "$win" ] && xwininfo -id "$win" 2>/dev/null | grep "Map State: IsViewable" >/dev/null; then break; fi
  win=""
  sleep 0.1
done
[ -n "$win" ] || { echo "screenshot: no window named MainWindow appeared" >&2; exit 1; }
sleep "$delay"
kill -0 "$pid" 2>/dev/null || { echo "screenshot: launcher exited before the capture:" >&2; cat "$workdir/launcher.log" >&2; exit 1; }
import -silent -window "$win" -type TrueColor -depth 8 -strip -define png:exclude-chunks=date,time "png24:$workdir/shot.png"
'
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
  bash -c "$capture" capture "$launcher" "$delay" "$workdir"

size="$(identify -format '%wx%h' "$workdir/shot.png")"
if [ "$size" != "600x300" ]; then
  echo "screenshot: captured $size, expected the 600x300 window" >&2
  exit 1
fi
cp "$workdir/shot.png" "$out"
echo "screenshot: $out ($size)"
