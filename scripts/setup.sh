#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root, or
# with sudo available). Only missing packages are installed.
#
# The proxy peers (tinyproxy, microsocks, dante, sshd) are started by the
# tests themselves on loopback; their packaged services must not run, so the
# install is made with service starts forbidden and the units are disabled.
set -euo pipefail
pkgs=(cmake g++ make pkg-config libgtest-dev libmbedtls-dev liblz4-dev
      clang libclang-rt-14-dev openssl rsync rclone iproute2 procps python3
      tinyproxy microsocks dante-server openssh-server openssh-client util-linux)
services=(tinyproxy microsocks danted ssh)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  # invoke-rc.d asks policy-rc.d whether it may start a service: 101 says no.
  own_policy=
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
    $SUDO chmod 755 /usr/sbin/policy-rc.d
    own_policy=1
  fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
  [ -z "$own_policy" ] || $SUDO rm -f /usr/sbin/policy-rc.d
  if [ -d /run/systemd/system ]; then
    for s in "${services[@]}"; do
      $SUDO systemctl disable --now "$s" >/dev/null 2>&1 || true
    done
  fi
fi
