# shellcheck shell=bash
# Shell functions shared by the scripts in scripts/ and bench/ (whose own ones are in
# bench/lib.sh, which sources this file). Sourced, never run. A script starts with (the path
# relative to its own location)
#
#   set -euo pipefail
#   # shellcheck source=lib/common.sh
#   . "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
#   nembral_init PREFIX TOOL...
#
# All functions expect `set -euo pipefail`; "fails" means: prints why on standard error and
# returns 1, which under `set -e` ends the calling script.
#
#   nembral_init PREFIX [TOOL...]
#                             sets msg_prefix to PREFIX (the functions' messages start with
#                             it) and repo to the repository's root; fails unless every TOOL is
#                             on PATH, as require_tools
#   die MESSAGE...            prints "<msg_prefix>: MESSAGE" on standard error and exits 1
#   require_tools TOOL...     fails unless every TOOL is on PATH ("... (run scripts/setup.sh)")
#   launcher_vendor_host LAUNCHER [HOST [any]]
#                             sets LAUNCHER_HOST to HOST, else to the NEMBRAL_VENDOR_HOST in the
#                             CMakeCache.txt of LAUNCHER's build, else localhost:8443, and
#                             LAUNCHER_PORT to its port (443 when it names none); fails unless the
#                             host is a loopback one (localhost, 127.0.0.1, [::1]) or "any" is given
#   start_vendor_server DIR PORT STATE_DIR OUTFILE [OPTION...]
#                             starts tools/vendor-server in the background serving DIR on PORT
#                             (0: a free one) with its state (CA) in STATE_DIR (empty: the
#                             server's default), standard output and error to OUTFILE, extra
#                             OPTIONs (e.g. --quiet, --http) appended; waits for its "serving"
#                             line and sets VENDOR_PID, VENDOR_PORT and VENDOR_CA (its
#                             SSL_CERT_FILE). Fails with the server's output if it does not come
#                             up (or names no SSL_CERT_FILE without --http), after stopping it.
#   stop_vendor_server        stops the server started above, if any; clears VENDOR_PID
#   wait_port_free PORT SECONDS
#                             waits up to SECONDS (saying so) while something listens on the
#                             loopback PORT, as a launcher built for localhost:PORT would reach
#                             it; fails naming the port if it is still in use
#   ensure_deb_src            makes `apt-get source` work: when apt has no deb-src entry, adds
#                             those of this machine's Debian suite (with its updates and security
#                             suites) and updates apt's lists; uses sudo unless run as root
#   debian_source_versions PACKAGE
#                             prints the source versions apt lists for PACKAGE, newest first
#   fetch_debian_source PACKAGE DIR [VERSION...]
#                             ensure_deb_src, then unpacks the source of PACKAGE into DIR with
#                             `apt-get source`, trying the VERSIONs given, then those apt lists,
#                             newest first (a mirror may no longer carry an older one); sets
#                             SOURCE_DIR to the unpacked folder and SOURCE_VERSION to the version
#                             it got. Fails with apt's messages when no version comes
#   winpath PATH              prints the absolute Unix PATH as Windows programs under wine see
#                             it (drive Z: is the Unix root): /a/b -> Z:\a\b
#   fresh_wineprefix DIR      makes DIR a new wine prefix (removing what was there) and exports
#                             WINEPREFIX=DIR, with wine quiet (WINEDEBUG=-all) and without its
#                             Mono and Gecko prompts; wineboot's output goes to DIR.log. Without
#                             a DISPLAY wine shows no dialog. Fails with that output

_common_repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

nembral_init() {
  msg_prefix=$1
  shift
  # shellcheck disable=SC2034 # for the caller
  repo=$_common_repo
  require_tools "$@"
}

die() { echo "${msg_prefix:-${0##*/}}: $*" >&2; exit 1; }

require_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$msg_prefix: $tool not found (run scripts/setup.sh)" >&2; return 1; }
  done
}

launcher_vendor_host() {
  local cache
  LAUNCHER_HOST=${2:-}
  if [ -z "$LAUNCHER_HOST" ]; then
    cache="$(dirname "$(dirname "$1")")/CMakeCache.txt"
    [ ! -f "$cache" ] || LAUNCHER_HOST=$(sed -n 's/^NEMBRAL_VENDOR_HOST:[A-Z]*=//p' "$cache")
    LAUNCHER_HOST=${LAUNCHER_HOST:-localhost:8443}
  fi
  LAUNCHER_PORT=${LAUNCHER_HOST##*:}
  [ "$LAUNCHER_PORT" != "$LAUNCHER_HOST" ] || LAUNCHER_PORT=443
  [ "${3:-}" != any ] || return 0
  case "${LAUNCHER_HOST%:*}" in
    localhost|127.0.0.1|"[::1]") ;;
    *) echo "$msg_prefix: the launcher was built for the vendor host $LAUNCHER_HOST; a loopback one is needed (localhost:PORT)" >&2; return 1 ;;
  esac
}

