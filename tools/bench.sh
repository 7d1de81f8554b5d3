#!/usr/bin/env bash
# Measures the daemon on this machine: a release build of the agent runs against the demo
# management server on loopback, and the figures are printed (see the README). Nothing here
# asserts a time. Extra arguments go to the bench, e.g. --requests 1000 --idle-seconds 30.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j"$(nproc)" --target vantorel vt_bench

exec build-bench/tools/bench/vt_bench "$@"
