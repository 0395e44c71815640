#!/usr/bin/env bash
# The Windows installer under wine, after the Windows lane (scripts/test-windows.sh) has built
# build-win: builds it (scripts/package-windows.sh) and, in a fresh wine prefix,
#   1. installs it silently (/S) and checks the program folder (every file of build-win/dist,
#      nembral-start.exe, the uninstaller), the user's working folder, the Start-menu shortcut
#      (target and working directory, read from the .lnk by tools/read-lnk) and the entry in
#      Add/Remove Programs;
#   2. starts the launcher as the shortcut does (its target, in its working directory) against
#      the local https vendor server, which publishes a package whose Nembrals.exe notes its
#      start: a first install through cmd.exe and the installed unzip.exe, then the start of
#      Nembrals.exe;
#   3. uninstalls silently with the entry's QuietUninstallString: the program folder, the
#      shortcut and the entry are gone, the user's installation is kept;
#   4. installs again and uninstalls with /S /PURGE: the user's working folder is gone too.
# Ends with "installer: N passed, N failed"; exit status 0 when all passed.
#
#   bash scripts/test-windows-installer.sh       (build directory: build-win, NEMBRAL_WIN_BUILD_DIR)
set -euo pipefail
# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init test-windows-installer wine winepath wineserver python3 makensis || exit 2
cd "$repo"

build=${NEMBRAL_WIN_BUILD_DIR:-$repo/build-win}
export NEMBRAL_WIN_BUILD_DIR=$build
setup=$(bash scripts/package-windows.sh | tail -n1)
launcher_vendor_host "$build/bin/nembral-launcher.exe"

scratch="$build/installer-test"
rm -rf "$scratch" && mkdir -p "$scratch"
unset DISPLAY WAYLAND_DISPLAY
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
  stop_vendor_server
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
}
trap cleanup EXIT
fresh_wineprefix "$scratch/prefix"

checks=0 failed=0
check() { # NAME COMMAND...: runs the command; counts and prints the outcome
  local name=$1
  shift
  checks=$((checks + 1))
  if "$@"; then echo "  ok   $name"; else echo "  FAIL $name"; failed=$((failed + 1)); fi
}
same() { [ "$1" = "$2" ] || { echo "    got '$1', expected '$2'" >&2; return 1; }; }
# A Windows program's value, its line end taken off.
wine_echo() { wine cmd /c echo "$1" </dev/null 2>/dev/null | tr -d '\r'; }
unixpath() { winepath -u "$1" 2>/dev/null | tr -d '\r'; }
reg_value() { # KEY NAME: the value's data as reg.exe prints it; fails when there is none
  wine reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 \{1,\}REG_[A-Z_]* \{1,\}//p" | grep .
}
wait_for_wine() { timeout 120 wineserver -w </dev/null >/dev/null 2>&1 || true; }

uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\NembralLauncher'
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
program_win="$(wine_echo '%ProgramFiles%')\\Nembral Launcher"
program=$(unixpath "$program_win")
workdir_win="$(wine_echo '%LOCALAPPDATA%')\\Nembral Launcher"
workdir=$(unixpath "$workdir_win")
shortcut=$(unixpath "$(wine_echo '%APPDATA%')\\Microsoft\\Windows\\Start Menu\\Programs\\Nembral Launcher.lnk")

echo "--- silent install: $setup /S"
status=0
timeout 300 wine "$setup" /S </dev/null >"$scratch/install.log" 2>&1 || status=$?
wait_for_wine
check "the installer exits with 0" same "$status" 0
dist_matches() {
  local f
  while IFS= read -r -d '' f; do
    cmp -s "$build/dist/$f" "$program/$f" || { echo "    $program/$f differs or is missing" >&2; return 1; }
  done < <(cd "$build/dist" && find . -type f -printf '%P\0')
}
check "the program folder holds build-win/dist" dist_matches
check "the program folder holds nembral-start.exe and uninstall.exe" \
  test -f "$program/nembral-start.exe" -a -f "$program/uninstall.exe"
check "the user's working folder is made" test -d "$workdir"

check "the Start-menu shortcut is there" test -f "$shortcut"
lnk_field() { tools/read-lnk "$shortcut" 2>/dev/null | sed -n "s/^$1=//p"; }
target_win=$(lnk_field target)
start_in_win=$(lnk_field workdir)
check "the shortcut runs nembral-start.exe in the program folder" same "$target_win" "$program_win\\nembral-start.exe"
check "the shortcut's working directory is the user's working folder" same "$start_in_win" "$workdir_win"

