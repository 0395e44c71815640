#!/usr/bin/env bash
# The Windows lane: cross-builds the whole launcher with mingw-w64 against the Windows Qt
# (scripts/build-windows.sh; its first run on a machine builds that Qt, about 20 minutes) and
# runs under wine, in a throw-away wine prefix that trusts the local vendor server's CA:
#   - the shared platform suites (tests/platform),
#   - the shared window, workflow (and extraction tool) suites, on the offscreen platform,
#     their vendor servers started by the broker (tools/vendor-server/vendor-broker),
#   - the deployed build-win/dist/nembral-launcher.exe itself down the table of roads (tests/e2e,
#     the way "wine"), the question page's buttons clicked through X on a virtual display
#     (Xvfb, xdotool), and the release-statement rows (tests/e2e/test_release.py) with the
#     build's keyed test launcher run from a copy of dist,
#   - clang-tidy on the Windows bodies (*_win.cpp) through the cross-build's compile database,
# all over https, as the launcher talks to the vendor.
# Exit status: 0 when every test passed. unzip.exe is built with the static libarchive and
# libcrypto and libdeflate of scripts/windows-deps.sh (built once per machine, then taken from its cache).
#
#   bash scripts/test-windows.sh            (build directory: build-win)
#   NEMBRAL_WIN_BUILD_DIR=/some/dir bash scripts/test-windows.sh
#   NEMBRAL_KEEP_WINEPREFIX=1 keeps the prefix (about 700 MB) in <build>/wineprefix for a look
#   afterwards, e.g. WINEPREFIX=build-win/wineprefix wine build-win/bin/tst_downloadattempt.exe
set -euo pipefail
# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init test-windows x86_64-w64-mingw32-g++-posix wine python3 Xvfb xdotool || exit 2
cd "$repo"

build=${NEMBRAL_WIN_BUILD_DIR:-$repo/build-win}
export NEMBRAL_WIN_BUILD_DIR=$build
jobs=$(nproc)
lane_start=$(date +%s)
step() { printf -- '--- %s (%ss)\n' "$1" "$(($(date +%s) - lane_start))"; }

# NEMBRAL_WIN_BUILT=1: the build is up to date (scripts/test.sh has made it, and the installer's
# test may be reading it at the same time).
if [ "${NEMBRAL_WIN_BUILT:-0}" != 1 ]; then
  step "cross-build (scripts/build-windows.sh)"
  bash scripts/build-windows.sh >/dev/null
fi

# wine, headless and quiet: no display (the programs run on the offscreen platform, and
# wineboot then shows no dialog), no debug channels (this also silences the hint about the
# missing 32-bit wine, which 64-bit programs do not need), and no prompts to install Mono or
# Gecko.
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX="$build/wineprefix"

extra_pids=()
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
  local pid
  for pid in "${extra_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  # Ends the wine processes of our own prefix only, then drops the prefix.
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    [ "${NEMBRAL_KEEP_WINEPREFIX:-0}" = 1 ] || rm -rf "$WINEPREFIX"
  fi
}
trap cleanup EXIT

# The Windows bodies, which the lint lane's clang-tidy does not see, through this build's
# compile database: beside the runs under wine, which leave the cores idle much of the time.
step "clang-tidy on the Windows bodies (scripts/lint.sh tidy-win), in the background"
bash scripts/lint.sh tidy-win </dev/null >"$build/tidy-win.log" 2>&1 &
tidy_pid=$!
extra_pids+=("$tidy_pid")

step "fresh wine prefix"
rm -rf "$WINEPREFIX"
wine wineboot -i </dev/null >"$build/wineboot.log" 2>&1 || { cat "$build/wineboot.log" >&2; exit 1; }