winpath() { local p=$1; echo "Z:${p//\//\\}"; }

fresh_wineprefix() {
  local dir=$1
  export WINEPREFIX=$dir WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  rm -rf "$dir"
  wine wineboot -i </dev/null >"$dir.log" 2>&1 || { cat "$dir.log" >&2; echo "$msg_prefix: wineboot failed in $dir" >&2; return 1; }
}

VENDOR_PID=""
start_vendor_server() {
  local dir=$1 port=$2 state=$3 out=$4
  shift 4
  local args=(--dir "$dir" --port "$port")
  [ -z "$state" ] || args+=(--state-dir "$state")
  "$_common_repo/tools/vendor-server/vendor-server" "${args[@]}" "$@" >"$out" 2>&1 &
  VENDOR_PID=$!
  for _ in $(seq 1 300); do
    grep -q '^vendor-server: serving' "$out" 2>/dev/null && break
    kill -0 "$VENDOR_PID" 2>/dev/null || break
    sleep 0.1
  done
  # shellcheck disable=SC2034 # for the caller
  VENDOR_PORT=$(sed -n 's/^PORT=//p' "$out" | head -n1)
  VENDOR_CA=$(sed -n 's/^SSL_CERT_FILE=//p' "$out" | head -n1)
  local why=""
  if ! grep -q '^vendor-server: serving' "$out" 2>/dev/null; then
    why="the vendor server did not start:"
  elif [ -z "$VENDOR_CA" ] && [[ " $* " != *" --http "* ]]; then
    why="the vendor server did not say which SSL_CERT_FILE to use:"
  fi
  if [ -n "$why" ]; then
    stop_vendor_server
    echo "$msg_prefix: $why" >&2
    cat "$out" >&2
    return 1
  fi
}

stop_vendor_server() {
  [ -n "$VENDOR_PID" ] || return 0
  kill "$VENDOR_PID" 2>/dev/null || true
  wait "$VENDOR_PID" 2>/dev/null || true
  VENDOR_PID=""
}

# "localhost" may reach [::1] first, so a listener on either address would answer the launcher.
_port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null || (exec 3<>"/dev/tcp/::1/$1") 2>/dev/null; }

wait_port_free() {
  local port=$1 seconds=$2
  _port_busy "$port" || return 0
  echo "$msg_prefix: port $port, which the launcher downloads from, is in use (another test's or a demo's vendor server?); waiting up to $seconds s"
  for _ in $(seq 1 "$seconds"); do _port_busy "$port" || return 0; sleep 1; done
  echo "$msg_prefix: port $port is still in use; stop what listens there (ss -ltnp 'sport = :$port') and run again" >&2
  return 1
}

ensure_deb_src() {
  # shellcheck disable=SC2016 # $(CREATED_BY) is apt's own field name, not a command substitution
  if apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -q '^Sources$'; then
    return 0
  fi
  local suite sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  echo "$msg_prefix: adding the deb-src entry for Debian $suite" >&2
  $sudo tee /etc/apt/sources.list.d/nembral-deb-src.sources >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $suite-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  $sudo apt-get update -qq
}

debian_source_versions() {
  local versions=() v i
  while IFS= read -r v; do
    # Insertion in dpkg's order, newest first (a plain sort gets "~" and "+" wrong).
    for ((i = ${#versions[@]}; i > 0; i--)); do
      dpkg --compare-versions "$v" gt "${versions[i - 1]}" || break
      versions[i]=${versions[i - 1]}
    done
    versions[i]=$v
  done < <(apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u)
  [ "${#versions[@]}" -eq 0 ] || printf '%s\n' "${versions[@]}"
}

fetch_debian_source() {
  local package=$1 dir=$2 version log
  shift 2
  ensure_deb_src
  mkdir -p "$dir"
  log="$dir/apt-get-source.log"
  : >"$log"
  for version in "$@" $(debian_source_versions "$package"); do
    if (cd "$dir" && apt-get source -qq "$package=$version" >>"$log" 2>&1); then
      SOURCE_DIR=$(find "$dir" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n1)
      # shellcheck disable=SC2034 # for the caller
      SOURCE_VERSION=$version
      [ -z "$SOURCE_DIR" ] || return 0
    fi
    echo "$msg_prefix: the source of $package $version could not be fetched; trying the next version apt lists" >&2
    find "$dir" -mindepth 1 -maxdepth 1 -name "${package}[-_]*" -exec rm -rf {} +
  done
  cat "$log" >&2
  echo "$msg_prefix: apt-get source $package failed for every version apt lists" >&2
  return 1
}
