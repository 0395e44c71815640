#!/usr/bin/env bash
# Extraction speed: unzip.exe against "bsdtar -xf" and Info-ZIP "unzip -q" on the same packages.
# Needs /usr/bin/time (package "time"), bsdtar, unzip; strace for the system-call counts.
#
#   bench/extraction.sh [UNZIP_EXE]
#
#   UNZIP_EXE              the tool to measure (default: build/bin/test-tool/unzip.exe, the test
#                          build, which reads the NEMBRAL_UNZIP_* switches below)
#   NEMBRAL_BENCH_RUNS     timed runs of each program on each data set (default 7, at least 7)
#   NEMBRAL_BENCH_SETS     data sets, from: tiny tiny-tmpfs 200m 1g stored1g (default: all, in
#                          this order: the small files first, before any tree has been deleted)
#   NEMBRAL_BENCH_DIR      scratch directory (default: a new one in $TMPDIR or /tmp, removed at
#                          the end; a given one is kept, and so are the packages made in it,
#                          which later runs reuse)
#   NEMBRAL_BENCH_STRACE   0 to skip the system-call counts (default: 1 when strace is present)
#   NEMBRAL_BENCH_ONE_WORKER  0 to leave out "unzip.exe, one worker" (NEMBRAL_UNZIP_WORKERS=1),
#                          which shows what the parallel extraction gains (default 1)
#   NEMBRAL_BENCH_FLUSH_ENTRIES  0 to leave out the tool's two other ways to make the tree
#                          durable before it is moved into place (default 1): "each entry flushed"
#                          (NEMBRAL_UNZIP_FLUSH=entries: fdatasync of every file as it is closed)
#                          and "the file system flushed" (NEMBRAL_UNZIP_FLUSH=filesystem: one syncfs
#                          of the staging file system, which also waits for other programs' data),
#                          against its own (each file's writeback started as it is closed, every
#                          file waited for with fdatasync and every folder with fsync at the end)
#   NEMBRAL_BENCH_STREAM_ONLY  0 to leave out "unzip.exe, streaming only"
#                          (NEMBRAL_UNZIP_WHOLE_ENTRIES=0: every entry through libarchive's
#                          stream, none decompressed whole by libdeflate) (default 1)
#
# Data sets, made by tools/make-package (version.txt, README.txt and Nembrals.exe besides the
# payload, whose files are half random bytes and half text):
#   200m      200 MiB in 2,000 files, deflated
#   1g        1 GiB in 2,000 files, deflated
#   tiny      20,000 files of about 50 bytes (1 MiB), deflated, all in one folder
#   tiny-tmpfs  the same, extracted into /dev/shm: what the programs cost themselves, without
#             the file system's inode allocation, which on ext4 varies from run to run by a
#             factor of up to 5 with what was deleted on the disk shortly before
#   stored1g  one 1 GiB file, stored (no compression)
#
# Every run extracts into a new empty folder. (ext4 avoids reusing inodes freed in the last
# seconds, or minutes while their inode table block is dirty, and searching past them makes
# creating small files several times slower right after a large tree was deleted.) Runs rotate through the programs, and the
# program that goes first moves on each round (A B C D, B C D A, ...), so that none always
# follows another one's writeback. Before each run `sync` writes dirty pages back, outside the
# timing; the archive is read from the page cache by all. Trees stay until the data set is done
# (until the end of the round for the 1 GiB sets, to bound the disk space), so no run follows
# the deletion of a large tree directly. The trees of the first round are compared with diff -r.
# unzip.exe is timed as the launcher runs it: mutex, checks, staging directory, extraction,
# the flush of its own files to the disk, the final rename and the clean-up. bsdtar and Info-ZIP unzip flush
# nothing: their data is still in the page cache when they end.
#
# Output: the machine, the disk's own write speed (dd), then one Markdown table with
# min / median / max wall time, median CPU time (user + system) and median peak RSS of each
# program on each data set, and the ratios against unzip.exe; then the system calls per
# extracted file on the tiny set (strace -c -f).
set -euo pipefail

# shellcheck source=lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
nembral_init bench bsdtar unzip python3
tool="${1:-$repo/build/bin/test-tool/unzip.exe}"
runs="${NEMBRAL_BENCH_RUNS:-7}"
sets="${NEMBRAL_BENCH_SETS:-tiny tiny-tmpfs 200m 1g stored1g}"
use_strace="${NEMBRAL_BENCH_STRACE:-1}"
one_worker="${NEMBRAL_BENCH_ONE_WORKER:-1}"
flush_entries="${NEMBRAL_BENCH_FLUSH_ENTRIES:-1}"
stream_only="${NEMBRAL_BENCH_STREAM_ONLY:-1}"

