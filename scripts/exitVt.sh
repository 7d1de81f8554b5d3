#!/bin/bash
# Started detached by the daemon when a desktop user has confirmed Exit with the protection
# password. The daemon quits by itself and its agents follow when the GUI pipe closes; this makes
# sure nothing started from this program directory outlives that, including an agent that hangs.
vt_dir="$(cd "$(dirname "$0")" && pwd -P)"
# shellcheck source=vtCommon.sh
. "$vt_dir/vtCommon.sh"

# The daemon and its agents normally end within a second or two.
for _ in $(seq 1 10); do
    [ -z "$(vt_own_pids)" ] && exit 0
    sleep 1
done

pids="$(vt_own_pids)"
# The list is meant to split into one argument per process.
# shellcheck disable=SC2086
[ -n "$pids" ] && kill -TERM $pids 2>/dev/null
exit 0
