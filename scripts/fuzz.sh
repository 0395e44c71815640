#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/, clang's libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz/) and runs one of them, or each in turn.
#
#   scripts/fuzz.sh TARGET|all SECONDS [LIBFUZZER_OPTION...]
#
#   TARGET   archive, signature or versionline (fuzz/fuzz_TARGET.cpp); all: each for SECONDS
#   SECONDS  how long each target runs
#
# A target starts from its seed corpus (fuzz/corpus/TARGET, never written) and the inputs it
# found worth keeping in earlier runs on this machine (build-fuzz/corpus/TARGET). A finding (a
# crash, a sanitizer report, a broken property, a leak, an input slower than 10 s) ends the run;
# the input is written to build-fuzz/findings/TARGET/ and the script exits 1. Every run ends with
# libFuzzer's figures (executions, coverage) and one line "fuzz TARGET: ..." with the outcome.
# NEMBRAL_FUZZ_NO_BUILD=1 runs what is built without building.
set -euo pipefail

# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init fuzz clang++ cmake ninja

targets=(archive signature versionline)
usage() { echo "usage: scripts/fuzz.sh ${targets[*]// /|}|all SECONDS [LIBFUZZER_OPTION...]" >&2; exit 2; }
[ $# -ge 2 ] || usage
which=$1
seconds=$2
shift 2
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || usage
if [ "$which" = all ]; then
  run=("${targets[@]}")
elif [[ " ${targets[*]} " == *" $which "* ]]; then
  run=("$which")
else
  usage
fi

build="$repo/build-fuzz"
if [ "${NEMBRAL_FUZZ_NO_BUILD:-0}" != 1 ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DNEMBRAL_FUZZ=ON -DNEMBRAL_BUILD_TESTS=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" --target "${run[@]/#/fuzz_}"
fi

status=0
for target in "${run[@]}"; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$corpus" "$findings"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
    -artifact_prefix="$findings/")
  [ ! -f "$repo/fuzz/$target.dict" ] || options+=(-dict="$repo/fuzz/$target.dict")
  # Leaks are findings too; a failed property aborts, which libFuzzer reports as a crash.
  if ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
    "$build/bin/fuzz_$target" "${options[@]}" "$@" "$corpus" "$repo/fuzz/corpus/$target"; then
    echo "fuzz $target: no finding in $seconds s"
  else
    echo "fuzz $target: FINDING, input in $findings/"
    status=1
  fi
done
exit "$status"
