#!/usr/bin/env bash
# Builds a minimal Qt for 64-bit Windows (mingw-w64, POSIX threads) from Debian's own qtbase
# source, once, into a cache folder outside the work tree, and prints that folder's path as its
# last line. A folder that is already complete (its stamp is written last) is used as it is.
#
#   bash scripts/windows-qt.sh            prints e.g. ~/.cache/nembral/qt-6.4.2-mingw-1a2b3c4d5e
#
# The only download is `apt-get source qt6-base` (the deb-src entry of this machine's Debian
# suite is added when apt has none). The host tools (moc, rcc, uic) are Debian's Linux Qt of the
# same version. Only what the launcher and its tests use is built: Core, Gui, Widgets, Test, the
# windows and offscreen platform plugins, the GIF and ICO image plug-ins; no network, sql, xml,
# dbus, opengl, printsupport or concurrent, and of Widgets, Gui and Core only the features they
# use (the flags below). A fresh build took 24m30s on one 2-core machine and 13m33s on another
# (909 build steps).
#
#   NEMBRAL_QT_CACHE   parent folder of the install (default ${XDG_CACHE_HOME:-~/.cache}/nembral)
set -euo pipefail
# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init windows-qt x86_64-w64-mingw32-g++-posix cmake ninja dpkg-query || exit 2

say() { echo "windows-qt: $*" >&2; }

host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null) ||
  die "Debian's qt6-base-dev (the host tools) is not installed (run scripts/setup.sh)"
qt_version=${host_version%%+*}

# Everything that decides the result goes into the folder's name, so a change of flags or of
# the source version builds a new folder instead of reusing a stale one.
toolchain="$repo/cmake/mingw-w64-x86_64.cmake"
configure_flags=(
  -release -shared -qt-host-path /usr -nomake examples -nomake tests
  -no-opengl -no-dbus -no-icu -no-glib -no-zstd -no-openssl -no-libjpeg
  -no-feature-network -no-feature-sql -no-feature-xml -no-feature-printsupport
  -no-feature-concurrent -no-feature-vulkan -no-feature-tabletevent -no-feature-direct2d1_1
  -qt-zlib -qt-pcre -qt-libpng -qt-harfbuzz -qt-freetype -qt-doubleconversion
  # Widgets, dialogs and text formats no window of ours shows, and Core's extras it never asks
  # for: about a ninth of the compiled source, and of the time a fresh machine spends here.
  -no-feature-graphicsview -no-feature-graphicseffect -no-feature-mdiarea -no-feature-dial
  -no-feature-calendarwidget -no-feature-datetimeedit -no-feature-lcdnumber -no-feature-toolbox
  -no-feature-splashscreen -no-feature-commandlinkbutton -no-feature-keysequenceedit
  -no-feature-fontcombobox -no-feature-textbrowser -no-feature-syntaxhighlighter
  -no-feature-treewidget -no-feature-listwidget -no-feature-tablewidget -no-feature-columnview
  -no-feature-datawidgetmapper -no-feature-fscompleter -no-feature-undoview -no-feature-scroller
  -no-feature-colordialog -no-feature-filedialog -no-feature-fontdialog
  -no-feature-progressdialog -no-feature-errormessage -no-feature-wizard
  -no-feature-textmarkdownreader -no-feature-textmarkdownwriter -no-feature-textodfwriter
  -no-feature-pdf -no-feature-sessionmanager -no-feature-systemtrayicon -no-feature-undocommand
  -no-feature-undostack -no-feature-undogroup -no-feature-imageformat_ppm
  -no-feature-imageformat_xbm -no-feature-image_text -no-feature-desktopservices
  -no-feature-whatsthis -no-feature-gestures -no-feature-mimetype -no-feature-xmlstream
  -no-feature-sharedmemory -no-feature-systemsemaphore -no-feature-hijricalendar
  -no-feature-islamiccivilcalendar -no-feature-jalalicalendar -no-feature-transposeproxymodel
  -no-feature-concatenatetablesproxymodel -no-feature-identityproxymodel
  -no-feature-commandlineparser -no-feature-itemmodeltester
)
key=$(printf '%s\n' "$host_version" "${configure_flags[@]}" | cat - "$toolchain" | sha256sum | cut -c1-10)
cache=${NEMBRAL_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/nembral}
prefix="$cache/qt-$qt_version-mingw-$key"

if [ -f "$prefix/.complete" ]; then
  say "using $prefix"
  echo "$prefix"
  exit 0
fi

say "no Windows Qt in $prefix yet: building qtbase $host_version for x86_64-w64-mingw32"
say "this takes about 25 minutes on 2 cores (about 900 build steps), once per machine"
start=$(date +%s)
elapsed() { printf '%dm%02ds' $(( ($(date +%s) - start) / 60 )) $(( ($(date +%s) - start) % 60 )); }

ensure_deb_src

work="$cache/qt-$qt_version-mingw-$key.build"
rm -rf "$work" "$prefix"
mkdir -p "$work/src"
say "fetching the source of qt6-base $host_version ($(elapsed))"
(cd "$work/src" && apt-get source -qq "qt6-base=$host_version" >/dev/null 2>"$work/source.log") ||
  { cat "$work/source.log" >&2; die "apt-get source qt6-base=$host_version failed"; }
src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
[ -n "$src" ] || die "no source folder after apt-get source"

# The Qt build links its DLLs against the shared GCC runtime: the runtime DLLs are deployed
# beside the program, and one runtime serves Qt and the program alike.
# Qt's installed qt.toolchain.cmake names this copy, so it lives in the install folder.
mkdir -p "$prefix"
cp "$toolchain" "$prefix/nembral-toolchain.cmake"

say "configuring ($(elapsed))"
mkdir -p "$work/build"
(cd "$work/build" && "$src/configure" -prefix "$prefix" "${configure_flags[@]}" -- -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$prefix/nembral-toolchain.cmake" -DNEMBRAL_WIN_STATIC_RUNTIME=OFF \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake) >"$work/configure.log" 2>&1 ||
  { tail -n 40 "$work/configure.log" >&2; die "configure failed (log: $work/configure.log)"; }

say "building ($(elapsed)); a line every 100 steps"
# ninja's status line goes to a log; every hundredth step is echoed with the time so far.
set +e
NINJA_STATUS='[%f/%t] ' cmake --build "$work/build" --parallel "$(nproc)" 2>&1 |
  tee "$work/build.log" |
  while IFS= read -r line; do
    if [[ $line =~ ^\[([0-9]+)/([0-9]+)\]\  ]]; then
      done_steps=${BASH_REMATCH[1]} all_steps=${BASH_REMATCH[2]}
      if [ $((done_steps % 100)) -eq 0 ] || [ "$done_steps" = "$all_steps" ]; then
        say "step $done_steps of $all_steps ($(elapsed))"
      fi
    fi
  done
build_status=${PIPESTATUS[0]}
set -e
[ "$build_status" -eq 0 ] || { grep -B2 -A20 'FAILED:' "$work/build.log" | head -n 60 >&2; die "build failed (log: $work/build.log)"; }

say "installing into $prefix ($(elapsed))"
cmake --install "$work/build" >"$work/install.log" 2>&1 ||
  { tail -n 40 "$work/install.log" >&2; die "install failed"; }
printf '%s\n' "qtbase $host_version" "${configure_flags[@]}" >"$prefix/.complete"
rm -rf "$work"
say "done in $(elapsed): $prefix"
echo "$prefix"
