#!/bin/bash
# Started detached by the daemon when a desktop user has confirmed Exit with the protection
# password. The daemon quits by itself and its agents follow when the GUI pipe closes; this makes
# sure nothing started from this program directory outlives that, including an agent that hangs.
vt_dir="$(cd "$(dirname "$0")" && pwd -P)"
# shellcheck source=scripts/vtCommon.sh
. "$vt_dir/vtCommon.sh"

# The daemon and its agents normally end within a second or two.
for _ in $(seq 1 10); do
    [ -z "$(vt_own_pids)" ] && exit 0
    sleep 1
done

for pid in $(vt_own_pids); do
    # Asked again right before the signal: the pid may belong to another process by now.
    vt_is_own "$pid" && kill -TERM "$pid" 2>/dev/null
done
exit 0
