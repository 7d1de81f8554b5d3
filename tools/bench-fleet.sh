#!/usr/bin/env bash
# Measures a fleet: N real daemons (100 unless --agents says otherwise), each in a mount and IPC
# namespace of its own, against one management server on loopback that restarts and later stays
# away for a long outage (see the README). Needs root for the namespaces. Everything runs in a
# network namespace that has only a loopback interface, and nothing here asserts a figure.
# Extra arguments go to the tool, e.g. --agents 20 --outage-seconds 60, or --executable PATH to
# measure another build of the daemon.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" != 0 ]; then
    echo "bench-fleet.sh: run as root (each daemon gets namespaces of its own)" >&2
    exit 2
fi
bash tools/install-deps.sh

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j"$(nproc)" --target vantorel vt_fleet

# A network namespace of its own, so that the kernel's count of TCP connections begun is the
# fleet's alone; its loopback is the only interface.
# The inner shell expands its own arguments.
# shellcheck disable=SC2016
exec unshare --net sh -c 'ip link set lo up && exec "$0" "$@"' \
    build-bench/tools/bench/vt_fleet --base "$PWD/build-bench/fleet" "$@"