[ -x "$tool" ] || die "no extraction tool at $tool (build it first)"
if ! [[ "$runs" =~ ^[0-9]+$ ]] || [ "$runs" -lt 7 ]; then die "NEMBRAL_BENCH_RUNS must be 7 or more"; fi
[ -x /usr/bin/time ] || die "/usr/bin/time not found (run scripts/setup.sh)"
command -v strace >/dev/null || use_strace=0

bench_scratch_dir
shm="" # the tiny-tmpfs set's folder in /dev/shm
cleanup() {
  [ -z "$shm" ] || rm -rf "$shm"
  if [ "$scratch_is_given" = 1 ]; then
    rm -rf "$scratch/out" "$scratch/runtime" "$scratch/dd.bin"
  else
    rm -rf "$scratch"
  fi
}
trap cleanup EXIT
# The tool's named mutex lives below the runtime directory; a private one keeps a running
# launcher or test out of the way.
mkdir -p "$scratch/runtime"
chmod 700 "$scratch/runtime"
export XDG_RUNTIME_DIR="$scratch/runtime"

smallest() { printf '%s\n' "$@" | sort -g | head -n1; }
largest() { printf '%s\n' "$@" | sort -g | tail -n1; }

# make_set NAME: the package of data set NAME, made once; prints its archive path
make_set() {
  local dir="$scratch/sets/${1%-tmpfs}" args
  case "$1" in
    200m) args=(--payload-mb 200 --payload-files 1997) ;;
    1g) args=(--payload-mb 1024 --payload-files 1997) ;;
    tiny | tiny-tmpfs) args=(--payload-mb 1 --payload-files 19997) ;;
    stored1g) args=(--payload-mb 1024 --payload-files 1 --store) ;;
    *) die "unknown data set '$1' (tiny tiny-tmpfs 200m 1g stored1g)" ;;
  esac
  [ -f "$dir/nembral.zip" ] || "$repo/tools/make-package" "${args[@]}" 1.0 "$dir" >/dev/null
  echo "$dir/nembral.zip"
}

programs=(unzip.exe bsdtar unzip-q)
[ "$one_worker" = 0 ] || programs+=(unzip.exe-1)
[ "$flush_entries" = 0 ] || programs+=(unzip.exe-entries unzip.exe-syncfs)
[ "$stream_only" = 0 ] || programs+=(unzip.exe-stream)
# extract_command PROGRAM ARCHIVE OUT: the command line of PROGRAM extracting ARCHIVE into OUT
extract_command() {
  case "$1" in
    unzip.exe) echo "$tool $2 $3" ;;
    unzip.exe-1) echo "env NEMBRAL_UNZIP_WORKERS=1 $tool $2 $3" ;;
    unzip.exe-entries) echo "env NEMBRAL_UNZIP_FLUSH=entries $tool $2 $3" ;;
    unzip.exe-syncfs) echo "env NEMBRAL_UNZIP_FLUSH=filesystem $tool $2 $3" ;;
    unzip.exe-stream) echo "env NEMBRAL_UNZIP_WHOLE_ENTRIES=0 $tool $2 $3" ;;
    bsdtar) echo "bsdtar -xf $2 -C $3" ;;
    unzip-q) echo "unzip -q $2 -d $3" ;;
  esac
}

# timed PROGRAM ARCHIVE OUT: one run into the new empty folder OUT; prints "wall cpu rss_kb"
timed() {
  local out
  mkdir -p "$3"
  sync
  # shellcheck disable=SC2046 # the command line is split on purpose (paths have no spaces)
  out=$(/usr/bin/time -f '%e %U %S %M' $(extract_command "$1" "$2" "$3") 2>&1 >/dev/null) \
    || die "$1 failed on $2: $out"
  awk 'END { printf "%.3f %.3f %d\n", $1, $2 + $3, $4 }' <<<"$out"
}

echo "machine: $(nproc) cores, $(uname -sr), $(awk '/MemTotal/ { printf "%.0f GB RAM", $2 / 1048576 }' /proc/meminfo)," \
  "scratch on $(df --output=fstype "$scratch" | tail -n1) ($(df --output=source "$scratch" | tail -n1))"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "programs: $(basename "$tool") (libarchive $(bsdtar --version | sed -n 's/.*libarchive \([0-9.]*\).*/\1/p'))," \
  "$(bsdtar --version | cut -d' ' -f1-2), Info-ZIP $(unzip -v | head -n1 | cut -d' ' -f1-2)"

# The disk's own write speed, for context: 1 GiB of zeros into the page cache only, and
# written through to the disk (conv=fdatasync). Median of three each, in MiB/s.
dd_speed() {
  LC_ALL=C dd if=/dev/zero of="$scratch/dd.bin" bs=1M count=1024 "$@" 2>&1 \
    | sed -n 's/^\([0-9]*\) bytes .* copied, \([0-9.e+-]*\) s,.*/\1 \2/p' | awk '{ printf "%.0f\n", $1 / $2 / 1048576 }'
  rm -f "$scratch/dd.bin"
  sync
}
dd_cache=() dd_disk=()
for _ in 1 2 3; do
  sync
  dd_cache+=("$(dd_speed)")
  dd_disk+=("$(dd_speed conv=fdatasync)")
