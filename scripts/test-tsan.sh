#!/usr/bin/env bash
# The test suites that run threads, built with ThreadSanitizer (build-tsan/) and run under it:
# the extraction tool's workers (tst_unzip runs unzip.exe, built with it too), the download
# worker and its hand-over to the window (tst_mainwindow, tst_versioncheck, tst_installtracker,
# tst_launch, tst_downloadattempt), the named mutex probed from several threads
# (tst_namedmutex) and the log written from several threads (tst_log). Any data race fails
# the suite that met it. Suppressions: tests/tsan-suppressions.txt.
set -euo pipefail

# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init test-tsan cmake ninja ctest
cd "$repo"

suites=(tst_unzip tst_mainwindow tst_versioncheck tst_installtracker tst_launch tst_downloadattempt
  tst_namedmutex tst_log)

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEMBRAL_TSAN=ON \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build-tsan -j"$(nproc)" --target "${suites[@]}"

# die_after_fork=0: QProcess starts its children by fork from a process that has threads; the
# child only calls exec, which ThreadSanitizer cannot tell, so by default it would stop there.
# halt_on_error=1: the first race ends the program, so the suite fails on it (unzip.exe's
# report goes to its standard error, which tst_unzip checks, and it exits non-zero).
regex="^($(IFS='|'; echo "${suites[*]}"))\$"
TSAN_OPTIONS="die_after_fork=0 halt_on_error=1 second_deadlock_stack=1 suppressions=$repo/tests/tsan-suppressions.txt" \
  ctest --test-dir build-tsan -R "$regex" --output-on-failure -j"$(nproc)" --timeout 900
