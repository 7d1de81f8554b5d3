#!/usr/bin/env bash
# Stops every agent process of this installation: the daemon (or local-mode process) and the
# desktop agents. An installation is the directory holding this script and its "vantorel"; other
# copies of the program elsewhere on the machine are left alone.
#
# A daemon run by the service manager is stopped through it, so that it is not restarted; the
# stop is queued (--no-block) because this script may itself run inside the daemon's unit and
# would be killed with it before the job is handed over.

set -u

dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)"
exe="$dir/vantorel"
grace_seconds=5

# The processes whose executable is ours. A replaced executable shows as "<path> (deleted)".
own_pids() {
    local proc target
    # One find for every process: a readlink per process is slow on a busy machine.
    find /proc/[0-9]*/exe -maxdepth 0 -printf '%h\t%l\n' 2>/dev/null | while IFS=$'\t' read -r proc target; do
        target="${target% (deleted)}"
        if [ "$target" = "$exe" ] && [ "${proc#/proc/}" != "$$" ]; then
            echo "${proc#/proc/}"
        fi
    done
}

# The service unit that runs a process, when the service manager is running and owns it.
unit_of() {
    [ -d /run/systemd/system ] || return 1
    local unit
    unit="$(sed -n 's#^0::.*/\([^/]*\.service\)$#\1#p' "/proc/$1/cgroup" 2>/dev/null | head -n 1)"
    [ -n "$unit" ] || return 1
    # Desktop sessions run agents in user units, which the system manager does not know.
    systemctl cat "$unit" >/dev/null 2>&1 || return 1
    echo "$unit"
}

# A process that has exited but is not yet reaped by its parent counts as stopped.
is_running() {
    local state
    state="$(sed -n 's/^[0-9]* (.*) \([A-Z]\).*/\1/p' "/proc/$1/stat" 2>/dev/null)"
    [ -n "$state" ] && [ "$state" != "Z" ] && [ "$state" != "X" ]
}

units=()
pids=()
for pid in $(own_pids); do
    if unit="$(unit_of "$pid")"; then
        units+=("$unit")
    else
        pids+=("$pid")
    fi
done

if [ ${#pids[@]} -gt 0 ]; then
    kill -TERM "${pids[@]}" 2>/dev/null
    for _ in $(seq $((grace_seconds * 10))); do
        alive=()
        for pid in "${pids[@]}"; do
            is_running "$pid" && alive+=("$pid")
        done
        [ ${#alive[@]} -eq 0 ] && break
        sleep 0.1
    done
    if [ ${#alive[@]} -gt 0 ]; then
        kill -KILL "${alive[@]}" 2>/dev/null
    fi
fi

if [ ${#units[@]} -gt 0 ]; then
    printf '%s\n' "${units[@]}" | sort -u | while read -r unit; do
        systemctl stop --no-block "$unit"
    done
fi

exit 0
