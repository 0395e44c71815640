#!/usr/bin/env bash
# The Windows installer under wine, after the Windows lane (scripts/test-windows.sh) has built
# build-win: builds it (scripts/package-windows.sh), and an older version of it (version 0.0.1,
# with two files the current one no longer ships), and in a fresh wine prefix
#   1. checks that the setup asks for no elevation (its manifest's "asInvoker"), installs it
#      silently (/S) and checks the per-user folder (every file of build-win/dist, the
#      uninstaller, the manifest of installed files), the Start-menu shortcut (target and
#      working directory, read from the .lnk by tools/read-lnk) and the Add/Remove Programs
#      entry under HKCU (none under HKLM);
#   2. uninstalls silently with the entry's QuietUninstallString: the program files, the
#      shortcut and the entry are gone, the user's nembral\ is kept;
#   3. installs the older version into a folder of its own (/D), starts its launcher there,
#      which waits on its error page (offline, nothing installed yet), and runs the current setup (/S) over it: it waits and changes nothing
#      while the launcher runs; once the launcher is gone it upgrades that folder (found in the
#      registry), without the dropped files, keeping nembral\;
#   4. uninstalls with /S /PURGE, once with a link deep in nembral\ and once with nembral\
#      itself a link: the targets of the links, and a file of their own there, are untouched.
# Prints "installer: N passed, N failed". Then the installed launcher goes down the table of
# roads (tests/e2e, the way "nsis": the setup installed into a fresh prefix of its own, the
# launcher started as its shortcut starts it). Exit status 0 when all passed.
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
# The older version: this program with two files of its own, one in a folder of its own.
cp -a "$build/dist" "$scratch/old-dist"
mkdir "$scratch/old-dist/legacy"
echo "shipped by 0.0.1 only" >"$scratch/old-dist/legacy/dropped.txt"
echo "shipped by 0.0.1 only" >"$scratch/old-dist/dropped.dll"
old_setup=$(NEMBRAL_SETUP_DIST="$scratch/old-dist" NEMBRAL_SETUP_VERSION=0.0.1 \
  NEMBRAL_SETUP_OUT="$scratch/old-setup.exe" bash scripts/package-windows.sh | tail -n1)

unset DISPLAY WAYLAND_DISPLAY
launcher_pid=""
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
  [ -z "$launcher_pid" ] || kill "$launcher_pid" 2>/dev/null || true
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
installed_version() { tr -d '\r' <"$1/nembral/nembral/version.txt" 2>/dev/null || true; }
# DIR DIST: DIR holds every file of DIST, the uninstaller and the manifest that lists exactly those.
holds_dist() {
  local dir=$1 dist=$2 f
  while IFS= read -r -d '' f; do
    cmp -s "$dist/$f" "$dir/$f" || { echo "    $dir/$f differs or is missing" >&2; return 1; }
  done < <(cd "$dist" && find . -type f -printf '%P\0')
  [ -f "$dir/uninstall.exe" ] || { echo "    no uninstall.exe" >&2; return 1; }
  same "$(tr -d '\r' <"$dir/install-manifest.txt" | sort)" \
    "$({ (cd "$dist" && find . -type f -printf '%P\n' | tr / '\134'); printf 'uninstall.exe\ninstall-manifest.txt\n'; } | sort)"
}
# DIR DIST: none of the files DIST installs is left in DIR.
program_gone() {
  local dir=$1 dist=$2 f
  for f in uninstall.exe install-manifest.txt; do
    [ ! -e "$dir/$f" ] || { echo "    $dir/$f is left" >&2; return 1; }
  done
  while IFS= read -r -d '' f; do
    [ ! -e "$dir/$f" ] || { echo "    $dir/$f is left" >&2; return 1; }
  done < <(cd "$dist" && find . -type f -printf '%P\0')
}
# DIR VERSION: a user's installation of VERSION in DIR\nembral\nembral.
user_installation() {
  mkdir -p "$1/nembral/nembral"
  cp "$build/bin/nembrals-stub.exe" "$1/nembral/nembral/Nembrals.exe"
  echo "$2" >"$1/nembral/nembral/version.txt"
}

uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\NembralLauncher'
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
program_win="$(wine_echo '%LOCALAPPDATA%')\\Programs\\Nembral Launcher"
program=$(unixpath "$program_win")
custom_win="$(wine_echo '%USERPROFILE%')\\Nembral here"
custom=$(unixpath "$custom_win")
shortcut=$(unixpath "$(wine_echo '%APPDATA%')\\Microsoft\\Windows\\Start Menu\\Programs\\Nembral Launcher.lnk")

