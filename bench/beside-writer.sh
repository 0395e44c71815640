#!/usr/bin/env bash
# The installation beside another writer: unzip.exe extracting a package while another process
# writes a large file to the same file system, against the same extraction alone, for each way
# the tool can make the tree durable. Not a test; run it by hand:
#
#   bench/beside-writer.sh [UNZIP_EXE]
#
#   UNZIP_EXE              the tool to measure (default: build/bin/test-tool/unzip.exe, the test
#                          build, which reads NEMBRAL_UNZIP_FLUSH)
#   NEMBRAL_BENCH_RUNS     rounds (default 7, at least 5)
#   NEMBRAL_BENCH_SETS     data sets, from: 200m 1g tiny (default: 200m; as in extraction.sh)
#   NEMBRAL_BENCH_FLUSHES  the tool's flushes, from: started entries filesystem (default: all)
#                            started     each file's writeback started as it is closed, all
#                                        waited for (fdatasync) before the move into place
#                            entries     NEMBRAL_UNZIP_FLUSH=entries: fdatasync as each is closed
#                            filesystem  NEMBRAL_UNZIP_FLUSH=filesystem: one syncfs at the end
#   NEMBRAL_BENCH_WRITER_MB  what the other writer writes (default 2048)
#   NEMBRAL_BENCH_DIR      scratch directory (default: a new one, removed at the end; a given
#                          one is kept with the packages made in it, which later runs reuse)
#
# Method: in each round every (flush, writer) pair runs once, the order rotated by one place per
# round. A run with the writer starts `dd if=/dev/zero bs=1M` into a file on the same file
# system, waits until it has written 256 MiB (so the page cache holds its dirty data, as it
# would beside a large copy), then times the extraction alone; the writer is then waited for,
# its file removed and `sync` run, all outside the timing. Every run extracts into a new empty
# folder after a `sync`; the archive is read from the page cache. Prints each run, then per set
# and flush the median wall time alone and beside the writer and their ratio.
set -euo pipefail

# shellcheck source=lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
nembral_init bench dd
tool="${1:-$repo/build/bin/test-tool/unzip.exe}"
runs="${NEMBRAL_BENCH_RUNS:-7}"
sets="${NEMBRAL_BENCH_SETS:-200m}"
flushes="${NEMBRAL_BENCH_FLUSHES:-started entries filesystem}"
writer_mb="${NEMBRAL_BENCH_WRITER_MB:-2048}"
[ -x "$tool" ] || die "no extraction tool at $tool (build it first)"
if ! [[ "$runs" =~ ^[0-9]+$ ]] || [ "$runs" -lt 5 ]; then die "NEMBRAL_BENCH_RUNS must be 5 or more"; fi

bench_scratch_dir
writer_pid=""
cleanup() {
  [ -z "$writer_pid" ] || kill "$writer_pid" 2>/dev/null || true
  if [ "$scratch_is_given" = 1 ]; then
    rm -rf "$scratch/out" "$scratch/runtime" "$scratch/writer.bin"
  else
    rm -rf "$scratch"
  fi
}
trap cleanup EXIT
mkdir -p "$scratch/runtime"
chmod 700 "$scratch/runtime"
export XDG_RUNTIME_DIR="$scratch/runtime" # the tool's named mutex, away from any other

make_set() {
  local dir="$scratch/sets/$1" args
  case "$1" in
    200m) args=(--payload-mb 200 --payload-files 1997) ;;
    1g) args=(--payload-mb 1024 --payload-files 1997) ;;
    tiny) args=(--payload-mb 1 --payload-files 19997) ;;
    *) die "unknown data set '$1' (200m 1g tiny)" ;;
  esac
  [ -f "$dir/nembral.zip" ] || "$repo/tools/make-package" "${args[@]}" 1.0 "$dir" >/dev/null
  echo "$dir/nembral.zip"
}

flush_env() {
  case "$1" in
    started) echo "NEMBRAL_UNZIP_FLUSH=" ;;
    entries | filesystem) echo "NEMBRAL_UNZIP_FLUSH=$1" ;;
    *) die "unknown flush '$1' (started entries filesystem)" ;;
  esac
}

# run FLUSH WRITER ARCHIVE OUT: one timed extraction; prints the wall time in seconds
run() {
  local start end
  mkdir -p "$4"
  sync
  if [ "$2" = with ]; then
    dd if=/dev/zero of="$scratch/writer.bin" bs=1M count="$writer_mb" status=none &
    writer_pid=$!
    while [ "$(stat -c %s "$scratch/writer.bin" 2>/dev/null || echo 0)" -lt $((256 << 20)) ]; do sleep 0.02; done
  fi
  start=$(date +%s.%N)
  env "$(flush_env "$1")" "$tool" "$3" "$4" >/dev/null || die "unzip.exe failed ($1, $2 writer)"
  end=$(date +%s.%N)
  if [ -n "$writer_pid" ]; then
    wait "$writer_pid"
    writer_pid=""
    rm -f "$scratch/writer.bin"
  fi
  calc "$end - $start"
}

echo "machine: $(nproc) cores, $(uname -sr), scratch on $(df --output=fstype "$scratch" | tail -n1)," \
  "dirty limits $(cat /proc/sys/vm/dirty_background_ratio)% / $(cat /proc/sys/vm/dirty_ratio)% of $(awk '/MemTotal/ { printf "%.0f GB", $2 / 1048576 }' /proc/meminfo)"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
read -r -a flush_list <<<"$flushes"
pairs=()
for f in "${flush_list[@]}"; do pairs+=("$f:without" "$f:with"); done

table=$'| data set | flush | alone (median) | beside the writer (median) | ratio |\n|---|---|---|---|---|'
for set in $sets; do
  archive=$(make_set "$set")
  cat "$archive" >/dev/null
  declare -A wall=()
  for round in $(seq 1 "$runs"); do
    for k in "${!pairs[@]}"; do
      pair=${pairs[$(((round - 1 + k) % ${#pairs[@]}))]}
      w=$(run "${pair%:*}" "${pair#*:}" "$archive" "$scratch/out/$set/$pair-$round")
      wall[$pair]+="$w "
      printf '%s round %d: %-10s %-7s writer %6.3f s\n' "$set" "$round" "${pair%:*}" "${pair#*:}" "$w" >&2
    done
    rm -rf "$scratch/out"
    sync
  done
  for f in "${flush_list[@]}"; do
    # shellcheck disable=SC2086 # word lists
    alone=$(median ${wall[$f:without]}) beside=$(median ${wall[$f:with]})
    table+=$'\n'"$(printf '| %s | %s | %.3f s | %.3f s | %.2fx |' "$set" "$f" "$alone" "$beside" "$(calc "$beside / $alone")")"
  done
  unset wall
done
echo "$runs rounds; writer: dd of $writer_mb MiB to the same file system, started 256 MiB before the timing"
echo
echo "$table"
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
