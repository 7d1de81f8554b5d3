#!/bin/sh
# Started by "vantorel" when it is run without a switch. Starts the root daemon unless one is
# already running, and the tray agent for the user of each graphical session that lacks one.
vt_dir=$(cd "$(dirname "$0")" && pwd -P)
# shellcheck source=scripts/vtCommon.sh
. "$vt_dir/vtCommon.sh"

# Whether root runs this installation with switch $1: anyone may start the program with any
# switch, and a user's copy must not keep the real daemon from starting.
root_runs() {
    for pid in $(vt_own_pids "$1"); do
        [ "$(vt_real_uid "$pid")" = 0 ] && return 0
    done
    return 1
}

if [ "$(id -u)" = 0 ]; then
    if unit=$(vt_service_unit); then
        # Beside the service's own daemon a second one would only be refused by the instance
        # guard, and one started outside the unit would not be restarted when it dies.
        systemctl start "$unit"
    elif ! root_runs -daemon && ! root_runs -local; then
        nohup "$vt_exe" -daemon >/dev/null 2>&1 &
    fi
fi

# Whether USER already runs an agent of this installation.
has_agent() {
    for pid in $(vt_own_pids -agent); do
        [ "$(stat -c %U "/proc/$pid" 2>/dev/null)" = "$1" ] && return 0
    done
    return 1
}

# Whether USER really has a session on DISPLAY: a process of theirs was given that display. The
# list of sessions comes from "who", whose host field a user can fill through a set-gid utmp
# helper, newlines included; such a forged line must not make root start a tray for somebody
# else (or for root) on a display the forger owns. A user can only ever prove this for themselves.
has_session() {
    vt_uid="$(id -u -- "$1" 2>/dev/null)" || return 1
    find /proc -mindepth 1 -maxdepth 1 -regex '/proc/[0-9]+' -uid "$vt_uid" -printf '%p/environ\0' 2>/dev/null \
        | xargs -0r grep -lszxF -- "DISPLAY=$2" | grep -q .
}

# "who" lists graphical sessions with their display in parentheses, e.g. "alice tty7 ... (:0)".
who | sed -n 's/^\([^ ]*\) .*(\(:[0-9.]*\))$/\1 \2/p' | sort -u | while read -r user display; do
    has_agent "$user" && continue
    has_session "$user" "$display" || continue
    if [ "$(id -u)" = 0 ]; then
        sudo -u "$user" DISPLAY="$display" nohup "$vt_exe" -agent >/dev/null 2>&1 &
    elif [ "$(id -un)" = "$user" ]; then
        DISPLAY="$display" nohup "$vt_exe" -agent >/dev/null 2>&1 &
    fi
done
exit 0
