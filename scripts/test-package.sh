#!/usr/bin/env bash
# The Debian package lane: builds the package (scripts/package.sh), checks what it contains,
# unpacks it into a throw-away root with dpkg -x and runs the installed launcher, through its
# /usr/bin wrapper, against the local vendor server:
#
#   1. install road: a fresh HOME, so the wrapper makes ~/.local/share/nembral-launcher; the
#      launcher downloads the published package, has the installed unzip.exe extract it,
#      starts the demo application and exits 0;
#   2. start road: the same directory given as NEMBRAL_LAUNCHER_WORKDIR, no HOME at all; the
#      versions are equal, so the launcher starts the installed application straight away.
#
# The installed launcher has the vendor host of the package build built in (localhost:8443 by
# default, the demo's port too), so the server must get exactly that port: when something
# already listens there (a demo server kept with --keep-server, say) the lane waits a minute
# for it to go and then fails saying so. Runs on the offscreen Qt platform; needs no display.
# Ends with "package: N passed, N failed".
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/common.sh
. "$repo/scripts/lib/common.sh"
msg_prefix=package
cd "$repo"

require_tools apt-get dpkg-deb dpkg-parsechangelog readelf identify timeout
build="${NEMBRAL_PACKAGE_BUILD_DIR:-$repo/build-package}"
export NEMBRAL_PACKAGE_BUILD_DIR="$build"

passed=0
failed=0
check() { # check DESCRIPTION COMMAND...: runs COMMAND and counts its outcome
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "package: ok: $what"
  else
    failed=$((failed + 1))
    echo "package: FAILED: $what" >&2
  fi
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/nembral-package-test.XXXXXX")
cleanup() {
  stop_vendor_server
  rm -rf "$tmp"
}
trap cleanup EXIT

# --- the package --------------------------------------------------------------------------
bash scripts/package.sh
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb="$build/nembral-launcher_${version}_${arch}.deb"
[ -f "$deb" ] || die "scripts/package.sh did not leave $deb"

# Exactly these files (directories aside): no test, benchmark or helper program, and the icon
# in the theme directory of its real size.
icon_size=$(identify -format '%wx%h' resources/icons/kandu-logo.png)
expected_files="usr/bin/nembral-launcher
usr/lib/nembral-launcher/nembral-launcher
usr/lib/nembral-launcher/unzip.exe
usr/share/applications/nembral-launcher.desktop
usr/share/doc/nembral-launcher/changelog.gz
usr/share/doc/nembral-launcher/copyright
usr/share/icons/hicolor/$icon_size/apps/nembral-launcher.png
usr/share/man/man1/nembral-launcher.1.gz"
packaged_files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)
check "the package holds exactly the launcher's files" [ "$packaged_files" = "$expected_files" ]
[ "$packaged_files" = "$expected_files" ] || diff <(echo "$expected_files") <(echo "$packaged_files") | sed 's/^/    /' >&2 || true

field() { dpkg-deb -f "$deb" "$1"; }
check "Package, Version, Architecture: nembral-launcher $version $arch" \
  [ "$(field Package) $(field Version) $(field Architecture)" = "nembral-launcher $version $arch" ]
# Only dpkg-shlibdeps can have put these here: Qt from the launcher, libarchive from unzip.exe.
depends=$(field Depends)
depends_both() { [[ "$depends" == *libqt6widgets6* && "$depends" == *libcurl4* && "$depends" == *libarchive13* ]]; }
check "Depends has the libraries of both binaries ($depends)" depends_both

# What "apt install ./nembral-launcher_..." would do, without doing it: the dependencies resolve.
apt_would_install() { apt-get install --simulate "$deb" 2>&1 | grep -q '^Inst nembral-launcher '; }
check "apt can install the package (simulated)" apt_would_install

root="$tmp/root"
mkdir -p "$root"
dpkg-deb -x "$deb" "$root"
private="$root/usr/lib/nembral-launcher"
stripped_and_no_runpath() {
  local f
  for f in "$private/nembral-launcher" "$private/unzip.exe"; do
    readelf -S "$f" | grep -q '\.debug_\|\.symtab' && { echo "    $f is not stripped" >&2; return 1; }
    ! readelf -d "$f" | grep -q 'RPATH\|RUNPATH' || { echo "    $f has a run-time search path" >&2; return 1; }
  done
}
check "the binaries are stripped and carry no run-time search path" stripped_and_no_runpath
changelog_names_version() {
  [ "$(gzip -dc "$root/usr/share/doc/nembral-launcher/changelog.gz" | dpkg-parsechangelog -l - -S Version)" = "$version" ]
}
check "the changelog is compressed and names version $version" changelog_names_version
desktop="$root/usr/share/applications/nembral-launcher.desktop"
desktop_refs_resolve() {
  local exec icon
  exec=$(sed -n 's/^Exec=//p' "$desktop")
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  [ -x "$root/usr/bin/${exec%% *}" ] || { echo "    Exec=$exec is not in /usr/bin" >&2; return 1; }
  cmp -s "$root/usr/share/icons/hicolor/$icon_size/apps/$icon.png" resources/icons/kandu-logo.png ||
    { echo "    Icon=$icon is not the window icon in the hicolor theme" >&2; return 1; }
}
check "the desktop entry's Exec and Icon are the packaged wrapper and window icon" desktop_refs_resolve

