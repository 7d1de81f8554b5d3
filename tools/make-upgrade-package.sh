#!/usr/bin/env bash
# Builds the upgrade packages the agent downloads: update_64.tgz and/or update_32.tgz, each holding
# Update/update.sh and Update/files/ (the executable, its tray module and the companion scripts of
# one build).
#
#   tools/make-upgrade-package.sh [-b BUILD_DIR]... [-o OUTPUT_DIR] [-s UPDATE_SCRIPT] [-k PRIVATE_KEY]
#
#   -b  a build directory holding src/vantorel (default: build); give one per word size, e.g. a
#       64-bit and a 32-bit build. Each build's executable decides which archive it becomes.
#   -o  where the archives are written (default: the current directory)
#   -s  the script packed as Update/update.sh (default: tools/upgrade/update.sh)
#   -k  a PEM private key (RSA or EC): each archive gets a detached SHA-256 signature beside it,
#       <archive>.sig, which agents holding the matching public key require
#
# Serve the archives side by side and send the agent a URL naming "update.tgz" (for example
# https://host/agent/update.tgz): it fetches update_64.tgz or update_32.tgz by its own word size.

set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
builds=()
output="$PWD"
update_script="$root/tools/upgrade/update.sh"
signing_key=""

while getopts "b:o:s:k:" opt; do
    case "$opt" in
        b) builds+=("$OPTARG") ;;
        o) output="$OPTARG" ;;
        s) update_script="$OPTARG" ;;
        k) signing_key="$OPTARG" ;;
        *) sed -n '2,15p' "$0" >&2; exit 2 ;;
    esac
done
[ ${#builds[@]} -gt 0 ] || builds=("$root/build")

[ -f "$update_script" ] || { echo "no update script: $update_script" >&2; exit 2; }
[ -z "$signing_key" ] || [ -r "$signing_key" ] || { echo "cannot read signing key: $signing_key" >&2; exit 2; }
mkdir -p "$output"
output="$(cd "$output" && pwd -P)"

declare -A made=()
for build in "${builds[@]}"; do
    exe="$build/src/vantorel"
    [ -x "$exe" ] || exe="$build/vantorel"
    [ -x "$exe" ] || { echo "no vantorel executable in $build" >&2; exit 2; }

    case "$(od -An -j4 -N1 -tu1 "$exe" | tr -d ' ')" in
        2) variant=update_64 ;;
        1) variant=update_32 ;;
        *) echo "$exe is not an ELF executable" >&2; exit 2 ;;
    esac
    if [ -n "${made[$variant]:-}" ]; then
        echo "two builds of the same word size: ${made[$variant]} and $build" >&2
        exit 2
    fi
    made[$variant]="$build"

    stage="$(mktemp -d)"
    trap 'rm -rf "$stage"' EXIT
    mkdir -p "$stage/Update/files"
    install -m 0755 "$update_script" "$stage/Update/update.sh"
    install -m 0755 "$exe" "$stage/Update/files/vantorel"
    # The tray module belongs to the executable it was built with; the two always travel together.
    module="$(dirname "$exe")/libvantorel-gui.so"
    if [ -f "$module" ]; then
        install -m 0644 "$module" "$stage/Update/files/libvantorel-gui.so"
    else
        echo "warning: no tray module beside $exe: desktop agents of this package show no tray" >&2
    fi
    for script in "$root"/scripts/*.sh; do
        [ -e "$script" ] && install -m 0755 "$script" "$stage/Update/files/"
    done
    chmod 0755 "$stage/Update" "$stage/Update/files"
    # Owned by root whoever builds it: an endpoint that kept the builder's uid would hand the
    # files the daemon runs as root to whoever has that uid there.
    tar -C "$stage" --owner=0 --group=0 --numeric-owner --mode=go-w -czf "$output/$variant.tgz" Update
    rm -rf "$stage"
    trap - EXIT
    echo "$output/$variant.tgz"
    if [ -n "$signing_key" ]; then
        openssl dgst -sha256 -sign "$signing_key" -out "$output/$variant.tgz.sig" "$output/$variant.tgz"
        echo "$output/$variant.tgz.sig"
    fi
done
