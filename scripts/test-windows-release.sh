#!/usr/bin/env bash
# shellcheck disable=SC2016 # the checks are evaluated by check(), after the row has run
# Signed release statements through the Windows launcher under wine: a launcher and an unzip.exe
# built with throw-away keys (a vendor key and a next one) into build-win-release/, run from
# working folders of their own through wine's cmd.exe against the https vendor server on
# loopback (port NEMBRAL_RELEASE_PORT, default 29525, built into this launcher), in a wine prefix
# of their own that trusts the server's CA. Rows: a valid statement installs and is remembered,
# the next key is accepted; a forged one, an expired one and a rollback are refused six times and
# the installed 1.0 starts as it was, nothing asked or run; a package swapped for another one the
# vendor signed is refused before extraction and the old tree starts.
#
#   bash scripts/test-windows-release.sh     (after scripts/setup.sh; the Windows Qt and
#                                             libraries come from their caches as for the lane)
#
# Ends with "release rows under wine: N passed, N failed".
set -uo pipefail
# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init test-windows-release x86_64-w64-mingw32-g++-posix cmake ninja wine openssl python3 || exit 2
cd "$repo" || exit 2

port=${NEMBRAL_RELEASE_PORT:-29525}
build=$repo/build-win-release
keys=$build/release-keys
mkdir -p "$keys"
for name in vendor next other; do
  [ -f "$keys/$name-public.pem" ] && continue
  openssl genpkey -algorithm ed25519 -out "$keys/$name-private.pem" || exit 1
  openssl pkey -in "$keys/$name-private.pem" -pubout -out "$keys/$name-public.pem" || exit 1
done
qt=$(bash scripts/windows-qt.sh | tail -n1)
win_deps=$(bash scripts/windows-deps.sh | tail -n1)
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DQT_CHAINLOAD_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
  -DNEMBRAL_WIN_STATIC_RUNTIME=OFF -DNEMBRAL_WINDOWS_QT="$qt" -DNEMBRAL_WIN_DEPS="$win_deps" \
  -DCMAKE_BUILD_TYPE=Release -DNEMBRAL_VENDOR_HOST="localhost:$port" \
  -DNEMBRAL_PACKAGE_PUBLIC_KEY="$keys/vendor-public.pem" -DNEMBRAL_PACKAGE_NEXT_PUBLIC_KEY="$keys/next-public.pem" \
  >/dev/null || exit 1
cmake --build "$build" -j"$(nproc)" --target nembral-launcher nembral_unzip_tool trust-ca nembrals-stub >/dev/null || exit 1

root=$build/rows
rm -rf "$root"
mkdir -p "$root/served" "$root/pkg"
export WINEPREFIX=$root/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot -i </dev/null >/dev/null 2>&1
gcc_dir=$(find /usr/lib/gcc/x86_64-w64-mingw32 -maxdepth 1 -name "*-posix" | head -n1)
dlls="Z:$qt/bin\\;Z:$gcc_dir\\;Z:/usr/x86_64-w64-mingw32/lib\\;"

# package VERSION DIR KEY: the stand-in Nembrals.exe and a version file, signed with KEY.
package() {
  mkdir -p "$2"
  python3 - "$2/nembral.zip" "$build/bin/nembrals-stub.exe" "$1" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.write(sys.argv[2], "nembral/Nembrals.exe")
    z.writestr("nembral/version.txt", sys.argv[3] + "\n")
PY
  tools/sign-package "$2/nembral.zip" "$keys/$3-private.pem"
}
package 2.0 "$root/pkg/p2" vendor
# Another package the vendor signed, of the same size: the same archive under the next key.
mkdir -p "$root/pkg/swapped"
cp "$root/pkg/p2/nembral.zip" "$root/pkg/swapped/"
tools/sign-package "$root/pkg/swapped/nembral.zip" "$keys/next-private.pem"

tools/vendor-server/vendor-server --dir "$root/served" --port "$port" --state-dir "$root/state" --quiet \
  >"$root/server.out" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null' EXIT
