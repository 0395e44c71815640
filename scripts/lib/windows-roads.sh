# shellcheck shell=bash
# shellcheck disable=SC2154 # the lane's variables, set before this file is sourced
# The deployed Windows launcher (build-win/dist) run under wine down every road a user meets,
# for scripts/test-windows.sh, which sources this file and then calls windows_roads. It expects
# the lane's variables and functions: repo, build, dist, served (the lane's version 1.4.2 and a
# 3 MiB stand-in package), state (the vendor server's CA), winpath, start_vendor_server and
# stop_vendor_server, WINEPREFIX trusting the server's CA, and no DISPLAY.
#
# The launcher is built for one vendor host (localhost:8443 by default), so every road is served
# from that one port, one publication after the other; the runs that share a publication run side
# by side. Checks read what a user could see from outside: the console log, the exit code, the
# files left, and the starts the stand-in Nembrals.exe (tests/win/nembrals_stub.cpp) notes in
# started.log ("started in FOLDER: VERSION complete|incomplete"). The buttons are pressed as a
# user presses them: the launcher on wine's own windows platform, drawing on a virtual X display,
# and a click through X (xdotool) where the button is.
#
# Ends with "launcher runs: N passed, N failed"; returns non-zero when a check failed.

roads_checks=0
roads_failed=0