done
echo "dd 1 GiB: $(median "${dd_cache[@]}") MiB/s into the page cache, $(median "${dd_disk[@]}") MiB/s through to the disk (conv=fdatasync); medians of 3"
echo

table=$'| data set | program | wall min | wall median | wall max | CPU median | peak RSS | speed-up of unzip.exe |\n|---|---|---|---|---|---|---|---|'
for set in $sets; do
  archive=$(make_set "$set")
  out="$scratch/out/$set"
  if [ "$set" = tiny-tmpfs ]; then
    [ -d /dev/shm ] || die "no /dev/shm for the tiny-tmpfs set"
    shm=$(mktemp -d /dev/shm/nembral-bench.XXXXXX)
    out="$shm/$set"
  fi
  cat "$archive" >/dev/null # into the page cache for everyone
  files=$(bsdtar -tf "$archive" | grep -vc '/$')
  unpacked_mb=$(unzip -l "$archive" | tail -n1 | awk '{ printf "%.0f", $1 / 1048576 }')
  declare -A wall=() cpu=() rss=()
  for round in $(seq 1 "$runs"); do
    for k in "${!programs[@]}"; do
      p=${programs[$(((round - 1 + k) % ${#programs[@]}))]}
      read -r w c m < <(timed "$p" "$archive" "$out/$p-$round")
      wall[$p]+="$w " cpu[$p]+="$c " rss[$p]+="$m "
      printf '%s round %d: %-11s %6.3f s wall, %6.3f s CPU, %6d KB\n' "$set" "$round" "$p" "$w" "$c" "$m" >&2
    done
    if [ "$round" -eq 1 ]; then
      # unzip.exe also leaves its result for the launcher beside the tree.
      diff -r -x unzip-result.txt "$out/unzip.exe-1" "$out/bsdtar-1" >/dev/null || die "$set: unzip.exe and bsdtar made different trees"
      diff -r -x unzip-result.txt "$out/unzip.exe-1" "$out/unzip-q-1" >/dev/null || die "$set: unzip.exe and unzip -q made different trees"
    fi
    if [ "$set" = 1g ] || [ "$set" = stored1g ]; then rm -rf "$out"; sync; fi
  done
  rm -rf "$out"
  sync
  # shellcheck disable=SC2086 # word lists
  ours=$(median ${wall[unzip.exe]})
  label="$set: $files files, $unpacked_mb MiB, $(calc "int($(stat -c %s "$archive") / 1048576 * 10 + 0.5) / 10") MiB zip"
  for p in "${programs[@]}"; do
    # shellcheck disable=SC2086
    mid=$(median ${wall[$p]})
    ratio=$([ "$p" = unzip.exe ] && echo - || printf '%.2fx' "$(calc "$mid / $ours")")
    # shellcheck disable=SC2086
    table+=$'\n'"$(printf '| %s | %s | %.3f s | %.3f s | %.3f s | %.3f s | %.1f MB | %s |' "$label" \
      "$(extract_command "$p" ARCHIVE OUT | sed "s|$tool|unzip.exe|; s|^env ||")" "$(smallest ${wall[$p]})" "$mid" \
      "$(largest ${wall[$p]})" "$(median ${cpu[$p]})" "$(calc "$(median ${rss[$p]}) / 1024")" "$ratio")"
  done
  unset wall cpu rss
done

echo "$runs runs of each program on each data set; speed-up = the other program's median wall time / unzip.exe's"
echo
echo "$table"
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

if [ "$use_strace" = 1 ]; then
  archive=$(make_set tiny)
  files=$(bsdtar -tf "$archive" | grep -vc '/$')
  echo
  echo "system calls on the tiny set ($files files), strace -c -f, one run each:"
  echo
  echo '| program | system calls | per file | the most frequent, per file |'
  echo '|---|---|---|---|'
  for p in unzip.exe bsdtar unzip-q; do
    out="$scratch/out/strace-$p"
    mkdir -p "$out"
    sync
    # shellcheck disable=SC2046
    strace -c -f -o "$scratch/strace.txt" $(extract_command "$p" "$archive" "$out") >/dev/null
    # Columns: % time, seconds, usecs/call, calls, [errors], name; the last line is the total.
    total=$(awk '$NF == "total" { print $4 }' "$scratch/strace.txt")
    top=$(awk '$1 ~ /^[0-9.]+$/ && $NF != "total" { print $4, $NF }' "$scratch/strace.txt" \
      | sort -rn | head -n5 | awk -v n="$files" '{ printf "%s%s %.1f", (NR > 1 ? ", " : ""), $2, $1 / n }')
    printf '| %s | %d | %.1f | %s |\n' "$p" "$total" "$(calc "$total / $files")" "$top"
    rm -rf "$out"
  done
fi