for _ in $(seq 1 100); do grep -q '^vendor-server: serving' "$root/server.out" && break; sleep 0.1; done
wine "$build/bin/trust-ca.exe" "Z:$root/state/ca.pem" </dev/null >/dev/null

passed=0 failed=0
check() { if eval "$2"; then echo "  ok   $1"; passed=$((passed + 1)); else echo "  FAIL $1"; failed=$((failed + 1)); fi; }
# run NAME STATEMENT INSTALLED PACKAGE [release-statement option...]: STATEMENT vendor, next,
# forged or rollback (a sequence of 9 remembered before); INSTALLED none, 1.0 or interrupted (the
# executable without its version file); PACKAGE p2 or swapped. The log, CR-less, in DIR/log.
run() {
  local name=$1 statement=$2 installed=$3 kind=$4
  shift 4
  local w=$root/work-$name key=vendor
  mkdir -p "$w"
  cp "$build/bin/unzip.exe" "$w/"
  cp "$root/pkg/$kind/nembral.zip" "$root/served/nembral.zip"
  [ "$statement" = next ] && key=next
  tools/release-statement --sequence 5 "$@" 2.0 "$root/pkg/p2/nembral.zip" "$keys/$key-private.pem" \
    "$root/served/version.txt" >/dev/null
  if [ "$statement" = forged ]; then
    python3 - "$root/served/version.txt" <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
at = data.index(b" ed25519=") + 20
data[at] = ord("B") if data[at] != ord("B") else ord("A")
open(path, "wb").write(data)
PY
  fi
  if [ "$installed" != none ]; then
    mkdir -p "$w/nembral/nembral"
    cp "$build/bin/nembrals-stub.exe" "$w/nembral/nembral/Nembrals.exe"
    [ "$installed" != 1.0 ] || printf '1.0\n' >"$w/nembral/nembral/version.txt"
  fi
  [ "$statement" != rollback ] || printf '9\n' >"$w/nembral/release-sequence"
  (cd "$w" && WINEPATH="$dlls" WINEQT_QPA_PLATFORM=offscreen timeout 120 wine "$build/bin/nembral-launcher.exe" \
    >launcher.log 2>&1 </dev/null)
  tr -d '\r' <"$w/launcher.log" >"$w/log"
  sleep 3 # the started Nembrals.exe notes its start
}

run valid vendor none p2
w=$root/work-valid
check "valid: installs 2.0, sequence remembered, starts" \
  '[ "$(tr -d "\r" <"$w/nembral/nembral/version.txt")" = 2.0 ] && [ "$(cat "$w/nembral/release-sequence")" = 5 ] && grep -q "^Start Nembral$" "$w/log"'
run next next none p2
w=$root/work-next
check "next key: installs 2.0" '[ "$(tr -d "\r" <"$w/nembral/nembral/version.txt")" = 2.0 ]'
for row in forged rollback expired; do
  if [ "$row" = expired ]; then run expired vendor 1.0 p2 --expires 2020-01-01T00:00:00Z; else run "$row" "$row" 1.0 p2; fi
  w=$root/work-$row
  check "$row: six refusals 0x800b0004" '[ "$(grep -c "error code = 0x800b0004$" "$w/log")" = 6 ]'
  check "$row: nothing asked, downloaded or run but Nembral" \
    '! grep -q "new version available\|run command\|downloadCompleteApplication" "$w/log"'
  check "$row: the installed 1.0 kept and started" \
    '[ "$(tr -d "\r" <"$w/nembral/nembral/version.txt")" = 1.0 ] && grep -q "^Start Nembral$" "$w/log" && [ -s "$w/nembral/nembral/started.log" ]'
done
run swapped vendor interrupted swapped
w=$root/work-swapped
check "swapped package: six refusals 0x80096010" '[ "$(grep -c "error code = 0x80096010$" "$w/log")" = 6 ]'
check "swapped package: nothing extracted, the old tree starts" \
  '! grep -q "run command" "$w/log" && grep -q "^Start Nembral$" "$w/log" && [ ! -e "$w/nembral/nembral/version.txt" ]'

echo "release rows under wine: $passed passed, $failed failed"
[ "$failed" = 0 ]
