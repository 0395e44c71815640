# shellcheck shell=bash
# Shell functions of the benchmark scripts, on top of those of scripts/lib/common.sh, which this
# file sources (a bench script sources this file instead, then calls nembral_init). Sourced,
# never run.
#   median NUMBER...          prints the median of the numbers
#   calc EXPRESSION           prints the value of an awk EXPRESSION
#   bench_package_settings RUNS
#                             the benchmark package's settings: sets BENCH_RUNS, BENCH_MB and
#                             BENCH_FILES from NEMBRAL_BENCH_RUNS (default RUNS), NEMBRAL_BENCH_MB
#                             (default 200) and NEMBRAL_BENCH_FILES (default 2000), and
#                             PAYLOAD_FILES to the payload files tools/make-package needs for a
#                             package of BENCH_FILES files in all; fails below 4
#   bench_scratch_dir         sets scratch to NEMBRAL_BENCH_DIR (made if missing, kept at the end)
#                             or to a new folder in TMPDIR (or /tmp), and scratch_is_given to 1
#                             or 0, so the caller's clean-up knows whether to remove it whole

# shellcheck source=../scripts/lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"

median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2) }'; }

calc() { awk "BEGIN { print $1 }"; }

# shellcheck disable=SC2034 # for the caller
bench_package_settings() {
  BENCH_RUNS=${NEMBRAL_BENCH_RUNS:-$1}
  BENCH_MB=${NEMBRAL_BENCH_MB:-200}
  BENCH_FILES=${NEMBRAL_BENCH_FILES:-2000}
  # version.txt, README.txt and Nembrals.exe come with every package.
  PAYLOAD_FILES=$((BENCH_FILES - 3))
  [ "$PAYLOAD_FILES" -ge 1 ] || { echo "$msg_prefix: NEMBRAL_BENCH_FILES must be at least 4" >&2; return 1; }
}

bench_scratch_dir() {
  if [ -n "${NEMBRAL_BENCH_DIR:-}" ]; then
    scratch=$NEMBRAL_BENCH_DIR
    scratch_is_given=1
    mkdir -p "$scratch"
  else
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/nembral-bench.XXXXXX")
    # shellcheck disable=SC2034 # for the caller
    scratch_is_given=0
  fi
}
