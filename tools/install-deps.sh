#!/usr/bin/env bash
# Installs the packages needed to build, run and test the agent on Debian 12 (bookworm) or
# Debian 13 (trixie); skips what is present. VT_QT_MAJOR=5 or 6 chooses the Qt packages; without
# it each release gets the Qt the build picks there by default: Qt 5 on Debian 12, Qt 6 on 13.
set -euo pipefail

codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"

# Packages whose names or splits differ between the releases: the formatter the project's
# .clang-format is written for exists only on Debian 12 (Debian 13 gets its own, which only
# reports), and systemd's pkg-config file moved into systemd-dev.
case "$codename" in
    bookworm)
        default_qt=5
        release_packages=(clang-format-14 systemd)
        ;;
    trixie)
        default_qt=6
        release_packages=(clang-format systemd systemd-dev)
        ;;
    *)
        echo "install-deps: Debian 12 (bookworm) and 13 (trixie) are supported, not '$codename'" >&2
        exit 2
        ;;
esac

qt_major="${VT_QT_MAJOR:-$default_qt}"
case "$qt_major" in
    5) qt_packages=(qtbase5-dev libqt5websockets5-dev) ;;
    # Qt 6's Gui needs the OpenGL headers to configure.
    6) qt_packages=(qt6-base-dev qt6-websockets-dev libgl-dev) ;;
    *)
        echo "install-deps: VT_QT_MAJOR must be 5 or 6, not '$qt_major'" >&2
        exit 2
        ;;
esac

packages=(
    cmake g++ make pkg-config ccache git
    "${qt_packages[@]}" liblog4cxx-dev libssl-dev openssl
    procps psmisc sudo passwd util-linux findutils tar gzip bash coreutils iproute2
    xvfb trayer x11-apps imagemagick xdotool
    dpkg-dev fakeroot lintian man-db init-system-helpers
    "${release_packages[@]}"
)

missing=()
for package in "${packages[@]}"; do
    case "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" in
        *" ok installed") ;;
        *) missing+=("$package") ;;
    esac
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
