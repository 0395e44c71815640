#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine and runs every lane; each lane but the style
# is one CMake workflow (CMakePresets.json: configure, build, test, and for the package its
# cpack step before the tests):
#   lint     clang-format, clang-tidy, shellcheck and .editorconfig (scripts/lint.sh), beside
#            the Windows lane where that runs, otherwise first
#   dev      the Linux build (warnings are errors): every suite and the table of roads
#   asan     the same with AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan     the suites that run threads, with ThreadSanitizer
#   fuzz     each fuzz target for NEMBRAL_FUZZ_SECONDS (default 30) over its corpus
#   package  the Debian package: its contents, then the table of roads on the installed launcher
#   windows  the mingw-w64 cross-build under wine (scripts/test-windows.sh: its set-up, the
#            workflow, the deployed launcher's roads) and, beside it, its installer under wine
# NEMBRAL_SKIP_<LANE>=1 skips one (NEMBRAL_SKIP_WINE=1 the Windows lane). The result lists each
# lane's time and how busy both cores were meanwhile.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
status=0
failed=()
times=("set-up $SECONDS s")
# The machine's busy and total CPU ticks so far, from /proc/stat.
ticks() { awk '/^cpu /{print $2 + $3 + $4 + $7 + $8 + $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9}' /proc/stat; }
skipped() { # skipped NAME: whether NEMBRAL_SKIP_<NAME>=1
  local skip="NEMBRAL_SKIP_${1^^}"
  [ "$1" != windows ] || skip=NEMBRAL_SKIP_WINE
  [ "${!skip:-0}" = 1 ]
}
ended() { # ended NAME STATUS SECONDS_AT_START TICKS_AT_START: notes a lane's outcome and time
  local busy total
  [ "$2" = 0 ] || { status=1; failed+=("$1"); }
  read -r busy total < <(ticks)
  times+=("$1 $((SECONDS - $3)) s, cores $(((busy - $4) * 100 / (total - $5 > 0 ? total - $5 : 1)))% busy")
}
lane() { # lane NAME COMMAND...: one lane, unless skipped
  skipped "$1" && return 0
  printf '\n===== %s =====\n' "$1"
  local began=$SECONDS s=0 busy total
  read -r busy total < <(ticks)
  "${@:2}" || s=1
  ended "$1" "$s" "$began" "$busy" "$total"
}

# A machine without the Windows libraries and Qt in its cache builds them from Debian's sources,
# about 40 minutes of both cores. They start now at the lowest priority, so that they take only
# what the Linux lanes leave idle, and the Windows lane waits for them. From the cache, seconds.
prereqs_pid=
# shellcheck disable=SC2317 # run in the background below
prereqs() {
  local began=$SECONDS
  nice -n 19 bash scripts/windows-deps.sh >/dev/null && nice -n 19 bash scripts/windows-qt.sh >/dev/null &&
    echo "windows libraries and Qt ready after $((SECONDS - began)) s"
}
if [ "${NEMBRAL_SKIP_WINE:-0}" != 1 ]; then
  prereqs_log=$(mktemp "${TMPDIR:-/tmp}/nembral-windows-prereqs.XXXXXX")
  prereqs >"$prereqs_log" 2>&1 &
  prereqs_pid=$!
  # A background job of a script ignores the interrupt: an interrupted run stops it too.
  trap 'trap - INT TERM; kill 0' INT TERM
fi

# The style needs nothing but the cores. Where the Windows lane runs, which mostly waits on wine,
# the style runs beside it at a lower priority, in time the cores would otherwise idle away;
# elsewhere first, since it fails early.
lint_beside=0
if ! skipped windows && ! skipped lint; then lint_beside=1; else lane lint bash scripts/lint.sh; fi
lint_pid=
for preset in dev asan tsan; do lane "$preset" cmake --workflow --preset "$preset"; done
# The fuzz runs' length is a cache variable of their build.
# shellcheck disable=SC2317 # run by lane
fuzz() { cmake --preset fuzz -DNEMBRAL_FUZZ_SECONDS="${NEMBRAL_FUZZ_SECONDS:-30}" >/dev/null && cmake --workflow --preset fuzz; }
lane fuzz fuzz
# Before the Windows lane: on a fresh machine it fills the wait for the Windows Qt.
lane package cmake --workflow --preset package
# The Windows suites and the installer's checks use wine prefixes, servers and loopbacks of their
# own and mostly wait on wine, so they run side by side on the one build; unless the table's rows
# cannot have a loopback each (network namespaces, as root), when the installer's offline
# launcher and the rows would meet on the vendor port.
# shellcheck disable=SC2317 # run by lane
windows() {
  local s=0 began=$SECONDS installer_log installer_pid probe="nembral-probe-$$"
  wait "$prereqs_pid" || s=1
  cat "$prereqs_log"
  echo "waited $((SECONDS - began)) s for them"
  rm -f "$prereqs_log"
  # Not before: on a fresh machine the style would take the cores from the Qt build, which the
  # lowest priority keeps behind everything else.
  if [ "$lint_beside" = 1 ]; then
    lint_log=$(mktemp "${TMPDIR:-/tmp}/nembral-lint.XXXXXX")
    lint_began=$SECONDS
    read -r lint_busy lint_total < <(ticks)
    nice -n 10 bash scripts/lint.sh </dev/null >"$lint_log" 2>&1 &
    lint_pid=$!
  fi
  [ "$s" = 0 ] || return 1
  bash scripts/build-windows.sh >/dev/null || return 1
  export NEMBRAL_WIN_BUILT=1
  if command -v nsenter >/dev/null && ip netns add "$probe" 2>/dev/null && ip netns del "$probe"; then
    installer_log=$(mktemp "${TMPDIR:-/tmp}/nembral-windows-installer.XXXXXX")
    bash scripts/test-windows-installer.sh >"$installer_log" 2>&1 &
    installer_pid=$!
    bash scripts/test-windows.sh || s=1
    wait "$installer_pid" || s=1
    echo "--- the installer, beside them:"
    cat "$installer_log"
    rm -f "$installer_log"
  else
    bash scripts/test-windows.sh || s=1
    bash scripts/test-windows-installer.sh || s=1
  fi
  unset NEMBRAL_WIN_BUILT
  return "$s"
}
lane windows windows
if [ -n "$lint_pid" ]; then
  printf '\n===== lint (beside the Windows lane) =====\n'
  s=0
  wait "$lint_pid" || s=1
  cat "$lint_log"
  rm -f "$lint_log"
  ended lint "$s" "$lint_began" "$lint_busy" "$lint_total"
fi

printf '\n===== result =====\n'
printf 'lane %s\n' "${times[@]}"
if [ "$status" -eq 0 ]; then echo "all lanes passed"; else echo "FAILED: ${failed[*]}"; fi
exit "$status"
