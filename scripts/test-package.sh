#!/usr/bin/env bash
# The Debian package lane: builds the package (scripts/package.sh), checks what it contains,
# unpacks it into a throw-away root with dpkg -x, and runs the table of roads (tests/e2e) on the
# installed launcher through its /usr/bin wrapper, in a clean environment, against the local
# vendor server (way "deb": the rows that apply to a package, among them the wrapper's default
# working folder below a fresh HOME, and every other road with the folder given in
# NEMBRAL_LAUNCHER_WORKDIR and no HOME).
#
# The installed launcher has the vendor host of the package build built in (localhost:8443 by
# default, the demo's port too), so its servers must get exactly that port, one row after the
# other: when something already listens there (a demo server kept with --keep-server, say) the
# lane waits a minute for it to go and then fails saying so. Ends with "package: N passed, N failed".
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/common.sh
. "$repo/scripts/lib/common.sh"
msg_prefix=package
cd "$repo"

require_tools apt-get dpkg-deb dpkg-parsechangelog readelf identify
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
cleanup() { rm -rf "$tmp"; }
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

# --- the installed launcher down the table's roads ------------------------------------------
# Every row of tests/e2e/table.py that applies to the package, one after the other on the port
# the installed launcher was built for (localhost:8443 by default, the demo's port too).
no_test_variable() { ! grep -q NEMBRAL_TEST_VENDOR_HOST "$private/nembral-launcher"; }
check "the packaged launcher is no test build (no NEMBRAL_TEST_VENDOR_HOST in it)" no_test_variable
launcher_vendor_host "$build/bin/nembral-launcher"
case "${LAUNCHER_HOST%:*}" in
  localhost|127.0.0.1) ;;
  *) die "the package was built for the vendor host $LAUNCHER_HOST; this test needs localhost:PORT (reconfigure $build with -DNEMBRAL_VENDOR_HOST=localhost:8443)" ;;
esac
wait_port_free "$LAUNCHER_PORT" 60
roads() { PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider -q -rs tests/e2e --way deb --deb "$deb"; }
check "the installed launcher down the table's roads (tests/e2e, way deb)" roads

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
