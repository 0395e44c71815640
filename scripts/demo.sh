#!/usr/bin/env bash
# Demonstrates the launcher end to end on this machine: publishes a demo package on the local
# vendor server, runs the launcher in a fresh working directory, and shows the demo
# application that it installed and started.
#
#   scripts/demo.sh [--windows] [--keep-server] [--again] [--signed] [--version V] [--timeout S]
#
#   --keep-server  leave the vendor server running afterwards (its pid is printed; a later
#                  run, with or without --again, takes it over)
#   --again        run the launcher once more in the same working directory, against what is
#                  published now (see "newer version" below), instead of starting afresh
#   --version V    the version to publish on a fresh start (default 1.0)
#   --timeout S    stop the launcher if it is still open after S seconds (default 120); it
#                  stays open on its question and error pages until someone clicks
#   --signed       signed packages and release statements (docs/signing.md), starting
#                  afresh: makes a throw-away Ed25519 key pair, builds a launcher and an
#                  unzip.exe with its public half built in (build/demo/signed-build), publishes
#                  the package signed with the private half, with a signed release statement in
#                  version.txt, and runs the launcher, which installs it; then publishes a
#                  tampered package (other contents under the vendor's signature) and runs the
#                  launcher in a second fresh directory (work-tampered/), where the launcher
#                  refuses it before extraction and nothing is installed; then installs 1.1 in a
#                  third (work-rollback/) and publishes the old 1.0 release again, whose lower
#                  sequence the launcher refuses, starting the installed 1.1 as it is
#   --windows      the Windows build under wine instead (build-win/dist, NEMBRAL_WIN_BUILD_DIR,
#                  made by scripts/build-windows.sh), with Qt's windows platform, in a wine
#                  prefix of its own (build/demo-windows/wineprefix, kept for later runs) that
#                  trusts the server's CA. The working directory is laid out as the installer
#                  lays out its folder: the program (build-win/dist, copied in on each run)
#                  beside nembral\, where the launcher's command finds unzip.exe; the launcher
#                  is started from there, as its Start-menu shortcut starts it. The published
#                  Nembrals.exe is build-win/bin/nembrals-stub.exe, which notes its start in
#                  started.log. With --again, --version V publishes V first. Not with --signed
#
# Everything lives in build/demo (NEMBRAL_DEMO_DIR): vendor/ is the folder the server
# publishes, work/ the launcher's working directory, where it installs nembral/nembral.
# The launcher is build/bin/nembral-launcher (NEMBRAL_LAUNCHER), built by the dev preset.
#
# Display: the launcher's window goes to $DISPLAY when there is one; otherwise it runs under
# Xvfb (xvfb-run), invisibly, and the demo application only writes its log.
#
# Newer version: publish one into the served folder and run again in the same directory,
#   tools/make-package 1.1 build/demo/vendor && scripts/demo.sh --again
# and the launcher asks "A new version of this software is available. Do you wish to install
# it?" ("Update to New Version" installs 1.1 and starts it, "Skip Update" starts 1.0).
set -euo pipefail

# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init demo
cd "$repo"

