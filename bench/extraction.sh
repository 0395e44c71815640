#!/usr/bin/env bash
# Extraction speed: unzip.exe against "bsdtar -xf" on the same package.
# Needs /usr/bin/time (package "time").
#
#   bench/extraction.sh [UNZIP_EXE]
#
#   UNZIP_EXE                 the tool to measure (default: build/bin/unzip.exe)
#   NEMBRAL_BENCH_RUNS        timed runs of each program (default 5)
#   NEMBRAL_BENCH_MB          package payload in MB (default 200)
#   NEMBRAL_BENCH_FILES       files in the package, all told (default 2000)
#   NEMBRAL_BENCH_DIR         scratch directory (default: a new one in $TMPDIR or /tmp)
#
# The package is made by tools/make-package with a payload of MB megabytes, half random and
# half text. Runs alternate between the two programs; before each run the previous tree is
# removed and dirty pages are written back (sync), outside the timing, and the archive is
# read from the page cache by both. Prints each run, the medians and the speed ratio
# (bsdtar's time / the tool's time: 1.0 means as fast, above 1 faster), then checks that both
# produced the same tree.
set -euo pipefail

# shellcheck source=../scripts/lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"
nembral_init bench bsdtar
bench_package_settings 5
tool="${1:-$repo/build/bin/unzip.exe}"
[ -x "$tool" ] || die "no extraction tool at $tool (build it first)"

if [ -n "${NEMBRAL_BENCH_DIR:-}" ]; then
  scratch="$NEMBRAL_BENCH_DIR"
  mkdir -p "$scratch"
else
  scratch="$(mktemp -d "${TMPDIR:-/tmp}/nembral-bench.XXXXXX")"
  trap 'rm -rf "$scratch"' EXIT
fi

"$repo/tools/make-package" --payload-mb "$BENCH_MB" --payload-files "$PAYLOAD_FILES" 1.0 "$scratch/package" >/dev/null
archive="$scratch/package/nembral.zip"
entries=$(bsdtar -tf "$archive" | grep -vc '/$')
archive_bytes=$(stat -c %s "$archive")
cat "$archive" >/dev/null # into the page cache for both

# timed NAME COMMAND...: runs COMMAND, prints "wall cpu" in seconds (cpu = user + system)
timed() {
  local out
  out=$(/usr/bin/time -f '%e %U %S' "${@:2}" 2>&1 >/dev/null) || { echo "bench: $1 failed: $out" >&2; exit 1; }
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$out"
}

tool_wall=() tool_cpu=() bsdtar_wall=() bsdtar_cpu=()
run_tool() {
  read -r w c < <(timed unzip.exe "$tool" "$archive" "$scratch/tool")
  tool_wall+=("$w"); tool_cpu+=("$c")
}
run_bsdtar() {
  read -r w c < <(timed bsdtar bsdtar -xf "$archive" -C "$scratch/bsdtar")
  bsdtar_wall+=("$w"); bsdtar_cpu+=("$c")
}
for i in $(seq 1 "$BENCH_RUNS"); do
  rm -rf "$scratch/tool" "$scratch/bsdtar"
  mkdir -p "$scratch/tool" "$scratch/bsdtar"
  # Alternate who goes first, so that neither always follows the other's writeback.
  if [ $((i % 2)) -eq 1 ]; then sync; run_tool; sync; run_bsdtar; else sync; run_bsdtar; sync; run_tool; fi
  printf 'run %d: unzip.exe %.3f s (cpu %.3f s), bsdtar -xf %.3f s (cpu %.3f s)\n' "$i" \
    "${tool_wall[-1]}" "${tool_cpu[-1]}" "${bsdtar_wall[-1]}" "${bsdtar_cpu[-1]}"
done

calc() { awk "BEGIN { print $1 }"; }
tw=$(median "${tool_wall[@]}"); tc=$(median "${tool_cpu[@]}")
bw=$(median "${bsdtar_wall[@]}"); bc=$(median "${bsdtar_cpu[@]}")

diff -r "$scratch/tool" "$scratch/bsdtar" >/dev/null || { echo "bench: the two trees differ" >&2; exit 1; }

echo
printf 'package: %d files, %d MB unpacked, %.1f MB archive; %d runs each, medians\n' \
  "$entries" "$BENCH_MB" "$(calc "$archive_bytes / 1048576")" "$BENCH_RUNS"
printf '| program | wall time | MB/s unpacked | CPU time (user+sys) |\n|---|---|---|---|\n'
printf '| unzip.exe | %.3f s | %.0f | %.3f s |\n' "$tw" "$(calc "$BENCH_MB / $tw")" "$tc"
printf '| bsdtar -xf | %.3f s | %.0f | %.3f s |\n' "$bw" "$(calc "$BENCH_MB / $bw")" "$bc"
printf 'speed ratio unzip.exe / bsdtar (bsdtar time / unzip.exe time): wall %.2fx, cpu %.2fx (target >= 0.90x)\n' \
  "$(calc "$bw / $tw")" "$(calc "$bc / $tc")"