step "vendor broker for the suites"
"$repo/tools/vendor-server/vendor-broker" >"$build/wine-broker.out" 2>&1 &
extra_pids+=("$!")
for _ in $(seq 1 100); do grep -q '^PORT=' "$build/wine-broker.out" && break; sleep 0.1; done
NEMBRAL_VENDOR_BROKER=$(sed -n 's/^PORT=//p' "$build/wine-broker.out")
[ -n "$NEMBRAL_VENDOR_BROKER" ] || { cat "$build/wine-broker.out" >&2; die "the vendor broker did not start"; }
export NEMBRAL_VENDOR_BROKER

step "link fixture"
# wine 8 makes neither directory symbolic links nor junctions through the API, but shows a Unix
# symbolic link to a directory as a directory reparse point: the link cases of the file helpers
# use these. CASE/nembral[/nembral] -> outside/CASE[/nembral], each with an installation behind;
# for the download attempt, download-link/nembral -> outside/download-link; for unzip.exe,
# unzip-destination-link/nembral and unzip-tree-link/nembral/nembral -> outside/CASE/, which
# holds keep.txt.
links="$build/wine-links"
rm -rf "$links"
for case in installed-link way-link; do
  mkdir -p "$links/outside/$case/nembral" "$links/$case"
  printf '1.0\n' >"$links/outside/$case/nembral/version.txt"
  printf 'x' >"$links/outside/$case/nembral/Nembrals.exe"
done
mkdir -p "$links/installed-link/nembral"
ln -s "$links/outside/installed-link/nembral" "$links/installed-link/nembral/nembral"
ln -s "$links/outside/way-link" "$links/way-link/nembral"
mkdir -p "$links/outside/download-link" "$links/download-link"
printf 'keep' >"$links/outside/download-link/keep.txt"
ln -s "$links/outside/download-link" "$links/download-link/nembral"
for case in unzip-destination-link unzip-tree-link; do
  mkdir -p "$links/outside/$case" "$links/$case"
  printf 'keep' >"$links/outside/$case/keep.txt"
done
ln -s "$links/outside/unzip-destination-link" "$links/unzip-destination-link/nembral"
mkdir -p "$links/unzip-tree-link/nembral"
ln -s "$links/outside/unzip-tree-link" "$links/unzip-tree-link/nembral/nembral"
NEMBRAL_LINK_FIXTURE=$(winpath "$links")
export NEMBRAL_LINK_FIXTURE

step "tests under wine"
status=0
# wine starts its desktop with the first program that needs one: two suites starting together
# in a fresh prefix can both find none ("CreateWindow() for QEventDispatcherWin32 internal
# window failed"), and the download attempt then hung until its time-out. One short suite
# alone starts the desktop first, and a waiting program keeps it, and the server, up while the
# suites run side by side.
wine ping -n 3600 127.0.0.1 </dev/null >/dev/null 2>&1 &
keeper=$!
extra_pids+=("$keeper")
ctest --test-dir "$build" -R '^tst_resources$' </dev/null >/dev/null || true
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300 </dev/null || status=1
kill "$keeper" 2>/dev/null || true

echo
echo "Windows tests under $(wine --version 2>/dev/null):"
log="$build/Testing/Temporary/LastTest.log"
if [ -f "$log" ]; then
  awk '/^[0-9]+\/[0-9]+ Test: /{name=$3}
       /^Totals: /{printf "  %-26s %s\n", name, $0}' "$log"
fi

step "the deployed launcher (build-win/dist) down the table of roads"
# The real program as a user's copy runs it, from its own folder. It is built for the configured
# vendor host (localhost:8443 by default): as root the rows run side by side, each with a
# loopback and a wine prefix of its own; otherwise one by one in this prefix, and the port must
# be free.
"${NEMBRAL_E2E_PYTHON:-/usr/bin/python3}" -m pytest -p no:cacheprovider -q -rs "$repo/tests/e2e" \
  --way wine --build "$build" </dev/null || status=1

step "clang-tidy on the Windows bodies"
wait "$tidy_pid" || status=1
cat "$build/tidy-win.log"

step "done"
if [ "$status" -eq 0 ]; then
  echo "Windows lane: all tests passed"
else
  echo "Windows lane: FAILED"
fi
exit "$status"