for entry in "DisplayName=Nembral Launcher" "DisplayVersion=$version" "Publisher=${NEMBRAL_PUBLISHER:-Kandu}" \
  "UninstallString=\"$program_win\\uninstall.exe\"" "QuietUninstallString=\"$program_win\\uninstall.exe\" /S" \
  "InstallLocation=$program_win" "DisplayIcon=$program_win\\nembral-launcher.exe,0" \
  "NoModify=0x1" "NoRepair=0x1"; do
  check "Add/Remove Programs: ${entry%%=*}" same "$(reg_value "$uninstall_key" "${entry%%=*}" || true)" "${entry#*=}"
done
size=$(reg_value "$uninstall_key" EstimatedSize || echo 0)
installed_kb=$(du -sk "$program" | cut -f1)
# NSIS adds up the sizes of the program folder's files in KiB; du counts whole blocks, a little more.
check "Add/Remove Programs: EstimatedSize ($((size)) KiB, the folder has $installed_kb KiB on disk)" \
  test "$((size))" -gt "$((installed_kb * 9 / 10))" -a "$((size))" -le "$installed_kb"

echo "--- the launcher as the shortcut starts it, a first install over https"
stub_package "$scratch/served" "$build/bin/nembrals-stub.exe" 2.0
wait_port_free "$LAUNCHER_PORT" 300
start_vendor_server "$scratch/served" "$LAUNCHER_PORT" "$scratch/state" "$scratch/server.out" --quiet
wine "$build/bin/trust-ca.exe" "$(winpath "$VENDOR_CA")" </dev/null
status=0
(cd "$(unixpath "$start_in_win")" && WINEQT_QPA_PLATFORM=offscreen timeout 120 wine "$target_win" \
  >"$scratch/launcher.log" 2>&1 </dev/null) || status=$?
sed -i 's/\r$//' "$scratch/launcher.log"
app="$workdir/nembral/nembral"
for _ in $(seq 1 100); do [ -s "$app/started.log" ] && break; sleep 0.1; done
check "the launcher exits with 0" same "$status" 0
check "the launcher logs 'UNZIP complete!', then 'Start Nembral'" \
  grep -qzP '(^|\n)UNZIP complete!\n(.*\n)*Start Nembral\n' "$scratch/launcher.log"
check "Nembral 2.0 is installed in the working folder" same "$(tr -d '\r' <"$app/version.txt" 2>/dev/null)" 2.0
check "the installed Nembrals.exe started in nembral\\nembral" grep -q 'started in .*Nembral Launcher.nembral.nembral: 2.0 complete' "$app/started.log"
stop_vendor_server
wait_for_wine

echo "--- silent uninstall with the QuietUninstallString"
quiet=$(reg_value "$uninstall_key" QuietUninstallString || true)
uninstaller=${quiet#\"}
uninstaller=${uninstaller%%\"*}
timeout 300 wine "$uninstaller" "${quiet##*\" }" </dev/null >"$scratch/uninstall.log" 2>&1 || true
wait_for_wine # the uninstaller runs on from a copy in the temporary folder
check "the program folder is gone" test ! -e "$program"
check "the Start-menu shortcut is gone" test ! -e "$shortcut"
entry_gone() { ! reg_value "$uninstall_key" DisplayName >/dev/null; }
check "the Add/Remove Programs entry is gone" entry_gone
check "the user's installation is kept" same "$(tr -d '\r' <"$app/version.txt" 2>/dev/null)" 2.0

echo "--- install again, uninstall with /S /PURGE"
timeout 300 wine "$setup" /S </dev/null >>"$scratch/install.log" 2>&1 || true
wait_for_wine
check "installed again over the kept working folder" test -f "$program/nembral-launcher.exe" -a -f "$app/version.txt"
timeout 300 wine "$uninstaller" /S /PURGE </dev/null >>"$scratch/uninstall.log" 2>&1 || true
wait_for_wine
check "/PURGE removes the user's working folder too" test ! -e "$workdir"
check "and the program folder" test ! -e "$program"

[ "$failed" -eq 0 ] || { echo "--- launcher log"; cat "$scratch/launcher.log"; }
echo "installer: $((checks - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
