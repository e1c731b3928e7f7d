#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root, or
# with sudo available). Only missing packages are installed.
set -euo pipefail
pkgs=(cmake g++ make pkg-config libgtest-dev libmbedtls-dev liblz4-dev
      clang libclang-rt-14-dev openssl rsync rclone iproute2 procps python3)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
