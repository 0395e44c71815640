#!/usr/bin/env bash
# Builds the Windows installer of the launcher with Debian's nsis (makensis):
#
#   bash scripts/package-windows.sh [CMAKE_OPTION...]
#   e.g. NEMBRAL_WIN_BUILD_DIR=build-win-release NEMBRAL_PUBLISHER="Example Vendor" \
#        bash scripts/package-windows.sh -DNEMBRAL_VENDOR_HOST=downloads.example.com \
#          -DNEMBRAL_PACKAGE_PUBLIC_KEY=/path/to/public.pem
#
# 1. scripts/build-windows.sh cross-builds the launcher into NEMBRAL_WIN_BUILD_DIR (default
#    build-win) and deploys <build>/dist; the CMake options given are passed on and stay in
#    that build's cache, as usual (the vendor host and the signing key are compiled in);
# 2. makensis packs <build>/dist (the launcher, unzip.exe, the Qt and runtime DLLs and
#    plug-ins) with packaging/windows/nembral-launcher.nsi into
#    <build>/nembral-launcher-setup-<version>.exe, the version being the CMake project's.
#
# NEMBRAL_PUBLISHER names the publisher shown in Add/Remove Programs (default Kandu, the
# vendor of the Debian package). The last line printed is the installer's path.
#
# NEMBRAL_SETUP_DIST=DIR NEMBRAL_SETUP_VERSION=X.Y.Z NEMBRAL_SETUP_OUT=FILE skip the build and
# pack DIR instead, as version X.Y.Z, into FILE (the installer test makes an older version so).
set -euo pipefail
# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init package-windows makensis
cd "$repo"

build=${NEMBRAL_WIN_BUILD_DIR:-$repo/build-win}
export NEMBRAL_WIN_BUILD_DIR=$build
publisher=${NEMBRAL_PUBLISHER:-Kandu}
say() { printf 'package-windows: %s\n' "$*"; }

if [ -n "${NEMBRAL_SETUP_DIST:-}" ]; then
  dist=$NEMBRAL_SETUP_DIST
  version=${NEMBRAL_SETUP_VERSION:?NEMBRAL_SETUP_VERSION is needed with NEMBRAL_SETUP_DIST}
else
  dist=$build/dist
  # NEMBRAL_WIN_BUILT=1: the build is up to date, and others may be running its programs.
  [ "${NEMBRAL_WIN_BUILT:-0}" = 1 ] || dist=$(bash scripts/build-windows.sh "$@" | tail -n1)
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
fi
for f in nembral-launcher.exe unzip.exe; do
  [ -f "$dist/$f" ] || die "$dist has no $f"
done
# The folder is also the launcher's working folder: these names are the user's or the setup's.
for f in nembral uninstall.exe install-manifest.txt; do
  [ ! -e "$dist/$f" ] || die "$dist must not hold $f"
done
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "no project version X.Y.Z in $build/CMakeCache.txt (got '$version')"
icon="$build/app/nembral-launcher.ico"
[ -f "$icon" ] || die "no icon at $icon"

# The program's files; the test whether this version ships a file (for the files an older
# version installed); the lines that remove exactly those files again (files first, then the
# folders, deepest first), so the uninstaller never deletes what it did not install; and the
# list of them installed beside them, which the next version's setup reads.
nsis="$build/nsis"
rm -rf "$nsis" && mkdir -p "$nsis"
winrel() { local p=${1#./}; echo "${p//\//\\}"; }
files=()
while IFS= read -r f; do files+=("$(winrel "$f")"); done < <(cd "$dist" && find . -type f | sort)
(
  cd "$dist"
  find . -mindepth 1 -type d | sort | while read -r d; do
    echo "  SetOutPath \"\$INSTDIR\\$(winrel "$d")\""
    find "$d" -mindepth 1 -maxdepth 1 -type f | sort | while read -r f; do echo "  File \"$dist/${f#./}\""; done
  done
  echo "  SetOutPath \"\$INSTDIR\""
  find . -mindepth 1 -maxdepth 1 -type f | sort | while read -r f; do echo "  File \"$dist/${f#./}\""; done
) >"$nsis/files.nsh"
for f in "${files[@]}" uninstall.exe install-manifest.txt; do
  echo "  StrCmp \$R1 \"$f\" shipped"
done >"$nsis/shipped.nsh"
(
  for f in "${files[@]}"; do echo "  Delete \"\$INSTDIR\\$f\""; done
  cd "$dist"
  find . -mindepth 1 -type d | sort -r | while read -r d; do echo "  RMDir \"\$INSTDIR\\$(winrel "$d")\""; done
) >"$nsis/remove.nsh"
printf '%s\r\n' "${files[@]}" uninstall.exe install-manifest.txt >"$nsis/install-manifest.txt"

setup=${NEMBRAL_SETUP_OUT:-$build/nembral-launcher-setup-$version.exe}
rm -f "$setup"
say "makensis: $setup (version $version, publisher $publisher)"
makensis -V2 -NOCD -DVERSION="$version" -DPUBLISHER="$publisher" -DICON="$icon" \
  -DFILES="$nsis/files.nsh" -DSHIPPED="$nsis/shipped.nsh" -DREMOVE="$nsis/remove.nsh" \
  -DMANIFEST="$nsis/install-manifest.txt" -DOUTFILE="$setup" \
  packaging/windows/nembral-launcher.nsi >"$nsis/makensis.log" 2>&1 ||
  { cat "$nsis/makensis.log" >&2; die "makensis failed"; }
[ -f "$setup" ] || die "makensis did not write $setup"

host=$(sed -n 's/^NEMBRAL_VENDOR_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
key=$(sed -n 's/^NEMBRAL_PACKAGE_PUBLIC_KEY:[A-Z]*=//p' "$build/CMakeCache.txt")
case "${host%:*}" in
  localhost|127.0.0.1|"[::1]")
    say "note: this installer's launcher downloads from $host, the local vendor server; for users, build it with -DNEMBRAL_VENDOR_HOST=HOST" ;;
  *) say "vendor host: $host" ;;
esac
say "package signatures: ${key:-not checked (no NEMBRAL_PACKAGE_PUBLIC_KEY)}"
say "built $setup ($(du -h "$setup" | cut -f1))"
echo "$setup"