keep_server=0
again=0
signed=0
windows=0
version=
timeout_s=120
while [ $# -gt 0 ]; do
  case "$1" in
    --keep-server) keep_server=1; shift ;;
    --again) again=1; shift ;;
    --signed) signed=1; shift ;;
    --windows) windows=1; shift ;;
    --version) [ $# -ge 2 ] || { echo "demo: --version needs a value" >&2; exit 2; }; version=$2; shift 2 ;;
    --timeout) [ $# -ge 2 ] || { echo "demo: --timeout needs a value" >&2; exit 2; }; timeout_s=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown argument $1 (try --help)" >&2; exit 2 ;;
  esac
done
[[ "$timeout_s" =~ ^[1-9][0-9]*$ ]] || { echo "demo: --timeout needs a number of seconds" >&2; exit 2; }
[ "$signed" = 0 ] || [ "$again" = 0 ] || { echo "demo: --signed always starts afresh; it does not go with --again" >&2; exit 2; }
[ "$signed" = 0 ] || [ "$windows" = 0 ] || { echo "demo: --signed does not go with --windows" >&2; exit 2; }
publish_again=""
[ "$windows" = 0 ] || [ "$again" = 0 ] || publish_again=$version
version=${version:-1.0}

if [ "$windows" = 1 ]; then
  require_tools wine wineserver python3
  win_build=${NEMBRAL_WIN_BUILD_DIR:-$repo/build-win}
  dist="$win_build/dist"
  for f in nembral-launcher.exe unzip.exe; do
    [ -f "$dist/$f" ] || die "no $f in $dist (run scripts/build-windows.sh)"
  done
  demo="${NEMBRAL_DEMO_DIR:-$repo/build/demo-windows}"
  mkdir -p "$demo"
  demo="$(cd "$demo" && pwd)"
  # The launcher in its own folder, as installed. wine hands WINEX to the programs as X.
  launcher="$demo/launcher-wine"
  printf '#!/bin/sh\nunset QT_QPA_PLATFORM\nWINEQT_QPA_PLATFORM=windows exec wine "%s" "$@"\n' \
    "$demo/work/nembral-launcher.exe" >"$launcher"
  chmod +x "$launcher"
  unzip_tool="$dist/unzip.exe"
  host_of="$win_build/bin/nembral-launcher.exe"
else
  find_launcher "${NEMBRAL_LAUNCHER:-}"
  launcher=$LAUNCHER
  unzip_tool="$(dirname "$launcher")/unzip.exe"
  host_of=$launcher
  demo="${NEMBRAL_DEMO_DIR:-$repo/build/demo}"
  mkdir -p "$demo"
  demo="$(cd "$demo" && pwd)"
fi
vendor="$demo/vendor"
work="$demo/work"
server_pid_file="$demo/vendor-server.pid"
server_log="$demo/vendor-server.log"

say() { printf 'demo: %s\n' "$*"; }
[ -x "$unzip_tool" ] || die "no extraction tool at $unzip_tool (build it first)"

# The launcher has its vendor host built in; the server must listen on that port.
launcher_vendor_host "$host_of"
port=$LAUNCHER_PORT

# Our server from an earlier run, if it is still there: the pid file's process, serving $vendor.
server_alive() {
  [ -f "$server_pid_file" ] || return 1
  local pid
  pid=$(cat "$server_pid_file")
  [[ "$pid" =~ ^[0-9]+$ ]] && [ -r "/proc/$pid/cmdline" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "vendor-server --dir $vendor "
}
stop_server() {
  if server_alive; then
    local pid
    pid=$(cat "$server_pid_file")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$server_pid_file"
}

# --- signed packages: a key pair and an extraction tool that checks against it --------------
sign_args=()
if [ "$signed" = 1 ]; then
  require_tools openssl cmake ninja
  keys="$demo/signing"
  rm -rf "$keys"
  mkdir -p "$keys"
  openssl genpkey -algorithm ed25519 -out "$keys/private.pem"
  openssl pkey -in "$keys/private.pem" -pubout -out "$keys/public.pem"
  say "made a throw-away Ed25519 key pair in $keys (private.pem signs, public.pem is built in)"
  signed_build="$demo/signed-build"
  say "building a launcher and an unzip.exe that check signatures: $signed_build (NEMBRAL_PACKAGE_PUBLIC_KEY=$keys/public.pem)"
  cmake -S "$repo" -B "$signed_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEMBRAL_BUILD_TESTS=OFF \
    -DNEMBRAL_PACKAGE_PUBLIC_KEY="$keys/public.pem" >/dev/null
  cmake --build "$signed_build" --target nembral_unzip_tool nembral-launcher >/dev/null
  unzip_tool="$signed_build/bin/unzip.exe"
  launcher="$signed_build/bin/nembral-launcher"
  sign_args=(--sign-key "$keys/private.pem")
fi

# --- the served folder and the working directory ----------------------------------------
if [ "$again" = 1 ] && [ -d "$work" ] && [ -f "$vendor/version.txt" ]; then
  say "running again in $work (installed: $(head -n1 "$work/nembral/nembral/version.txt" 2>/dev/null || echo nothing)), published: $(head -n1 "$vendor/version.txt")"
else
  [ "$again" = 0 ] || say "nothing to run again yet; starting afresh"
  stop_server # a server kept from an earlier run would serve the old folder's files
  rm -rf "$vendor" "$work" "$demo/launcher.log" "$demo/work-tampered" "$demo/launcher-tampered.log" \
    "$demo/work-rollback" "$demo/launcher-rollback"*.log "$demo/release-1.0"
  mkdir -p "$vendor" "$work"
  if [ "$windows" = 1 ]; then
    stub_package "$vendor" "$win_build/bin/nembrals-stub.exe" "$version"
    say "published version $version in $vendor (Nembrals.exe: nembrals-stub.exe)"
  else
    tools/make-package "${sign_args[@]}" "$version" "$vendor" | sed 's/^/demo: /'
  fi
fi
if [ -n "$publish_again" ] && [ "$again" = 1 ]; then
  stub_package "$vendor" "$win_build/bin/nembrals-stub.exe" "$publish_again"
  say "published version $publish_again in $vendor"
fi
# As on Windows, the extraction tool sits in the working directory, where the launcher's
# command "unzip.exe nembral/nembral.zip nembral" finds it. For the Windows build the working
# directory is the program's folder, as the installer makes it.
if [ "$windows" = 1 ]; then
  cp -rf "$dist/." "$work/"
else
  cp -f "$unzip_tool" "$work/unzip.exe"
fi

# --- the vendor server --------------------------------------------------------------------
if server_alive; then
  say "using the vendor server already running (pid $(cat "$server_pid_file"))"
else
  rm -f "$server_pid_file"
  start_vendor_server "$vendor" "$port" "" "$server_log"
  echo "$VENDOR_PID" >"$server_pid_file"
fi
# shellcheck disable=SC2317 # run by the EXIT trap
demo_exit() {
  [ "$keep_server" = 1 ] || stop_server
  # Ends the wine processes of the demo's own prefix (a launcher left on its question page).
  [ "$windows" = 0 ] || wineserver -k </dev/null >/dev/null 2>&1 || true
}
trap demo_exit EXIT
ca=$(sed -n 's/^SSL_CERT_FILE=//p' "$server_log" | head -n1)
[ -n "$ca" ] || { echo "demo: the vendor server did not say which SSL_CERT_FILE to use" >&2; exit 1; }
say "$(grep '^vendor-server: serving' "$server_log" | head -n1 | sed 's/^vendor-server: //')"
say "SSL_CERT_FILE=$ca"
if [ "$windows" = 1 ]; then
  if [ -f "$demo/wineprefix/system.reg" ]; then
    export WINEPREFIX="$demo/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  else
    say "making the wine prefix $demo/wineprefix (once)"
    fresh_wineprefix "$demo/wineprefix"
  fi
  wine "$win_build/bin/trust-ca.exe" "$(winpath "$ca")" </dev/null | sed 's/^/demo: /'
  # The wine session started here has no display (under Xvfb the launcher gets one); a launcher
  # that joins such a session with the windows platform does not end after starting Nembral.
  # So the launcher starts a session of its own.
  wineserver -w </dev/null
fi

# --- the launcher -------------------------------------------------------------------------
run=()
if [ -n "${DISPLAY:-}" ]; then
  say "showing the launcher on your display $DISPLAY"
else
  command -v xvfb-run >/dev/null || { echo "demo: no DISPLAY and no xvfb-run (run scripts/setup.sh)" >&2; exit 1; }
  say "no DISPLAY: running the launcher under Xvfb (xvfb-run); its window is not visible"
  run=(xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp")
  export NEMBRAL_DEMO_HEADLESS=1 # the demo application's window would vanish with Xvfb
fi

# run_launcher WORKDIR LOG [STOP_REGEX]: runs the launcher in WORKDIR, its output shown and
# kept in LOG, until it exits or the timeout. With STOP_REGEX, it is also stopped two seconds
# after a line of its log matches (the launcher itself never gives up on an extraction).
# Sets launcher_status, timed_out and stopped_on_line.
run_launcher() {
  local dir=$1 log=$2 stop=${3:-}
  say "starting $launcher in $dir"
  echo "----- launcher log -----"
  : >"$log"
  local pid_file="$demo/launcher.pid"
  rm -f "$pid_file"
  (
    cd "$dir"
    bin_dir=$(dirname "$launcher")
    export SSL_CERT_FILE="$ca" PATH="$bin_dir:$PATH" QT_QPA_PLATFORM=xcb
    # The inner shell notes the launcher's own pid (below xvfb-run, if any) and becomes it.
    # shellcheck disable=SC2016
    exec "${run[@]}" sh -c 'echo $$ >"$1"; shift; exec "$@"' sh "$pid_file" "$launcher" </dev/null >"$log" 2>&1
  ) &
  local runner_pid=$!
  tail -n +1 -f --pid="$runner_pid" "$log" &
  local tail_pid=$!

  launcher_status=0 timed_out=0 stopped_on_line=0
  local ticks=$((timeout_s * 10))
  for _ in $(seq 1 "$ticks"); do
    kill -0 "$runner_pid" 2>/dev/null || break
    if [ -n "$stop" ] && [ "$stopped_on_line" = 0 ] && grep -qE "$stop" "$log"; then
      stopped_on_line=1
      ticks=20
      break
    fi
    sleep 0.1
  done
  if [ "$stopped_on_line" = 1 ]; then
    for _ in $(seq 1 "$ticks"); do kill -0 "$runner_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  if kill -0 "$runner_pid" 2>/dev/null; then
    [ "$stopped_on_line" = 1 ] || timed_out=1
    if [ -s "$pid_file" ]; then kill "$(cat "$pid_file")" 2>/dev/null || true; fi
  fi
  wait "$runner_pid" || launcher_status=$?
  wait "$tail_pid" 2>/dev/null || true
  rm -f "$pid_file"
  echo "----- end of launcher log -----"
}

app_dir="$work/nembral/nembral"
app_log="$app_dir/nembral-demo.log"
[ "$windows" = 0 ] || app_log="$app_dir/started.log"
# The demo application appends to its log; only lines written during this run count.
log_lines_before=0
[ ! -f "$app_log" ] || log_lines_before=$(wc -l <"$app_log")
run_launcher "$work" "$demo/launcher.log"
status=$launcher_status

if [ "$timed_out" = 1 ]; then
  say "the launcher was still open after $timeout_s s and was stopped. It waits on its question"
  say "page (a newer version) and on its error page until someone clicks; under Xvfb nobody can."
  status=1
else
  say "the launcher exited with status $status"
fi

# --- the result ---------------------------------------------------------------------------
new_app_lines() { tail -n +$((log_lines_before + 1)) "$app_log" 2>/dev/null || true; }
if [ -f "$app_dir/version.txt" ]; then
  say "installed: $app_dir (version $(head -n1 "$app_dir/version.txt"), $(find "$app_dir" -type f ! -name "${app_log##*/}" | wc -l) files)"
else
  say "nothing is installed in $app_dir"
fi
if [ "$timed_out" = 0 ]; then
  for _ in $(seq 1 50); do [ -n "$(new_app_lines)" ] && break; sleep 0.1; done
fi
if [ -n "$(new_app_lines)" ]; then
  say "the demo application started in $app_dir and wrote to ${app_log##*/}:"
  new_app_lines | sed 's/^/    /'
else
  say "the demo application was not started this time"
  status=1
fi

# --- signed packages: a tampered package is refused ---------------------------------------
if [ "$signed" = 1 ]; then
  echo
  # What a hostile server could offer: its own package under the vendor's signature (the
  # archive comment copied over), the version file unchanged.
  hostile="$demo/hostile"
  rm -rf "$hostile"
  tools/make-package "$version-tampered" "$hostile" >/dev/null
  python3 - "$vendor/nembral.zip" "$hostile/nembral.zip" <<'EOF'
import sys
signed, hostile = (open(p, "rb").read() for p in sys.argv[1:])
comment = signed[signed.rindex(b"PK\x05\x06") + 22:]
record = hostile.rindex(b"PK\x05\x06")
hostile = hostile[:record + 20] + len(comment).to_bytes(2, "little") + comment
open(sys.argv[2], "wb").write(hostile)
EOF
  mv -f "$hostile/nembral.zip" "$vendor/nembral.zip"
  say "published a tampered package: other contents (its Nembrals.exe says \"Nembral $version-tampered\")"
  say "under the vendor's signature, copied from the genuine package"
  tampered_work="$demo/work-tampered"
  mkdir -p "$tampered_work"
  cp -f "$unzip_tool" "$tampered_work/unzip.exe"
  # The package does not match the release statement: six refused attempts (longer than the
  # statement's size, it is cut off by the download; otherwise its SHA-256 differs), then the
  # error page (nothing is installed in this folder), where the demo stops the launcher.
  run_launcher "$tampered_work" "$demo/launcher-tampered.log" '^Could not find Nembral'
  refusal=$(grep -m1 -E '^(package refused: |An error occured : error code = 0x(800c000f|80096010)$)' "$demo/launcher-tampered.log" || true)
  if [ -n "$refusal" ] && ! grep -q '^run command' "$demo/launcher-tampered.log"; then
    say "the launcher refused the tampered package before extraction, six times; its line:"
    echo "    $refusal"
    say "(with nothing installed it then shows its error page, so the demo stopped it)"
  else
    say "the launcher did not refuse the tampered package before extraction"
    status=1
  fi
  if [ -e "$tampered_work/nembral/nembral" ]; then
    say "something was installed in $tampered_work/nembral/nembral"
    status=1
  else
    say "nothing is installed in $tampered_work/nembral/nembral"
  fi
  rm -rf "$hostile"

  # --- release statements: a refused rollback ---------------------------------------------
  echo
  # The vendor publishes 1.1 (the next sequence); a launcher installs it and remembers that
  # sequence. A hostile server then serves the vendor's old 1.0 release again, validly signed.
  old_release="$demo/release-1.0"
  tools/make-package "${sign_args[@]}" "$version" "$old_release" >/dev/null
  tools/make-package "${sign_args[@]}" 1.1 "$vendor" | sed 's/^/demo: /'
  say "published 1.1: $(sed -n 2p "$vendor/version.txt" | cut -d' ' -f2-3)"
  rollback_work="$demo/work-rollback"
  mkdir -p "$rollback_work"
  cp -f "$unzip_tool" "$rollback_work/unzip.exe"
  run_launcher "$rollback_work" "$demo/launcher-rollback-install.log"
  say "installed in $rollback_work: $(head -n1 "$rollback_work/nembral/nembral/version.txt" 2>/dev/null || echo nothing); highest sequence accepted there: $(cat "$rollback_work/nembral/release-sequence" 2>/dev/null || echo none)"
  cp -f "$old_release/nembral.zip" "$vendor/nembral.zip"
  cp -f "$old_release/version.txt" "$vendor/version.txt"
  say "published the old release again: $(head -n1 "$vendor/version.txt"), $(sed -n 2p "$vendor/version.txt" | cut -d' ' -f2-3)"
  run_launcher "$rollback_work" "$demo/launcher-rollback.log"
  refusal=$(grep -m1 '^release statement refused: ' "$demo/launcher-rollback.log" || true)
  if [[ "$refusal" == *"(a rollback)"* ]] && grep -q '^Start Nembral' "$demo/launcher-rollback.log" \
    && ! grep -q '^new version available' "$demo/launcher-rollback.log" \
    && [ "$(head -n1 "$rollback_work/nembral/nembral/version.txt")" = 1.1 ]; then
    say "the launcher refused the rollback six times, asked nothing and started the installed 1.1; its line:"
    echo "    $refusal"
  else
    say "the launcher did not refuse the rollback as it should"
    status=1
  fi
fi

if [ "$signed" = 0 ]; then
  echo
  say "to publish a newer version and see the question page, run:"
  if [ "$windows" = 1 ]; then
    say "    scripts/demo.sh --windows --again --version 1.1"
  else
    say "    tools/make-package 1.1 ${vendor#"$repo"/} && scripts/demo.sh --again"
  fi
fi
if [ "$keep_server" = 1 ]; then
  say "the vendor server keeps running (pid $(cat "$server_pid_file"), log $server_log); stop it with: kill $(cat "$server_pid_file")"
fi
exit "$status"
