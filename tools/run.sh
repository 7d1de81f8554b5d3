#!/usr/bin/env bash
# Builds the agent and shows a real session: the daemon, installed in build/demo, connects to a
# management server on this machine (127.0.0.1, TLS with a certificate made here), is configured,
# sends its init and keep-alives and answers the server's requests. Every message is printed.
# Extra arguments go to the demo server, e.g. --seconds 60.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug -DVT_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target vantorel vt_demo_server

exec build/tools/demo/vt_demo_server --executable build/src/vantorel --program-dir build/demo "$@"
