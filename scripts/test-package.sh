#!/usr/bin/env bash
# Checks what the Debian package holds (the package lane's CTest test package-contents, run by
# `cmake --workflow --preset package` after its package step; scripts/package.sh runs it too):
#
#   bash scripts/test-package.sh build-package/nembral-launcher_<version>_<arch>.deb
#
# exactly the files of the layout, the control fields and Depends (resolvable by apt's simulated
# install), stripped binaries without run-time search path, the changelog, the desktop entry
# (desktop-file-validate, its Exec and Icon), lintian without error, and a launcher that is no
# test build. The installed launcher's roads are the table's (tests/e2e, CTest e2e-deb).
# Ends with "package: N passed, N failed".
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/common.sh
. "$repo/scripts/lib/common.sh"
msg_prefix=package
cd "$repo"

require_tools apt-get dpkg-deb dpkg-parsechangelog readelf identify desktop-file-validate lintian
{ [ $# -eq 1 ] && [ -f "$1" ]; } || die "usage: scripts/test-package.sh PACKAGE.deb"
deb=$(realpath "$1")

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

version=$(sed -n 's/^project(NembralLauncher VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)

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

check "the desktop entry passes desktop-file-validate" desktop-file-validate "$desktop"
no_test_variable() { ! grep -q NEMBRAL_TEST_VENDOR_HOST "$private/nembral-launcher"; }
check "the packaged launcher is no test build (no NEMBRAL_TEST_VENDOR_HOST in it)" no_test_variable
no_tool_switch() { ! grep -q NEMBRAL_UNZIP_ "$private/unzip.exe"; }
check "the packaged unzip.exe reads no test or benchmark switch (no NEMBRAL_UNZIP_ in it)" no_tool_switch

# lintian refuses nothing as root but says so on every run; that line is not about the package.
# Its warnings are printed; an error fails.
lintian_clean() {
  local out status=0
  out=$(lintian --fail-on error "$deb" 2>&1) || status=$?
  grep -v 'running with root privileges is not recommended' <<<"$out" | sed 's/^/    /' || true
  [ "$status" -eq 0 ] && ! grep -q '^E: ' <<<"$out"
}
check "lintian reports no error" lintian_clean

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