# --- the vendor server on the port the installed launcher expects ---------------------------
launcher_vendor_host "$build/bin/nembral-launcher"
case "${LAUNCHER_HOST%:*}" in
  localhost|127.0.0.1) ;;
  *) die "the package was built for the vendor host $LAUNCHER_HOST; this test needs localhost:PORT (reconfigure $build with -DNEMBRAL_VENDOR_HOST=localhost:8443)" ;;
esac
port=$LAUNCHER_PORT
wait_port_free "$port" 60

# The demo application's own version, published by the server (not the launcher's version).
app_version=1.0
tools/make-package "$app_version" "$tmp/vendor" >/dev/null
start_vendor_server "$tmp/vendor" "$port" "$tmp/vendor-state" "$tmp/vendor-server.log" --quiet

# The only unzip.exe the launcher can find must be the packaged one.
base_path=/usr/bin:/bin
mkdir -m 700 "$tmp/runtime"
[ -z "$(PATH=$base_path command -v unzip.exe)" ] || die "an unzip.exe on $base_path would hide the packaged one"

run_installed() { # run_installed LOG VAR=VALUE...: the wrapper in a clean environment
  local log=$1 status=0
  shift
  env -i PATH="$base_path" LANG=C.UTF-8 XDG_RUNTIME_DIR="$tmp/runtime" SSL_CERT_FILE="$VENDOR_CA" QT_QPA_PLATFORM=offscreen \
    NEMBRAL_DEMO_HEADLESS=1 "$@" timeout 120 "$root/usr/bin/nembral-launcher" </dev/null >"$log" 2>&1 || status=$?
  echo "$status"
}
stopped_note() { [ "$1" != 124 ] || echo ": still running after 120 s, stopped"; }
has_line() { grep -qxF "$2" "$1"; }
demo_lines() { if [ -f "$1" ]; then grep -cxF "Nembral $app_version running" "$1" || true; else echo 0; fi; }
wait_demo_lines() { # the demo application runs on after the launcher has quit
  for _ in $(seq 1 100); do [ "$(demo_lines "$1")" -ge "$2" ] && return 0; sleep 0.1; done
  return 1
}

# --- 1. install road, the default working directory ---------------------------------------
failed_before_install=$failed
home="$tmp/home"
mkdir -p "$home"
work="$home/.local/share/nembral-launcher"
app="$work/nembral/nembral"
log1="$tmp/launcher-install.log"
status=$(run_installed "$log1" HOME="$home")
echo "----- installed launcher, install road -----"
sed 's/^/    /' "$log1"
check "install road: the launcher exits 0 (exit status $status$(stopped_note "$status"))" [ "$status" = 0 ]
private_workdir() { [ -d "$work" ] && [ "$(stat -c %a "$work")" = 700 ]; }
check "install road: the wrapper made the working directory $work, private to the user" private_workdir
check "install road: \"UNZIP complete!\" is logged" has_line "$log1" "UNZIP complete!"
check "install road: \"Start Nembral\" is logged" has_line "$log1" "Start Nembral"
installed_tree() { [ -x "$app/Nembrals.exe" ] && [ "$(head -n1 "$app/version.txt" 2>/dev/null)" = "$app_version" ]; }
check "install road: the installed tree is in the working directory, version $app_version" installed_tree
downloads_gone() { [ ! -e "$work/nembral/nembral.zip" ] && [ ! -e "$work/version.txt" ]; }
check "install road: the archive and the downloaded version file are gone" downloads_gone
check "install road: the demo application reports \"Nembral $app_version running\"" \
  wait_demo_lines "$app/nembral-demo.log" 1

# --- 2. start road, the working directory given by the environment, no HOME ----------------
# Without an installation from road 1 it would only wait out the same fault again.
if [ "$failed" -ne "$failed_before_install" ]; then
  echo "package: start road skipped: the install road failed"
  echo "package: $passed passed, $failed failed"
  exit 1
fi
log2="$tmp/launcher-start.log"
status=$(run_installed "$log2" NEMBRAL_LAUNCHER_WORKDIR="$work")
echo "----- installed launcher, start road -----"
sed 's/^/    /' "$log2"
check "start road: the launcher exits 0 (exit status $status$(stopped_note "$status"))" [ "$status" = 0 ]
started_without_update() { has_line "$log2" "update not necessary" && has_line "$log2" "Start Nembral"; }
check "start road: \"update not necessary\" and \"Start Nembral\" are logged" started_without_update
check "start road: the demo application runs again" wait_demo_lines "$app/nembral-demo.log" 2

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
