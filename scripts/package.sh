#!/usr/bin/env bash
# Builds the Debian package of the launcher and checks it:
#
#   scripts/package.sh [CMAKE_OPTION...]     e.g. -DNEMBRAL_VENDOR_HOST=downloads.example.com
#
# 0. installs what it needs (scripts/setup.sh);
# 1. configures a Release build without tests in build-package/ (NEMBRAL_PACKAGE_BUILD_DIR),
#    with Debian's hardening flags from dpkg-buildflags, and builds it;
# 2. runs cpack, which installs into a staging tree, strips the binaries, lets dpkg-shlibdeps
#    compute Depends and writes build-package/nembral-launcher_<version>_<arch>.deb;
# 3. checks the package: its file name and its changelog's version, desktop-file-validate on
#    its desktop entry, and lintian, which must report no error (warnings are printed).
#
# Options given are passed to cmake and stay in the build directory's cache, as usual.
# The last line printed is the path of the package.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/common.sh
. "$repo/scripts/lib/common.sh"
msg_prefix=package
cd "$repo"

bash scripts/setup.sh
require_tools cmake ninja cpack file gzip dpkg-buildflags dpkg-shlibdeps dpkg-deb \
  dpkg-parsechangelog desktop-file-validate lintian

build="${NEMBRAL_PACKAGE_BUILD_DIR:-$repo/build-package}"
say() { printf 'package: %s\n' "$*"; }

# Debian's flags: fortified functions, stack protector, format checks, full RELRO with
# immediate binding. CMake does not read CPPFLAGS, so they go in front of the compiler flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

say "configuring $build (Release, no tests)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNEMBRAL_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" "$@" -DNEMBRAL_TEST_VENDOR_ENV=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || die "no project version in $build/CMakeCache.txt"
deb="$build/nembral-launcher_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
say "cpack"
(cd "$build" && cpack -G DEB) >"$build/cpack.log" 2>&1 || { cat "$build/cpack.log" >&2; die "cpack failed"; }
[ -f "$deb" ] || { cat "$build/cpack.log" >&2; die "cpack did not write $deb"; }

# The changelog shipped in the package must describe the version being shipped.
changelog_version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
[ "$changelog_version" = "$version" ] ||
  die "packaging/changelog's latest entry is $changelog_version, the package is $version: add an entry"

check_dir=$(mktemp -d "${TMPDIR:-/tmp}/nembral-package-check.XXXXXX")
trap 'rm -rf "$check_dir"' EXIT
dpkg-deb -x "$deb" "$check_dir"
say "desktop-file-validate"
desktop-file-validate "$check_dir/usr/share/applications/nembral-launcher.desktop"

# lintian refuses nothing as root but says so on every run; that line is not about the package.
say "lintian"
lintian_out="$build/lintian.log"
lintian_status=0
lintian --fail-on error "$deb" >"$lintian_out" 2>&1 || lintian_status=$?
grep -v 'running with root privileges is not recommended' "$lintian_out" | sed 's/^/    /' || true
errors=$(grep -c '^E: ' "$lintian_out" || true)
warnings=$(grep -c '^W: ' "$lintian_out" || true)
if [ "$lintian_status" -ne 0 ] || [ "$errors" -ne 0 ]; then
  die "lintian reports $errors error(s) (exit status $lintian_status)"
fi
say "lintian: no errors, $warnings warning(s)"

say "Depends: $(dpkg-deb -f "$deb" Depends)"
# Any host: a vendor's package names its own.
launcher_vendor_host "$build/bin/nembral-launcher" "" any
case "${LAUNCHER_HOST%:*}" in
  localhost|127.0.0.1|"[::1]")
    say "note: this package downloads from $LAUNCHER_HOST, the local vendor server; for users, build it with -DNEMBRAL_VENDOR_HOST=HOST" ;;
  *) say "vendor host: $LAUNCHER_HOST" ;;
esac
say "built $deb"
echo "$deb"