# check WHAT CONDITION: one line "ok" or "FAIL" for WHAT; CONDITION is evaluated by the shell.
# The logs are read through the helpers below, which drop the CR of the program's CR LF.
check() {
  roads_checks=$((roads_checks + 1))
  # The interpreter's record ends its lines in CR LF too.
  local f
  for f in "$work"/*/commands.txt; do [ ! -f "$f" ] || sed -i 's/\r$//' "$f"; done
  if eval "$2"; then echo "  ok   $1"; else echo "  FAIL $1"; roads_failed=$((roads_failed + 1)); fi
}

# launch DIR NAME SECONDS [VAR=VALUE...]: starts the deployed launcher in DIR in the background, as
# a user's copy runs from its own folder, through wine's cmd.exe and the Windows unzip.exe (found
# on the search path in the program's folder), on the offscreen platform unless VAR=VALUE says
# otherwise. Output in DIR/NAME.log, its exit code in DIR/NAME.rc once it has ended (124: still
# running after SECONDS, ended by timeout).
launch() {
  local dir=$1 name=$2 seconds=$3
  shift 3
  (
    cd "$dir" || exit
    env WINEPATH="$(winpath "$dist")" WINEQT_QPA_PLATFORM=offscreen "$@" \
      timeout "$seconds" wine "$dist/nembral-launcher.exe" >"$name.log" 2>&1 </dev/null &
    echo "$!" >"$name.pid"
    local rc=0
    wait "$!" || rc=$?
    echo "$rc" >"$name.rc"
  ) &
}

# ended DIR NAME SECONDS: waits up to SECONDS for the launcher started as NAME to end.
ended() {
  local _
  for _ in $(seq 1 $(($3 * 10 + 1))); do [ -s "$1/$2.rc" ] && return 0; sleep 0.1; done
  return 1
}

# exited_with DIR NAME CODE: the launcher ended by itself with exit code CODE.
exited_with() { [ "$(cat "$1/$2.rc" 2>/dev/null)" = "$3" ]; }

# logged DIR NAME LINE SECONDS: waits up to SECONDS for the whole line LINE in NAME's log.
logged() {
  local _
  for _ in $(seq 1 $(($4 * 10 + 1))); do tr -d '\r' 2>/dev/null <"$1/$2.log" | grep -qxF "$3" && return 0; sleep 0.1; done
  return 1
}

# waits_quietly DIR NAME: after its last line the launcher stays open and logs nothing more for
# 2.5 seconds, as a page waiting for a button does; then it is ended.
waits_quietly() {
  local before after
  before=$(wc -c <"$1/$2.log")
  sleep 2.5
  after=$(wc -c <"$1/$2.log")
  local open=1
  [ ! -s "$1/$2.rc" ] || open=0
  stop_launch "$1" "$2"
  [ "$open" = 1 ] && [ "$before" = "$after" ]
}

stop_launch() {
  [ -s "$1/$2.rc" ] || kill "$(cat "$1/$2.pid")" 2>/dev/null || true
  ended "$1" "$2" 20 || true
}

# unstamped DIR: the lines of the support log in DIR without their time stamps.
unstamped() { sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z //' "$1/nembral/launcher.log"; }

# support_log_matches DIR NAME: every line of the support log in DIR carries a time stamp, and its
# lines are NAME's console lines in their order (the console has wine's own messages besides).
support_log_matches() {
  local log=$1/nembral/launcher.log
  [ -s "$log" ] && ! grep -qvE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z ' "$log" &&
    [ "$(tr -d '\r' <"$1/$2.log" | grep -xF -f <(unstamped "$1"))" = "$(unstamped "$1")" ]
}

# count DIR NAME LINE: how many whole lines LINE NAME's log has.
count() { tr -d '\r' <"$1/$2.log" | grep -cxF "$3" || true; }

# started_notes DIR: the starts noted by the installed stand-in in DIR, waiting up to 10 s for
# the first (the interpreter runs on after the launcher has quit).
started_notes() {
  local notes=$1/nembral/nembral/started.log
  for _ in $(seq 1 100); do [ -s "$notes" ] && break; sleep 0.1; done
  cat "$notes" 2>/dev/null || true
}

# installed DIR VERSION: an installation of VERSION in DIR as a finished run leaves it.
installed() {
  mkdir -p "$1/nembral/nembral"
  printf '%s\n' "$2" >"$1/nembral/nembral/version.txt"
  printf 'Nembral for the Windows lane\n' >"$1/nembral/nembral/readme.txt"
  cp "$build/bin/nembrals-stub.exe" "$1/nembral/nembral/Nembrals.exe"
}

# publish DIR VERSION [ARCHIVE]: the vendor's files in DIR: the version file, and the package
# ARCHIVE when given (without it the package's URL answers 404).
publish() {
  rm -rf "$1" && mkdir -p "$1"
  printf '%s\n' "$2" >"$1/version.txt"
  [ -z "${3:-}" ] || cp "$3" "$1/nembral.zip"
}

# package FILE VERSION: a package of VERSION whose Nembrals.exe is the stand-in.
package() {
  local dir
  dir=$(mktemp -d)
  stub_package "$dir" "$build/bin/nembrals-stub.exe" "$2" && mv "$dir/nembral.zip" "$1"
  rm -rf "$dir"
}

# serve DIR NAME [OPTION...]: the vendor server on the launcher's port publishing DIR (none with DIR
# empty), with the server's fault OPTIONs.
# A server that does not come up (once seen on a busy machine, without a word from it) is tried
# again; one that never does fails a check, and the roads then show what a launcher without it does.
serve() {
  stop_vendor_server
  [ -n "$1" ] || return 0
  local try dir=$1 name=$2
  shift 2
  for try in 1 2 3; do
    start_vendor_server "$dir" "$LAUNCHER_PORT" "$state" "$build/wine-server-$name.out" --quiet "$@" && return 0
    echo "  (the vendor server for '$name' did not start, try $try)"
  done
  check "the vendor server for '$name' on port $LAUNCHER_PORT" false
}

# The first install with the recording interpreter, which does not extract, and the start of an
# installed application, through the recording interpreter and through wine's cmd.exe.
roads_recorded() {
  serve "$served" recorded
  mkdir -p "$work/first" "$work/start/nembral/nembral"
  printf '1.4.2\n' >"$work/start/nembral/nembral/version.txt"
  printf 'Nembral for the Windows lane\n' >"$work/start/nembral/nembral/readme.txt"
  cp "$build/bin/nembrals-stub.exe" "$work/start/nembral/nembral/Nembrals.exe"
  local w runs=()
  for w in first start; do
    cp "$build/bin/record-interpreter.exe" "$work/$w/"
    winpath "$work/$w/commands.txt" >"$work/$w/record-interpreter.exe.record"
    # wine sets COMSPEC itself when a program starts, so the recording interpreter is put in
    # place by the interpreter that starts the launcher.
    (cd "$work/$w" || exit; WINEQT_QPA_PLATFORM=offscreen timeout 40 wine cmd /c \
      "set COMSPEC=$(winpath "$work/$w/record-interpreter.exe")&& $(winpath "$dist/nembral-launcher.exe")" \
      >launcher.log 2>&1 </dev/null || true) &
    runs+=("$!")
  done
  wait "${runs[@]}"
  # The first install: nothing installed; the package is fetched and the extraction command run.
  # The recording interpreter does not extract, so the launcher went on waiting for the tool.
  check "first install: installation necessary, then the package" \
    "logged '$work/first' launcher 'installation necessary' 0 && logged '$work/first' launcher 'DOWNLOAD COMPLETE' 0"
  check "first install: the package is in place" "cmp -s '$served/nembral.zip' '$work/first/nembral/nembral.zip'"
  check "first install: the extraction command through the interpreter" \
    "grep -qxF 'unzip.exe nembral/nembral.zip nembral' '$work/first/commands.txt'"
  # The interpreter runs on by itself after the launcher has quit: its record comes a moment later.
  for _ in $(seq 1 100); do [ -s "$work/start/commands.txt" ] && break; sleep 0.1; done
  check "up to date: the start command through the interpreter" \
    "grep -qxF 'cd ./nembral/nembral/ && Nembrals.exe' '$work/start/commands.txt'"
  check "up to date: 'Start Nembral' logged" "logged '$work/start' launcher 'Start Nembral' 0"
  # Through wine's own cmd.exe the start command really starts the application in its folder.
  rm -f "$work/start/commands.txt"
  launch "$work/start" launcher-cmd 40
  ended "$work/start" launcher-cmd 40 || true
  check "up to date: cmd.exe starts Nembrals.exe in nembral/nembral, exit 0" \
    "exited_with '$work/start' launcher-cmd 0 && started_notes '$work/start' | grep -q '^started in .*nembral.nembral: 1.4.2 complete\$'"
}

# No server listens: six failed attempts at the version file, then the installed application
# starts as it is and the launcher exits.
roads_offline() {
  serve "" offline
  installed "$work/offline" 1.0
  launch "$work/offline" launcher 60
  ended "$work/offline" launcher 60 || true
  local d=$work/offline
  # Six failures with one code of the download service: wine's gives 0x800c0008
  # (INET_E_DOWNLOAD_FAILURE) for a refused connection where Windows and the Linux downloader
  # give 0x800c0004.
  check "offline, installed: six failures with one code, 'Start Nembral', exit 0" \
    "[ \"\$(tr -d '\r' <'$d/launcher.log' | grep -x 'An error occured : error code = 0x800c00[0-9a-f][0-9a-f]' | sort | uniq -c | awk '{print \$1}')\" = 6 ] && [ \"\$(count '$d' launcher 'Start Nembral')\" = 1 ] && exited_with '$d' launcher 0"
  check "offline, installed: nothing fetched, the installed 1.0 started as it was" \
    "[ \"\$(started_notes '$d')\" = \"started in $(winpath "$d/nembral/nembral"): 1.0 complete\" ] && [ ! -e '$d/nembral/nembral.zip' ] && [ \"\$(count '$d' launcher 'Could not find Nembral')\" = 0 ]"
}

# Version 2.0 published with its package: a whole first install, and two launchers at once in one
# working directory.
roads_published() {
  local d=$work/install t=$work/together
  mkdir -p "$d" "$t"
  launch "$d" launcher 90
  launch "$t" first 90
  launch "$t" second 90
  ended "$d" launcher 90 || true
  ended "$t" first 90 || true
  ended "$t" second 90 || true
  check "first install through cmd.exe and unzip.exe: 'UNZIP complete!', 'Start Nembral', exit 0" \
    "logged '$d' launcher 'UNZIP complete!' 0 && logged '$d' launcher 'Start Nembral' 0 && exited_with '$d' launcher 0"
  check "first install: the installed tree, marker last written, the archive gone" \
    "[ \"\$(cat '$d/nembral/nembral/version.txt')\" = 2.0 ] && [ -f '$d/nembral/nembral/readme.txt' ] && [ ! -e '$d/nembral/nembral.zip' ]"
  check "first install: the installed Nembrals.exe started whole in nembral/nembral" \
    "started_notes '$d' | grep -q '^started in .*nembral.nembral: 2.0 complete\$'"
  check "two launchers at once: both exit 0 after 'Start Nembral'" \
    "exited_with '$t' first 0 && exited_with '$t' second 0 && [ \"\$(count '$t' first 'Start Nembral')\" = 1 ] && [ \"\$(count '$t' second 'Start Nembral')\" = 1 ]"
  # Both notes are written by then: each launcher waited a second before its start command.
  sleep 1
  check "two launchers at once: two starts, each on a whole 2.0 installation" \
    "[ \"\$(started_notes '$t' | grep -c ': 2.0 complete\$')\" = 2 ] && [ \"\$(started_notes '$t' | wc -l)\" = 2 ]"
}

# The question page, answered with a click as a user's: installed 1.0, published 2.0. ANSWER is
# update or skip; the launcher runs on wine's windows platform on the lane's X display.
# click_on_question_page DIR ANSWER: waits for the page, then clicks the button.
click_on_question_page() {
  local dir=$1 answer=$2 win=""
  logged "$dir" launcher "new version available" 60 || return 1
  for _ in $(seq 1 100); do
    win=$(xdotool search --onlyvisible --name '^MainWindow$' 2>/dev/null | head -n1 || true)
    [ -z "$win" ] || break
    sleep 0.1
  done
  [ -n "$win" ] || { echo "  (no visible window named MainWindow)"; return 1; }
  sleep 1  # let it paint
  # The buttons' middles in the 600x300 window (ui/mainwindowui.cpp): the dialog at y 97,
  # "Update to New Version" at x 110 and "Skip Update" at x 320 in it, each 170x30, at y 70.
  local x=195
  [ "$answer" = update ] || x=405
  # A click that comes before the window takes input is lost: clicked again while the log shows
  # no answer to it. A second click cannot answer twice, the page leaves with the first.
  local before attempt
  before=$(wc -l <"$dir/launcher.log")
  for attempt in 1 2 3; do
    xdotool mousemove --window "$win" "$x" 182 sleep 0.3 click 1
    for _ in $(seq 1 50); do
      [ "$(wc -l <"$dir/launcher.log")" = "$before" ] || return 0
      sleep 0.1
    done
    echo "  (click $attempt on the question page had no answer)"
  done
  return 1
}

roads_question_page() {
  local d
  for answer in update skip; do
    d=$work/ask-$answer
    installed "$d" 1.0
    launch "$d" launcher 90 WINEQT_QPA_PLATFORM=windows
    if ! click_on_question_page "$d" "$answer"; then
      echo "  (the question page was not reached or not clicked)"
    fi
    ended "$d" launcher 60 || true
  done
  d=$work/ask-update
  check "question page, 'Update to New Version': asked, then wiped, downloaded, extracted, exit 0" \
    "logged '$d' launcher 'NewVersion: 2.0 , CurrentVersion: 1.0' 0 && logged '$d' launcher 'downloadCompleteApplication' 0 && logged '$d' launcher 'UNZIP complete!' 0 && exited_with '$d' launcher 0"
  check "question page, 'Update to New Version': the new 2.0 started whole, nothing of the old one" \
    "[ \"\$(started_notes '$d')\" = \"started in $(winpath "$d/nembral/nembral"): 2.0 complete\" ] && [ ! -e '$d/nembral/nembral.zip' ]"
  d=$work/ask-skip
  check "question page, 'Skip Update': 'Start Nembral' without a download, exit 0" \
    "logged '$d' launcher 'Start Nembral' 0 && [ \"\$(count '$d' launcher 'downloadCompleteApplication')\" = 0 ] && exited_with '$d' launcher 0"
  check "question page, 'Skip Update': the installed 1.0 started as it was" \
    "[ \"\$(started_notes '$d')\" = \"started in $(winpath "$d/nembral/nembral"): 1.0 complete\" ] && [ ! -e '$d/nembral/nembral.zip' ] && [ \"\$(cat '$d/nembral/nembral/version.txt')\" = 1.0 ] && [ ! -e '$d/version.txt' ]"
}

# "Update to New Version" while the old Nembrals.exe runs and holds its file open: the wipe
# removes the version file first, then stops at the executable; one line names it, the error
# page shows, nothing is downloaded, completed or started.
roads_update_while_running() {
  local d=$work/ask-running
  installed "$d" 1.0
  (cd "$d/nembral/nembral" && NEMBRALS_STUB_STAY_SECONDS=120 timeout 150 wine ./Nembrals.exe </dev/null >/dev/null 2>&1 &
    echo "$!" >"$d/running.pid")
  for _ in $(seq 1 100); do [ -s "$d/nembral/nembral/started.log" ] && break; sleep 0.1; done
  launch "$d" launcher 90 WINEQT_QPA_PLATFORM=windows
  click_on_question_page "$d" update || echo "  (the question page was not reached or not clicked)"
  # The running program holds its executable, and the folder it runs in as its current one.
  local line='^cannot install: "nembral/nembral(/Nembrals.exe)?" could not be removed: .'
  for _ in $(seq 1 150); do tr -d '\r' <"$d/launcher.log" | grep -q '^cannot install: ' && break; sleep 0.1; done
  check "update while Nembrals.exe runs: one line names what is in use, the launcher waits on the error page" \
    "[ \"\$(tr -d '\r' <'$d/launcher.log' | grep -c '^cannot install: ')\" = 1 ] && tr -d '\r' <'$d/launcher.log' | grep -qE '$line' && waits_quietly '$d' launcher"
  check "update while Nembrals.exe runs: the marker gone, nothing downloaded, completed or started" \
    "[ ! -e '$d/nembral/nembral/version.txt' ] && [ -e '$d/nembral/nembral/Nembrals.exe' ] && [ ! -e '$d/nembral/nembral.zip' ] && [ \"\$(count '$d' launcher 'downloadCompleteApplication')\" = 0 ] && [ \"\$(count '$d' launcher 'UNZIP complete!')\" = 0 ] && [ \"\$(count '$d' launcher 'Start Nembral')\" = 0 ] && [ \"\$(wc -l <'$d/nembral/nembral/started.log')\" = 1 ]"
  kill "$(cat "$d/running.pid")" 2>/dev/null || true
}

# Version 3.0 published without its package (404), over the tree of an interrupted earlier
# installation (no version file): the tree is wiped, six failures, the error page.
roads_package_missing() {
  local d=$work/no-package
  installed "$d" 0.9
  rm "$d/nembral/nembral/version.txt"
  mkdir -p "$d/nembral/nembral/data" && printf 'old' >"$d/nembral/nembral/data/old.bin"
  launch "$d" launcher 90
  logged "$d" launcher "Could not find Nembral" 60 || true
  check "package 404: six failures 0x800c0005, then 'Could not find Nembral', the launcher waits" \
    "[ \"\$(count '$d' launcher 'An error occured : error code = 0x800c0005')\" = 6 ] && logged '$d' launcher 'Could not find Nembral' 0 && waits_quietly '$d' launcher"
  check "package 404: the old tree wiped first, nothing extracted or started, the support log kept" \
    "logged '$d' launcher 'downloadCompleteApplication' 0 && [ \"\$(count '$d' launcher 'run command')\" = 0 ] && [ \"\$(count '$d' launcher 'Start Nembral')\" = 0 ] && [ \"\$(ls -A '$d/nembral')\" = launcher.log ]"
  # Every console line of the run is in the support log too, after its time stamp.
  check "package 404: the support log holds the console's lines, each after a UTC time stamp" \
    "support_log_matches '$d' launcher && [ \"\$(unstamped '$d' | grep -c '^An error occured : error code = 0x800c0005\$')\" = 6 ] && unstamped '$d' | tail -n1 | grep -qx 'Could not find Nembral'"
}

# Version 3.0 published with a package whose bytes were damaged: unzip.exe refuses it and leaves
# its result, nothing is installed, and the launcher, with nothing to restore, shows the error page.
roads_corrupt_package() {
  local d=$work/corrupt
  mkdir -p "$d"
  launch "$d" launcher 90
  logged "$d" launcher "Could not find Nembral" 60 || true
  check "corrupt package, first install: 'extraction failed', the error page, nothing completed or started" \
    "tr -d '\r' <'$d/launcher.log' | tail -n4 | tr '\n' '|' | grep -qx 'Mutex does not exist|file not found|extraction failed|Could not find Nembral|' && [ \"\$(count '$d' launcher 'UNZIP complete!')\" = 0 ] && [ \"\$(count '$d' launcher 'Start Nembral')\" = 0 ] && waits_quietly '$d' launcher"
  check "corrupt package, first install: nothing put in place, the archive gone" \
    "[ \"\$(cd '$d/nembral' && find . -mindepth 1 | sort | tr '\n' ' ')\" = './launcher.log ' ]"
  # The launcher's commands run without a console, so the tool's refusal is seen by running it
  # once more as the launcher did, on the same archive.
  cp "$pkg/nembral-3.0.zip" "$d/nembral/nembral.zip"
  local rc=0
  (cd "$d" && WINEPATH="$(winpath "$dist")" timeout 60 wine cmd /c "unzip.exe nembral/nembral.zip nembral" \
    >unzip.log 2>&1 </dev/null) || rc=$?
  echo "$rc" >"$d/unzip.rc"
  check "corrupt package: unzip.exe refuses it, exit 1 and one line, its result 1 for the launcher" \
    "[ \"\$(cat '$d/unzip.rc')\" = 1 ] && [ \"\$(tr -d '\r' <'$d/unzip.log' | grep -c '^unzip.exe: ')\" = 1 ] && [ \"\$(tr -d '\r' <'$d/nembral/unzip-result.txt')\" = 1 ] && [ ! -e '$d/nembral/nembral/Nembrals.exe' ]"
}

# "Update to New Version" that cannot finish, on the publication being served: version 3.0 without
# its package (404) or with one unzip.exe refuses. The installed 1.0 comes back as it was and starts.
# roads_update_fails NAME [LINE]: LINE is logged on the way.
roads_update_fails() {
  local d=$work/update-$1 on_the_way=""
  [ -z "${2:-}" ] || on_the_way="'$2', "
  installed "$d" 1.0
  launch "$d" launcher 90 WINEQT_QPA_PLATFORM=windows
  click_on_question_page "$d" update || echo "  (the question page was not reached or not clicked)"
  ended "$d" launcher 60 || true
  check "update, package $1: $on_the_way'previous installation restored', 'Start Nembral', exit 0" \
    "logged '$d' launcher 'downloadCompleteApplication' 0 && { [ -z '${2:-}' ] || logged '$d' launcher '${2:-}' 0; } && logged '$d' launcher 'previous installation restored' 0 && logged '$d' launcher 'Start Nembral' 0 && exited_with '$d' launcher 0"
  check "update, package $1: the installed 1.0 started whole, nothing of the attempt left" \
    "[ \"\$(started_notes '$d')\" = \"started in $(winpath "$d/nembral/nembral"): 1.0 complete\" ] && [ \"\$(cat '$d/nembral/nembral/version.txt')\" = 1.0 ] && [ \"\$(cd '$d/nembral' && ls -A | tr '\n' ' ')\" = 'launcher.log nembral ' ]"
}

# The launcher ended between the wipe and the new installation (its package download stalls):
# the next run puts the installed 1.0 back whole before anything else.
roads_update_killed() {
  local d=$work/update-killed
  installed "$d" 1.0
  launch "$d" launcher 90 WINEQT_QPA_PLATFORM=windows
  click_on_question_page "$d" update || echo "  (the question page was not reached or not clicked)"
  logged "$d" launcher downloadCompleteApplication 30 || true
  sleep 1
  check "killed during an update: the installation set aside, its marker first" \
    "[ -f '$d/nembral/nembral.previous/Nembrals.exe' ] && [ ! -e '$d/nembral/nembral/version.txt' ] && [ -s '$d/nembral/nembral.previous-version.txt' ]"
  stop_launch "$d" launcher
  launch "$d" again 90
  logged "$d" again "new version available" 60 || true
  check "killed during an update: the next run restores the installation whole first, then asks again" \
    "[ \"\$(tr -d '\r' <'$d/again.log' | grep -vxE 'CallbackHandler|Finding resource...|Connecting...|Sending request...|Mime type available|Cache filename available|Begin download|End download|Downloaded OK|version file downloaded!|-?[0-9]+|Status code : [0-9]+|[[:space:]]*' | head -n2 | tr '\n' '|')\" = 'previous installation restored|version file does exist|' ] && [ \"\$(cat '$d/nembral/nembral/version.txt')\" = 1.0 ] && [ -f '$d/nembral/nembral/Nembrals.exe' ] && [ ! -e '$d/nembral/nembral.previous' ]"
  stop_launch "$d" again
}

# Waits for the prefix's wine session to end (every program gone), ending it after a minute.
wine_session_ends() {
  timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || wineserver -k </dev/null >/dev/null 2>&1 || true
}

windows_roads() {
  launcher_vendor_host "$build/bin/nembral-launcher.exe"
  work="$build/wine-launcher"
  rm -rf "$work" && mkdir -p "$work"
  local t0 pkg="$build/wine-package"
  t0=$(date +%s)
  rm -rf "$pkg" && mkdir -p "$pkg"
  package "$pkg/nembral-2.0.zip" 2.0
  # Damaged bytes in the middle of the compressed executable; the archive's directory stays
  # intact, so only the check of the entry's data finds it.
  package "$pkg/nembral-3.0.zip" 3.0
  python3 - "$pkg/nembral-3.0.zip" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
middle = len(data) // 3
for i in range(middle, middle + 64):
    data[i] ^= 0x5A
open(sys.argv[1], "wb").write(data)
PY

  roads_recorded
  roads_offline

  publish "$pkg/published" 2.0 "$pkg/nembral-2.0.zip"
  serve "$pkg/published" published
  roads_published
  # The question page on a virtual display: the wine session of the runs without a display ends
  # first, so that the next one starts on this display.
  wine_session_ends
  local display_file="$work/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
  local xvfb=$!
  extra_pids+=("$xvfb")
  for _ in $(seq 1 100); do [ -s "$display_file" ] && break; sleep 0.1; done
  DISPLAY=":$(cat "$display_file")"
  export DISPLAY
  roads_question_page
  roads_update_while_running
  serve "$pkg/published" stalled --stall-after 100 --faulty-file nembral.zip
  roads_update_killed

  publish "$pkg/missing" 3.0
  serve "$pkg/missing" missing
  roads_package_missing
  roads_update_fails missing
  publish "$pkg/corrupt" 3.0 "$pkg/nembral-3.0.zip"
  serve "$pkg/corrupt" corrupt
  roads_corrupt_package
  roads_update_fails refused "extraction failed"
  stop_vendor_server
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wine_session_ends
  kill "$xvfb" 2>/dev/null || true
  unset DISPLAY

  if [ "$roads_failed" -ne 0 ]; then
    local f
    for f in "$work"/*/*.log; do echo "--- ${f#"$work"/}"; cat "$f"; done
  fi
  echo "launcher runs took $(($(date +%s) - t0)) s"
  echo "launcher runs: $((roads_checks - roads_failed)) passed, $roads_failed failed"
  [ "$roads_failed" -eq 0 ]
}