echo "--- silent per-user install: $setup /S"
check "the setup asks for no elevation (asInvoker)" \
  grep -qa 'requestedExecutionLevel level="asInvoker"' "$setup"
status=0
timeout 300 wine "$setup" /S </dev/null >"$scratch/install.log" 2>&1 || status=$?
wait_for_wine
check "the setup exits with 0" same "$status" 0
check "the folder in the local application data holds build-win/dist, the uninstaller and the manifest" \
  holds_dist "$program" "$build/dist"
check "the Start-menu shortcut is there" test -f "$shortcut"
lnk_field() { tools/read-lnk "$shortcut" 2>/dev/null | sed -n "s/^$1=//p"; }
target_win=$(lnk_field target)
start_in_win=$(lnk_field workdir)
check "the shortcut runs nembral-launcher.exe of that folder" same "$target_win" "$program_win\\nembral-launcher.exe"
check "the shortcut's working directory is that folder" same "$start_in_win" "$program_win"
for entry in "DisplayName=Nembral Launcher" "DisplayVersion=$version" "Publisher=${NEMBRAL_PUBLISHER:-Kandu}" \
  "UninstallString=\"$program_win\\uninstall.exe\"" "QuietUninstallString=\"$program_win\\uninstall.exe\" /S" \
  "InstallLocation=$program_win" "DisplayIcon=$program_win\\nembral-launcher.exe,0" \
  "NoModify=0x1" "NoRepair=0x1"; do
  check "Add/Remove Programs under HKCU: ${entry%%=*}" same "$(reg_value "HKCU\\$uninstall_key" "${entry%%=*}" || true)" "${entry#*=}"
done
no_machine_entry() { ! reg_value "HKLM\\$uninstall_key" DisplayName >/dev/null; }
check "no entry under HKLM" no_machine_entry
size=$(reg_value "HKCU\\$uninstall_key" EstimatedSize || echo 0)
dist_kb=$(du -sk --apparent-size "$build/dist" | cut -f1)
# NSIS adds up the sizes of the files it installs in KiB; the uninstaller is not among them.
check "Add/Remove Programs: EstimatedSize ($((size)) KiB, the program has $dist_kb KiB)" \
  test "$((size))" -gt "$((dist_kb * 9 / 10))" -a "$((size))" -le "$((dist_kb * 11 / 10))"

