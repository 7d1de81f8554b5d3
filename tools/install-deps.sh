#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test the agent; skips what is present.
set -euo pipefail

packages=(
    cmake g++ make pkg-config ccache clang-format
    qtbase5-dev libqt5websockets5-dev liblog4cxx-dev libssl-dev openssl
    procps psmisc sudo passwd util-linux findutils tar gzip bash coreutils iproute2
    xvfb trayer x11-apps imagemagick xdotool
    dpkg-dev fakeroot lintian systemd man-db init-system-helpers
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
