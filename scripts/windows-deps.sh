#!/usr/bin/env bash
# Builds the three libraries the extraction tool needs for 64-bit Windows (mingw-w64) from Debian's
# own sources, static and stripped down to what the tool uses, once, into cache folders outside
# the work tree, and prints the folders as a CMake list on its last line (the value of
# NEMBRAL_WIN_DEPS for a Windows build). A folder that is already complete (its stamp is written
# last) is used as it is.
#
#   bash scripts/windows-deps.sh     prints e.g. ~/.cache/nembral/libarchive-3.6.2-1+deb12u5-mingw-1a2b3c4d5e;~/.cache/...
#
# - libarchive, only its zip reader's needs: zlib (Debian's libz-mingw-w64-dev, linked
#   statically), no other compressor, no crypto, no xml, no iconv, no programs;
# - OpenSSL's libcrypto, only what an Ed25519 signature check of a PEM key needs: no libssl, no
#   engines or modules, no programs, no legacy or unused algorithms;
# - libdeflate, the whole-buffer decompressor for small entries (a few seconds to build).
#
# The only downloads are `apt-get source` of libarchive, openssl and libdeflate (the version
# of the installed -dev package when the mirror still has it, otherwise the newest one apt
# lists). A fresh build took 6 minutes for libarchive and 12 for libcrypto on 2 cores that a
# Qt build kept busy at the same time.
#
#   NEMBRAL_WIN_DEPS_CACHE   parent folder of the installs (default ${XDG_CACHE_HOME:-~/.cache}/nembral)
set -euo pipefail
# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init windows-deps x86_64-w64-mingw32-gcc-posix cmake ninja make perl dpkg-query sha256sum || exit 2

say() { echo "windows-deps: $*" >&2; }

triple=x86_64-w64-mingw32
sysroot=/usr/$triple
toolchain="$repo/cmake/mingw-w64-x86_64.cmake"
cache=${NEMBRAL_WIN_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/nembral}
jobs=$(nproc)
if [ ! -f "$sysroot/lib/libz.a" ] || [ ! -f "$sysroot/include/zlib.h" ]; then
  die "Debian's libz-mingw-w64-dev is not installed (run scripts/setup.sh)"
fi

# The versions worth using, in order: the one of the installed Linux -dev package (the same
# library the Linux build links), then the newest that apt lists.
preferred_versions() {
  local package=$1 dev=$2 installed
  installed=$(dpkg-query -W -f='${Version}' "$dev" 2>/dev/null || true)
  { [ -z "$installed" ] || echo "$installed"; debian_source_versions "$package"; } | awk '!seen[$0]++'
}

# build_cached NAME PACKAGE DEV_PACKAGE BUILD_FUNCTION FLAG...
# Sets PREFIX to the complete install folder of NAME built by BUILD_FUNCTION with the FLAGs,
# reusing one whose stamp exists. The folder's name holds the source version and a key of the
# flags and the toolchain, so a change of either builds a new folder instead of reusing a stale one.
build_cached() {
  local name=$1 package=$2 dev=$3 build=$4
  shift 4
  local key version start work
  key=$(printf '%s\n' "$@" | cat - "$toolchain" | sha256sum | cut -c1-10)
  # One build of NAME at a time: two runs would share (and wipe) the same work folder. The
  # second waits, then finds the first one's result.
  mkdir -p "$cache"
  local lock
  exec {lock}>"$cache/.$name.lock"
  flock "$lock"
  if find_cached "$name" "$package" "$dev" "$key"; then
    say "using $PREFIX"
    exec {lock}>&-
    return 0
  fi

  start=$(date +%s)
  work="$cache/$name-mingw-$key.build"
  rm -rf "$work"
  mkdir -p "$work"
  say "no Windows $name built with these flags yet: fetching the source of $package"
  mapfile -t versions < <(preferred_versions "$package" "$dev")
  fetch_debian_source "$package" "$work/src" "${versions[@]}"
  PREFIX="$cache/$name-$SOURCE_VERSION-mingw-$key"
  rm -rf "$PREFIX"
  mkdir -p "$PREFIX/include" "$PREFIX/lib"
  # A failed build leaves no folder that looks like an install (its log stays in $work).
  incomplete=$PREFIX
  say "building $name from $package $SOURCE_VERSION for $triple"
  "$build" "$SOURCE_DIR" "$work" "$PREFIX" "$@"
  printf '%s\n' "$package $SOURCE_VERSION" "$@" >"$PREFIX/.complete"
  incomplete=""
  rm -rf "$work"
  say "$name done in $(($(date +%s) - start)) s: $PREFIX"
  exec {lock}>&-
}

# find_cached NAME PACKAGE DEV_PACKAGE KEY
# Sets PREFIX to a complete install of NAME built with the flags and toolchain of KEY: the
# preferred versions first, then any other version already built (the mirror may no longer list
# the version a copied cache was built from; rebuilding it would gain nothing).
find_cached() {
  local name=$1 package=$2 dev=$3 key=$4 version stamp
  while IFS= read -r version; do
    PREFIX="$cache/$name-$version-mingw-$key"
    [ -f "$PREFIX/.complete" ] && return 0
  done < <(preferred_versions "$package" "$dev")
  for stamp in "$cache/$name"-*-mingw-"$key"/.complete; do
    [ -f "$stamp" ] || continue
    PREFIX=${stamp%/.complete}
    return 0
  done
  return 1
}

