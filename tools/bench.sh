#!/usr/bin/env bash
# Measures the daemon on this machine: a release build of the agent runs against the demo
# management server on loopback, and the figures are printed (see the README). Nothing here
# asserts a time. Extra arguments go to the bench, e.g. --requests 1000 --idle-seconds 30.
#   --baseline REV   also builds git revision REV (release, in build-bench-baseline) and prints its
#                    start-up and memory at rest beside this tree's, measured in the same run.
# VT_QT_MAJOR=5 or 6 builds both against that Qt, in build directories of their own.
set -euo pipefail
# A baseline that does not build must stop the bench, not leave it a path to nothing.
shopt -s inherit_errexit
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

qt_args=()
suffix=""
if [ -n "${VT_QT_MAJOR:-}" ]; then
    qt_args=(-DVT_QT_MAJOR="$VT_QT_MAJOR")
    suffix="-qt$VT_QT_MAJOR"
fi

# The source of REV is exported (not checked out), so the working tree and its worktrees stay as
# they are; a revision built before is only brought up to date.
build_baseline() {
    local rev="$1" dir="build-bench-baseline$suffix"
    local commit
    commit="$(git rev-parse --verify "$rev^{commit}")"
    if [ "$(cat "$dir/commit" 2>/dev/null)" != "$commit" ]; then
        rm -rf "$dir"
        mkdir -p "$dir/source"
        git archive "$commit" | tar -x -C "$dir/source"
        echo "$commit" >"$dir/commit"
    fi
    cmake -S "$dir/source" -B "$dir/build" -DCMAKE_BUILD_TYPE=Release -DVT_BUILD_TESTS=OFF "${qt_args[@]}" >/dev/null
    cmake --build "$dir/build" -j"$(nproc)" --target vantorel >&2
    echo "$PWD/$dir/build/src/vantorel"
}

bench_args=()
baseline_exe=""
while [ $# -gt 0 ]; do
    case "$1" in
        --baseline)
            baseline_exe="$(build_baseline "${2:?--baseline needs a git revision}")"
            shift 2
            ;;
        *)
            bench_args+=("$1")
            shift
            ;;
    esac
done
[ -z "$baseline_exe" ] || bench_args+=(--baseline "$baseline_exe")

cmake -S . -B "build-bench$suffix" -DCMAKE_BUILD_TYPE=Release "${qt_args[@]}" >/dev/null
cmake --build "build-bench$suffix" -j"$(nproc)" --target vantorel vt_bench

exec "build-bench$suffix/tools/bench/vt_bench" "${bench_args[@]}"
