#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, cross-build and demo.
# Idempotent: packages already present are left alone, and apt is only asked when one is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-image-formats-plugins
  libgl-dev libxkbcommon-dev
  libcurl4-openssl-dev libarchive-dev libdeflate-dev libarchive-tools libssl-dev curl openssl ca-certificates
  python3 python3-pil python3-pytest fonts-dejavu-core imagemagick
  xvfb x11-apps x11-utils xauth xdotool
  g++-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 nsis
  time procps unzip strace iproute2 util-linux
  dpkg-dev file desktop-file-utils lintian
  clang libclang-rt-14-dev
  clang-format clang-tidy shellcheck editorconfig
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "setup: all packages present"
fi
