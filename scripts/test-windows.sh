#!/usr/bin/env bash
# The Windows lane: cross-builds the Qt-free platform layer, the extraction tool unzip.exe and
# their tests with mingw-w64 and runs them under wine, in a throw-away wine prefix, against the
# loopback vendor server over plain http. Needs no display and no input. Exit status: 0 when
# every test passed. The tool's static libarchive and libcrypto come from scripts/windows-deps.sh
# (built once per machine, then taken from its cache).
#
#   bash scripts/test-windows.sh            (build directory: build-win)
#   NEMBRAL_WIN_BUILD_DIR=/some/dir bash scripts/test-windows.sh
#   NEMBRAL_KEEP_WINEPREFIX=1 keeps the prefix (about 700 MB) in <build>/wineprefix for a look
#   afterwards, e.g. WINEPREFIX=build-win/wineprefix wine build-win/bin/tst_win_namedmutex.exe
set -euo pipefail
# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init test-windows x86_64-w64-mingw32-g++-posix wine python3 || exit 2
cd "$repo"

build=${NEMBRAL_WIN_BUILD_DIR:-$repo/build-win}
jobs=$(nproc)
lane_start=$(date +%s)
step() { printf -- '--- %s (%ss)\n' "$1" "$(($(date +%s) - lane_start))"; }

step "libarchive and libcrypto for Windows"
win_deps=$(bash "$repo/scripts/windows-deps.sh" | tail -n1)

step "cross-build"
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
  -DNEMBRAL_PLATFORM_ONLY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DNEMBRAL_WIN_DEPS="$win_deps" >/dev/null
cmake --build "$build" -j"$jobs"

# wine, headless and quiet: no display (console programs need none, and wineboot then shows no
# dialog), no debug channels (this also silences the hint about the missing 32-bit wine, which
# 64-bit programs do not need), and no prompts to install Mono or Gecko.
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX="$build/wineprefix"

# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
  stop_vendor_server
  # Ends the wine processes of our own prefix only, then drops the prefix.
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    [ "${NEMBRAL_KEEP_WINEPREFIX:-0}" = 1 ] || rm -rf "$WINEPREFIX"
  fi
}
trap cleanup EXIT

step "fresh wine prefix"
rm -rf "$WINEPREFIX"
wine wineboot -i </dev/null >"$build/wineboot.log" 2>&1 || { cat "$build/wineboot.log" >&2; exit 1; }

step "loopback vendor server (http)"
# The files the shared download cases expect (tests/platform/cases/download_cases.h): the
# version body "1.4.2\r\n" and a package of 3 MiB + 17 bytes.
served="$build/wine-served"
rm -rf "$served" && mkdir -p "$served"
printf '1.4.2\r\n' >"$served/version.txt"
python3 -c 'import sys; n = 3 * 1024 * 1024 + 17; sys.stdout.buffer.write(bytes(i * 7 % 251 for i in range(n)))' \
  >"$served/nembral.zip"
start_vendor_server "$served" 0 "" "$build/wine-server.out" --http --quiet
export NEMBRAL_HTTP_BASE="http://127.0.0.1:$VENDOR_PORT" NEMBRAL_HTTP_ROOT="$served"

step "link fixture"
# wine 8 makes neither directory symbolic links nor junctions through the API, but shows a Unix
# symbolic link to a directory as a directory reparse point: the link cases of the file helpers
# use these. CASE/nembral[/nembral] -> outside/CASE[/nembral], each with an installation behind;
# for the download, download-link/nembral -> outside/download-link; for unzip.exe,
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
# wine's drive Z: is the Unix root.
export NEMBRAL_LINK_FIXTURE="Z:${links//\//\\}"

step "tests under wine"
status=0
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300 </dev/null || status=1

echo
echo "Windows platform tests under $(wine --version 2>/dev/null):"
log="$build/Testing/Temporary/LastTest.log"
if [ -f "$log" ]; then
  # Each program ends with "N passed, N failed"; ctest's log keeps every program's output.
  awk '/^[0-9]+\/[0-9]+ Test: /{name=$3} /^[0-9]+ passed, [0-9]+ failed$/{printf "  %-26s %s\n", name, $0}' "$log"
fi
step "done"
if [ "$status" -eq 0 ]; then
  echo "Windows lane: all tests passed"
else
  echo "Windows lane: FAILED"
fi
exit "$status"
