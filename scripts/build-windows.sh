#!/usr/bin/env bash
# Cross-builds the whole launcher for 64-bit Windows with mingw-w64 against a Windows Qt made
# from Debian's qtbase source (scripts/windows-qt.sh: about 25 minutes the first time on 2
# cores, then taken from its cache), and deploys it into one folder that runs as it is on
# Windows or under wine:
#
#   build-win/dist/nembral-launcher.exe     the launcher (GUI subsystem, icon, manifest)
#   build-win/dist/unzip.exe                the extraction tool, with the static libarchive and
#                                           libcrypto and libdeflate of scripts/windows-deps.sh (built once)
#   build-win/dist/*.dll                    Qt and the mingw-w64 runtime, as the imports ask
#   build-win/dist/platforms/ styles/ imageformats/   the Qt plug-ins the launcher loads
#
#   bash scripts/build-windows.sh                    (build directory: build-win)
#   NEMBRAL_WIN_BUILD_DIR=/some/dir bash scripts/build-windows.sh [CMAKE OPTION...]
#
# Prints the dist folder's path as its last line.
set -euo pipefail
# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init build-windows x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump cmake ninja || exit 2
cd "$repo"

build=${NEMBRAL_WIN_BUILD_DIR:-$repo/build-win}
qt=$(bash scripts/windows-qt.sh | tail -n1)
[ -f "$qt/lib/cmake/Qt6/qt.toolchain.cmake" ] || die "no Windows Qt at '$qt'"
win_deps=$(bash scripts/windows-deps.sh | tail -n1)

# The windows preset (CMakePresets.json): Qt's toolchain file finds Qt wherever its cache folder
# is and chain-loads ours for the compilers; the runtime is shared with Qt's DLLs (see
# cmake/mingw-w64-x86_64.cmake).
export NEMBRAL_WINDOWS_QT=$qt NEMBRAL_WIN_DEPS=$win_deps
# A folder configured against another Qt (its flags changed, or the cache moved) keeps that Qt's
# paths in its CMake cache and would compile against its headers: it is configured afresh.
fresh=()
if [ -f "$build/CMakeCache.txt" ] && ! grep -qxF "Qt6_DIR:PATH=$qt/lib/cmake/Qt6" "$build/CMakeCache.txt"; then
  fresh=(--fresh)
fi
cmake --preset windows -B "$build" "${fresh[@]}" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"

dist="$build/dist"
rm -rf "$dist"
mkdir -p "$dist/platforms" "$dist/styles" "$dist/imageformats"
cp "$build/bin/nembral-launcher.exe" "$dist/"
cp "$build/bin/unzip.exe" "$dist/"
# The windows platform for users, offscreen for runs without a display (tests, CI), the native
# widget style, and GIF for the loading animation (PNG is built into Qt's GUI module).
cp "$qt/plugins/platforms/qwindows.dll" "$qt/plugins/platforms/qoffscreen.dll" "$dist/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$dist/styles/"
cp "$qt/plugins/imageformats/qgif.dll" "$dist/imageformats/"

# The DLLs come from the imports of what is deployed, followed transitively; a DLL found in
# none of these folders is one of Windows' own.
dll_dirs=("$qt/bin" /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib)
find_dll() {
  local dir hit
  for dir in "${dll_dirs[@]}"; do
    hit=$(find "$dir" -maxdepth 1 -iname "$1" -print -quit 2>/dev/null)
    [ -z "$hit" ] || { echo "$hit"; return 0; }
  done
  return 1
}
pending=()
while IFS= read -r -d '' pe; do pending+=("$pe"); done < <(find "$dist" -iname '*.exe' -print0 -o -iname '*.dll' -print0)
while [ "${#pending[@]}" -gt 0 ]; do
  pe=${pending[0]}
  pending=("${pending[@]:1}")
  while read -r name; do
    [ -e "$dist/$name" ] && continue
    if source=$(find_dll "$name"); then
      cp "$source" "$dist/$name"
      pending+=("$dist/$name")
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$pe" | sed -n 's/^[[:space:]]*DLL Name: //p')
done
echo "build-windows: $(find "$dist" -type f | wc -l) files, $(du -sh "$dist" | cut -f1) in $dist" >&2
echo "$dist"
