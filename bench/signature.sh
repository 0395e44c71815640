#!/usr/bin/env bash
# Cost of the package signature check: unzip.exe built with a key against unzip.exe built
# without one, on the same signed package. Needs /usr/bin/time (package "time").
#
#   bench/signature.sh [KEYED_UNZIP_EXE PRIVATE_KEY]
#
#   KEYED_UNZIP_EXE, PRIVATE_KEY  a tool built with NEMBRAL_PACKAGE_PUBLIC_KEY and the private
#                             half of that key (default: the tests' tool and key in build/,
#                             build/tests/tools/signed-tool/unzip.exe and
#                             build/tests/tools/signing-keys/vendor-private.pem)
#   NEMBRAL_BENCH_KEYLESS     the tool without a key (default: build/bin/unzip.exe)
#   NEMBRAL_BENCH_RUNS        timed runs of each measurement (default 7)
#   NEMBRAL_BENCH_MB          package payload in MB (default 200)
#   NEMBRAL_BENCH_FILES       files in the package, all told (default 2000)
#   NEMBRAL_BENCH_DIR         scratch directory (default: a new one in $TMPDIR or /tmp)
#
# The package is made as in bench/extraction.sh and signed with tools/make-package --sign-key.
# Four measurements per round, in an order that rotates from round to round:
#   verify     the keyed tool on a copy with one byte changed just before the comment: it reads
#              and digests the whole signed part, refuses, and writes nothing (the check alone,
#              plus starting the process and taking the mutex)
#   keyed      the keyed tool extracting the signed package (check + extraction)
#   keyless    the key-less tool extracting the same package (extraction only)
#   sha512     "openssl dgst -sha512" over the package: raw digest speed, for comparison
# Before each run the previous tree is removed and dirty pages are written back (sync), outside
# the timing; the archives are read from the page cache. Prints each round and the medians.
set -euo pipefail

# shellcheck source=lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
nembral_init bench openssl python3
bench_package_settings 7
keyed="${1:-$repo/build/tests/tools/signed-tool/unzip.exe}"
key="${2:-$repo/build/tests/tools/signing-keys/vendor-private.pem}"
keyless="${NEMBRAL_BENCH_KEYLESS:-$repo/build/bin/unzip.exe}"
runs=$BENCH_RUNS
megabytes=$BENCH_MB
files=$BENCH_FILES

[ -x "$keyed" ] || die "no keyed extraction tool at $keyed (build the tests, or pass one)"
[ -f "$key" ] || die "no private key at $key"
[ -x "$keyless" ] || die "no key-less extraction tool at $keyless (build it first)"

bench_scratch_dir
[ "$scratch_is_given" = 1 ] || trap 'rm -rf "$scratch"' EXIT

"$repo/tools/make-package" --sign-key "$key" --payload-mb "$megabytes" --payload-files "$PAYLOAD_FILES" 1.0 "$scratch/package" >/dev/null
archive="$scratch/package/nembral.zip"
tampered="$scratch/tampered.zip"
# One byte of the end record's signed part (the central directory's size) changed.
python3 - "$archive" "$tampered" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
record = data.rindex(b"PK\x05\x06")
data[record + 12] ^= 0x01
open(sys.argv[2], "wb").write(data)
EOF
archive_bytes=$(stat -c %s "$archive")
cat "$archive" "$tampered" >/dev/null # into the page cache

# timed NAME EXPECTED_STATUS COMMAND...: prints "wall cpu" in seconds (cpu = user + system)
timed() {
  local name=$1 expected=$2 out status=0
  shift 2
  out=$(/usr/bin/time -f '%e %U %S' "$@" 2>&1 >/dev/null) || status=$?
  [ "$status" = "$expected" ] || { echo "bench: $name exited with $status, expected $expected: $out" >&2; exit 1; }
  tail -n1 <<<"$out" | awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }'
}

declare -A wall cpu
measure() {
  local w c
  rm -rf "$scratch/out"
  mkdir -p "$scratch/out"
  sync
  case $1 in
    verify) read -r w c < <(timed verify 1 "$keyed" "$tampered" "$scratch/out")
            [ -z "$(ls -A "$scratch/out")" ] || die "the refused package left something in place" ;;
    keyed) read -r w c < <(timed keyed 0 "$keyed" "$archive" "$scratch/out") ;;
    keyless) read -r w c < <(timed keyless 0 "$keyless" "$archive" "$scratch/out") ;;
    sha512) read -r w c < <(timed sha512 0 openssl dgst -sha512 "$archive") ;;
  esac
  wall[$1]+="$w " cpu[$1]+="$c "
  last_wall[$1]=$w last_cpu[$1]=$c
}
declare -A last_wall last_cpu
order=(verify keyed keyless sha512)
for i in $(seq 1 "$runs"); do
  for j in 0 1 2 3; do measure "${order[$(((i + j) % 4))]}"; done
  printf 'run %d (wall/cpu s): verify %.2f/%.2f, keyed extraction %.2f/%.2f, key-less extraction %.2f/%.2f, openssl dgst -sha512 %.2f/%.2f\n' "$i" \
    "${last_wall[verify]}" "${last_cpu[verify]}" "${last_wall[keyed]}" "${last_cpu[keyed]}" \
    "${last_wall[keyless]}" "${last_cpu[keyless]}" "${last_wall[sha512]}" "${last_cpu[sha512]}"
done

# shellcheck disable=SC2086 # the lists are space-separated numbers
med() { median ${wall[$1]}; }
# shellcheck disable=SC2086
medcpu() { median ${cpu[$1]}; }
mib=$(calc "$archive_bytes / 1048576")
echo
printf 'package: %d MB unpacked in %d files, %.1f MiB signed archive; %d runs each, medians\n' "$megabytes" "$files" "$mib" "$runs"
printf '| measurement | wall time | CPU time (user+sys) | MiB/s of archive (wall) |\n|---|---|---|---|\n'
printf '| check alone (keyed tool refusing a changed copy) | %.2f s | %.2f s | %.0f |\n' "$(med verify)" "$(medcpu verify)" "$(calc "$mib / $(med verify)")"
printf '| extraction with the check | %.2f s | %.2f s | |\n' "$(med keyed)" "$(medcpu keyed)"
printf '| extraction without the check | %.2f s | %.2f s | |\n' "$(med keyless)" "$(medcpu keyless)"
printf '| openssl dgst -sha512 | %.2f s | %.2f s | %.0f |\n' "$(med sha512)" "$(medcpu sha512)" "$(calc "$mib / $(med sha512)")"
printf 'the check adds %.2f s wall (%.0f%%), %.2f s CPU, to the extraction (difference of the medians)\n' \
  "$(calc "$(med keyed) - $(med keyless)")" "$(calc "($(med keyed) - $(med keyless)) * 100 / $(med keyless)")" \
  "$(calc "$(medcpu keyed) - $(medcpu keyless)")"
