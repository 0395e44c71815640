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

# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init screenshot xvfb-run xauth xwininfo import identify
find_launcher "${2:-}"
out="${1:-$repo/docs/working-page.png}"
delay="${NEMBRAL_SCREENSHOT_DELAY:-2}"

mkdir -p "$(dirname "$out")"
out="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"

workdir="$(mktemp -d "${TMPDIR:-/tmp}/nembral-shot.XXXXXX")"
trap 'rm -rf "$workdir"' EXIT

# The working page needs no log line: the picture is taken once the window is up and settled.
capture_launcher_window "$LAUNCHER" "$workdir" "" "$delay" "$out"
