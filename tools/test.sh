#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# VT_SANITIZE=ON builds and runs the tests under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

sanitize="${VT_SANITIZE:-OFF}"
build_dir="build-test"
[ "$sanitize" = "ON" ] && build_dir="build-asan"

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DVT_SANITIZE="$sanitize" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"

# The package is built and checked first, so that the test summary stays the last thing printed.
[ "$sanitize" = "ON" ] || bash tools/test-package.sh

# Debian's log4cxx frees its rolling policy's private data through a base of a different size
# inside the library itself; that report is not about this program, so it is switched off.
export ASAN_OPTIONS="detect_leaks=0:new_delete_type_mismatch=0:${ASAN_OPTIONS:-}"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
