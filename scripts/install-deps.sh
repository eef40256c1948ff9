#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs to build, test and run.
# Does nothing when they are all present; needs root (or sudo) otherwise.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libhidapi-dev libudev-dev libcli11-dev libpng-dev libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-svg-dev libgl-dev
  libxcb1-dev
  xvfb xauth xdotool trayer x11-utils imagemagick
  locales dbus-daemon python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
