#!/bin/sh
# Runs a cross-built test program under wine for CTest: wine-test.sh PROGRAM.exe [ARG...]
# The program writes into a file, which is passed on as it grows until the program has ended.
# wine starts processes of its own on demand, which can outlive the program that started them
# and keep its standard output open: on CTest's pipe, CTest would wait for them until the last
# program of the prefix had ended, minutes after the suite's own end, or until its time-out.
out=$(mktemp "${TMPDIR:-/tmp}/nembral-wine-test.XXXXXX") || exit 1
wine "$@" >"$out" 2>&1 </dev/null &
program=$!
tail -n +1 -s 0.2 -f --pid="$program" "$out"
wait "$program"
status=$?
rm -f "$out"
exit "$status"
