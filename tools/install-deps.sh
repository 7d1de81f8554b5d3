#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test the agent; skips what is present.
set -euo pipefail

# VT_QT_MAJOR=6 installs Qt 6 instead of Qt 5 (its development packages bring the OpenGL headers
# Qt 6's CMake files ask for, and its runtime the offscreen and xcb platforms the tests use).
qt_packages=(qtbase5-dev libqt5websockets5-dev)
if [ "${VT_QT_MAJOR:-5}" = "6" ]; then
    qt_packages=(qt6-base-dev qt6-websockets-dev)
fi

packages=(
    cmake g++ make pkg-config ccache clang-format
    "${qt_packages[@]}" liblog4cxx-dev libssl-dev openssl
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
