#!/bin/bash
# Started detached by the daemon when a desktop user has confirmed Exit with the protection
# password. The daemon quits by itself and its agents follow when the GUI pipe closes; this makes
# sure nothing started from this program directory outlives that, including an agent that hangs.
program_dir="$(cd "$(dirname "$0")" && pwd -P)"
executable="$program_dir/vantorel"

running() {
    local proc
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/exe" 2>/dev/null)" = "$executable" ] && echo "${proc#/proc/}"
    done
}

# The daemon and its agents normally end within a second or two.
for _ in $(seq 1 10); do
    [ -z "$(running)" ] && exit 0
    sleep 1
done

pids="$(running)"
# The list is meant to split into one argument per process.
# shellcheck disable=SC2086
[ -n "$pids" ] && kill -TERM $pids 2>/dev/null
exit 0