incomplete=""
trap '[ -z "$incomplete" ] || rm -rf "$incomplete"' EXIT

# Runs a build step with its output in LOG; on failure shows the end of the log and fails.
logged() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; die "failed: $* (log: $log)"; }
}

libarchive_flags=(
  -DCMAKE_BUILD_TYPE=Release
  -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_CNG=OFF -DENABLE_LIBB2=OFF
  -DENABLE_LZ4=OFF -DENABLE_LZO=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_BZip2=OFF
  -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_PCREPOSIX=OFF -DENABLE_LIBGCC=OFF
  -DENABLE_ICONV=OFF -DENABLE_ACL=OFF -DENABLE_XATTR=OFF
  -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_TEST=OFF -DENABLE_WERROR=OFF
  # No regular expressions at all (the zip reader needs none): otherwise it looks for libgcc's.
  -DPOSIX_REGEX_LIB=NONE
  # Debian's static zlib, so the tool needs no zlib1.dll. Its checks are answered beforehand:
  # the one that runs a test program crashes CMake 3.25 when cross-compiling, and the static
  # library is built neither with WINAPI calls nor as a DLL.
  "-DZLIB_INCLUDE_DIR=$sysroot/include" "-DZLIB_LIBRARY=$sysroot/lib/libz.a"
  -DZLIB_WINAPI=OFF "-DZLIB_WINAPI_WITH_LIB=$sysroot/lib/libz.a"
  -DZLIB_DLL=OFF "-DZLIB_DLL_WITH_LIB=$sysroot/lib/libz.a"
)

build_libarchive() {
  local src=$1 work=$2 prefix=$3
  shift 3
  say "configuring libarchive"
  logged "$work/configure.log" cmake -S "$src" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" "$@"
  say "building the static library"
  logged "$work/build.log" nice -n 10 cmake --build "$work/build" --target archive_static --parallel "$jobs"
  # The static library only, under the name the tool's build looks for.
  cp "$work/build/libarchive/libarchive_static.a" "$prefix/lib/"
  cp "$src/libarchive/archive.h" "$src/libarchive/archive_entry.h" "$prefix/include/"
  cp "$src/COPYING" "$prefix/COPYING.libarchive"
}

openssl_flags=(
  mingw64 "--cross-compile-prefix=$triple-" CC=gcc-posix
  no-shared no-module no-tests no-legacy no-engine no-dso no-ui-console
  no-autoload-config no-async no-comp no-ct no-ocsp no-cms no-ts no-srp no-srtp no-psk
  no-ssl no-tls no-dtls no-sock
  no-aria no-bf no-blake2 no-camellia no-cast no-chacha no-cmac no-des no-dh no-dsa no-idea
  no-md4 no-mdc2 no-ocb no-poly1305 no-rc2 no-rc4 no-rmd160 no-scrypt no-seed no-siphash
  no-siv no-sm2 no-sm3 no-sm4 no-whirlpool no-ec2m no-rfc3779
)

build_openssl() {
  local src=$1 work=$2 prefix=$3
  shift 3
  say "configuring OpenSSL's libcrypto"
  (cd "$src" && logged "$work/configure.log" perl ./Configure --prefix="$prefix" --libdir=lib "$@")
  say "building libcrypto"
  (cd "$src" && logged "$work/build.log" nice -n 10 make -j"$jobs" build_generated libcrypto.a)
  cp "$src/libcrypto.a" "$prefix/lib/"
  mkdir -p "$prefix/include/openssl"
  cp "$src"/include/openssl/*.h "$prefix/include/openssl/"
  cp "$src/LICENSE.txt" "$prefix/LICENSE.openssl"
}

libdeflate_flags=("CC=$triple-gcc-posix" "AR=$triple-ar")

build_libdeflate() {
  local src=$1 work=$2 prefix=$3
  shift 3
  say "building libdeflate"
  (cd "$src" && logged "$work/build.log" nice -n 10 make -j"$jobs" "$@" libdeflatestatic.lib)
  # Under the name a static library has for the mingw-w64 linker.
  cp "$src/libdeflatestatic.lib" "$prefix/lib/libdeflate.a"
  cp "$src/libdeflate.h" "$prefix/include/"
  cp "$src/COPYING" "$prefix/COPYING.libdeflate"
}

build_cached libarchive libarchive libarchive-dev build_libarchive "${libarchive_flags[@]}"
libarchive_prefix=$PREFIX
build_cached openssl-crypto openssl libssl-dev build_openssl "${openssl_flags[@]}"
openssl_prefix=$PREFIX
build_cached libdeflate libdeflate libdeflate-dev build_libdeflate "${libdeflate_flags[@]}"
libdeflate_prefix=$PREFIX
echo "$libarchive_prefix;$openssl_prefix;$libdeflate_prefix"