echo "--- silent uninstall with the QuietUninstallString"
user_installation "$program" 2.1
quiet=$(reg_value "HKCU\\$uninstall_key" QuietUninstallString || true)
uninstaller=${quiet#\"}
uninstaller=${uninstaller%%\"*}
timeout 300 wine "$uninstaller" "${quiet##*\" }" </dev/null >"$scratch/uninstall.log" 2>&1 || true
wait_for_wine # the uninstaller runs on from a copy in the temporary folder
check "the program files are gone" program_gone "$program" "$build/dist"
check "the Start-menu shortcut is gone" test ! -e "$shortcut"
entry_gone() { ! reg_value "HKCU\\$uninstall_key" DisplayName >/dev/null; }
check "the Add/Remove Programs entry is gone" entry_gone
check "the user's nembral\\ is kept, and nothing else is left" same "$(ls "$program")" nembral
check "the user's installation is whole" same "$(installed_version "$program")" 2.1

echo "--- upgrade from 0.0.1 in a folder chosen with /D, while its launcher runs"
# /D= takes the rest of the command line as it is, unquoted: through cmd, as a user types it.
timeout 300 wine cmd /c "$(winpath "$old_setup") /S /D=$custom_win" </dev/null >>"$scratch/install.log" 2>&1 || true
wait_for_wine
check "0.0.1 is installed in the chosen folder" holds_dist "$custom" "$scratch/old-dist"
# The launcher is held on its error page: nothing installed and nothing listening on its vendor
# port, so it reaches the page after its failed attempts without a server, a certificate or a
# proxy of this machine in the way (the table's nsis way covers its https roads). The user's
# installation is made once it waits there.
wait_port_free "$LAUNCHER_PORT" 300
(cd "$custom" && exec env -u http_proxy -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
  WINEQT_QPA_PLATFORM=offscreen wine "$custom_win\\nembral-launcher.exe" \
  >"$scratch/launcher-waiting.log" 2>&1 </dev/null) &
launcher_pid=$!
for _ in $(seq 1 1200); do
  grep -q "Could not find Nembral" "$scratch/launcher-waiting.log" && break
  kill -0 "$launcher_pid" 2>/dev/null || break
  sleep 0.1
done
on_error_page() {
  grep -q "Could not find Nembral" "$scratch/launcher-waiting.log" && kill -0 "$launcher_pid" 2>/dev/null && return
  kill -0 "$launcher_pid" 2>/dev/null || echo "    the launcher has ended" >&2
  tr -d '\r' <"$scratch/launcher-waiting.log" | tail -n 5 | sed 's/^/    | /' >&2
  return 1
}
check "the 0.0.1 launcher waits on its error page" on_error_page
user_installation "$custom" 2.1
timeout 300 wine "$setup" /S </dev/null >>"$scratch/install.log" 2>&1 &
setup_pid=$!
sleep 8
both_run() { kill -0 "$launcher_pid" 2>/dev/null && kill -0 "$setup_pid" 2>/dev/null; }
check "while the launcher runs, the setup waits" both_run
check "and has changed nothing" holds_dist "$custom" "$scratch/old-dist"
kill "$launcher_pid" 2>/dev/null || true
wait "$launcher_pid" 2>/dev/null || true
launcher_pid=""
status=0
wait "$setup_pid" || status=$?
wait_for_wine
check "once the launcher has ended, the setup upgrades and exits with 0" same "$status" 0
check "the chosen folder (from HKCU InstallLocation) holds this version, the dropped files are gone" \
  holds_dist "$custom" "$build/dist"
check "the dropped files' folder is gone too" test ! -e "$custom/legacy"
check "no second copy in the default folder" program_gone "$program" "$build/dist"
check "the entry names this version" same "$(reg_value "HKCU\\$uninstall_key" DisplayVersion || true)" "$version"
check "and the chosen folder" same "$(reg_value "HKCU\\$uninstall_key" InstallLocation || true)" "$custom_win"
check "the user's nembral\\ is kept" same "$(installed_version "$custom")" 2.1

echo "--- /S /PURGE with a link deep in nembral\\ (and then with nembral\\ a link)"
mkdir -p "$scratch/elsewhere-deep/sub"
echo "not Nembral's" >"$scratch/elsewhere-deep/unrelated.txt"
echo "not Nembral's" >"$scratch/elsewhere-deep/sub/unrelated.txt"
ln -s "$scratch/elsewhere-deep" "$custom/nembral/nembral/moved"
timeout 300 wine "$custom_win\\uninstall.exe" /S /PURGE </dev/null >>"$scratch/uninstall.log" 2>&1 || true
wait_for_wine
check "the link's target and the files there are untouched" \
  same "$(cat "$scratch/elsewhere-deep/unrelated.txt" "$scratch/elsewhere-deep/sub/unrelated.txt" 2>/dev/null)" \
  "not Nembral's"$'\n'"not Nembral's"
check "the user's installation is removed" test ! -e "$custom/nembral/nembral/version.txt" -a ! -e "$custom/nembral/nembral/Nembrals.exe"
check "and the program files" program_gone "$custom" "$build/dist"

timeout 300 wine "$setup" /S </dev/null >>"$scratch/install.log" 2>&1 || true
wait_for_wine
mkdir -p "$scratch/elsewhere-top/nembral"
echo 2.1 >"$scratch/elsewhere-top/nembral/version.txt"
echo "not Nembral's" >"$scratch/elsewhere-top/unrelated.txt"
rm -rf "$program/nembral"
ln -s "$scratch/elsewhere-top" "$program/nembral"
timeout 300 wine "$program_win\\uninstall.exe" /S /PURGE </dev/null >>"$scratch/uninstall.log" 2>&1 || true
wait_for_wine
check "with nembral\\ a link: its target, the installation there and a file of its own are untouched" \
  same "$(cat "$scratch/elsewhere-top/nembral/version.txt" "$scratch/elsewhere-top/unrelated.txt" 2>/dev/null)" \
  "2.1"$'\n'"not Nembral's"
check "and the program files" program_gone "$program" "$build/dist"

if [ "$failed" -ne 0 ]; then
  for log in "$scratch"/launcher-*.log; do echo "--- $log"; cat "$log"; done
fi
echo "installer: $((checks - failed)) passed, $failed failed"

echo "--- the installed launcher down the table of roads (way nsis)"
status=0
"${NEMBRAL_E2E_PYTHON:-/usr/bin/python3}" -m pytest -p no:cacheprovider -q -rs tests/e2e/test_roads.py \
  --way nsis --build "$build" --setup "$setup" </dev/null || status=1
[ "$failed" -eq 0 ] && [ "$status" -eq 0 ]
