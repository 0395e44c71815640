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
# shellcheck source=lib/common.sh
. "$repo/scripts/lib/common.sh"
msg_prefix=screenshot
out="${1:-$repo/docs/working-page.png}"
launcher="${2:-${NEMBRAL_LAUNCHER:-$repo/build/bin/nembral-launcher}}"
delay="${NEMBRAL_SCREENSHOT_DELAY:-2}"

require_tools xvfb-run xauth xwininfo import identify
[ -x "$launcher" ] || die "no launcher at $launcher (build it first)"

launcher="$(cd "$(dirname "$launcher")" && pwd)/$(basename "$launcher")"
mkdir -p "$(dirname "$out")"
out="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"

workdir="$(mktemp -d "${TMPDIR:-/tmp}/nembral-shot.XXXXXX")"
trap 'rm -rf "$workdir"' EXIT

# The working page needs no log line: the picture is taken once the window is up and settled.
capture_launcher_window "$launcher" "$workdir" "" "$delay" "$out"
