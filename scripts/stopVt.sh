#!/usr/bin/env bash
# Stops every agent process of this installation: the daemon (or local-mode process) and the
# desktop agents. An installation is the directory holding this script and its "vantorel"; other
# copies of the program elsewhere on the machine are left alone.
#
# A daemon run by the service manager is stopped through it, so that it is not restarted; the
# stop is queued (--no-block) because this script may itself run inside the daemon's unit and
# would be killed with it before the job is handed over.

set -u

vt_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)"
# shellcheck source=scripts/vtCommon.sh
. "$vt_dir/vtCommon.sh"
grace_seconds=5

units=()
pids=()
for pid in $(vt_own_pids); do
    if unit="$(vt_unit_of "$pid")"; then
        units+=("$unit")
    else
        pids+=("$pid")
    fi
done

# The service is stopped even while its daemon is between two runs, or it would start again.
if unit="$(vt_service_unit)"; then
    case "$(systemctl is-active "$unit" 2>/dev/null)" in
        active | activating | reloading) units+=("$unit") ;;
    esac
fi

# Each pid is checked again right before its signal: it may belong to another process by now.
signal_own() {
    local signal="$1" pid
    shift
    for pid in "$@"; do
        vt_is_own "$pid" && kill "-$signal" "$pid" 2>/dev/null
    done
}

if [ ${#pids[@]} -gt 0 ]; then
    signal_own TERM "${pids[@]}"
    for _ in $(seq $((grace_seconds * 10))); do
        alive=()
        for pid in "${pids[@]}"; do
            vt_is_running "$pid" && alive+=("$pid")
        done
        [ ${#alive[@]} -eq 0 ] && break
        sleep 0.1
    done
    if [ ${#alive[@]} -gt 0 ]; then
        signal_own KILL "${alive[@]}"
    fi
fi

if [ ${#units[@]} -gt 0 ]; then
    printf '%s\n' "${units[@]}" | sort -u | while read -r unit; do
        systemctl stop --no-block "$unit"
    done
fi

exit 0
