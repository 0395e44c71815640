#!/usr/bin/env bash
# Builds the Debian package of the launcher and checks it:
#
#   scripts/package.sh [CMAKE_OPTION...]     e.g. -DNEMBRAL_VENDOR_HOST=downloads.example.com
#
# 0. installs what it needs (scripts/setup.sh);
# 1. configures the package preset (CMakePresets.json: a Release build without the suites in
#    build-package/, with Debian's hardening flags from dpkg-buildflags) and builds it;
# 2. runs cpack, which installs into a staging tree, strips the binaries, lets dpkg-shlibdeps
#    compute Depends and writes build-package/nembral-launcher_<version>_<arch>.deb;
# 3. checks the package (scripts/test-package.sh: contents, desktop entry, lintian).
#
# Options given are passed to cmake and stay in the build directory's cache, as usual.
# `cmake --workflow --preset package` does the same and then runs the table of roads on the
# installed launcher. The last line printed is the path of the package.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/common.sh
. "$repo/scripts/lib/common.sh"
msg_prefix=package
cd "$repo"

bash scripts/setup.sh
require_tools cmake ninja cpack dpkg-buildflags dpkg-shlibdeps dpkg-deb dpkg-parsechangelog
say() { printf 'package: %s\n' "$*"; }

# A test build's switch is never in a package, whatever the options.
say "configuring build-package (the package preset)"
cmake --preset package "$@" -DNEMBRAL_TEST_VENDOR_ENV=OFF >/dev/null
cmake --build --preset package

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build-package/CMakeCache.txt)
[ -n "$version" ] || die "no project version in build-package/CMakeCache.txt"
# The changelog shipped in the package must describe the version being shipped.
changelog_version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
[ "$changelog_version" = "$version" ] ||
  die "packaging/changelog's latest entry is $changelog_version, the package is $version: add an entry"
deb="$repo/build-package/nembral-launcher_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
say "cpack"
cpack --preset package >build-package/cpack.log 2>&1 || { cat build-package/cpack.log >&2; die "cpack failed"; }
[ -f "$deb" ] || { cat build-package/cpack.log >&2; die "cpack did not write $deb"; }

bash scripts/test-package.sh "$deb"

say "Depends: $(dpkg-deb -f "$deb" Depends)"
# Any host: a vendor's package names its own.
launcher_vendor_host build-package/bin/nembral-launcher "" any
case "${LAUNCHER_HOST%:*}" in
  localhost|127.0.0.1|"[::1]")
    say "note: this package downloads from $LAUNCHER_HOST, the local vendor server; for users, build it with -DNEMBRAL_VENDOR_HOST=HOST" ;;
  *) say "vendor host: $LAUNCHER_HOST" ;;
esac
say "built $deb"
echo "$deb"
