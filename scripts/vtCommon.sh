# shellcheck shell=sh
# Sourced by the companion scripts, never run: how to find this installation's own processes and
# the service unit that runs its daemon. POSIX sh, because the launcher runs under sh.
# The sourcing script sets vt_dir to its program directory (physical path) first.
#
# Everything under /proc/PID but the pid itself can be shaped by the process's owner: the
# executable's path (any byte but NUL, newlines included), its command line, its name and its
# environment. So nothing here splits such text into lines or words: the executable link is
# compared as one whole string, and the command line is read NUL-separated.

# Without it every lookup below would compare against "/vantorel".
: "${vt_dir:?vt_dir must name the program directory}"
vt_exe="$vt_dir/vantorel"
vt_unit_name="ostrelle-vantorel.service"

# Whether process $1 runs this installation's executable, also after an upgrade replaced it on
# disk ("<path> (deleted)"). Callers about to signal or trust a process ask again right before,
# since its pid may have been reused meanwhile.
vt_is_own() {
    case "$1" in
        '' | *[!0-9]*) return 1 ;;
    esac
    # The marker keeps a trailing newline of the link, which command substitution would drop.
    vt_target="$(readlink -- "/proc/$1/exe" 2>/dev/null && echo /)" || return 1
    vt_target="${vt_target%?/}"
    [ "$vt_target" = "$vt_exe" ] || [ "$vt_target" = "$vt_exe (deleted)" ]
}

# Whether process $1 was started with the switch $2 as its first argument, the whole argument.
vt_has_switch() {
    sed -z -n 2p "/proc/$1/cmdline" 2>/dev/null | grep -qzxF -- "$2"
}

# The processes whose executable is this installation's "vantorel", one pid a line, the calling
# shell left out. With a switch ("-daemon", "-agent", "-local"), only processes started with it.
vt_own_pids() {
    # One find for every process, since a readlink each is slow on a busy machine; find compares
    # each link with a pattern that holds no wildcard, the whole link against the whole path.
    vt_pattern="$(printf '%s\n' "$vt_exe" | sed 's/[][*?\\]/\\&/g')"
    find /proc/[0-9]*/exe -maxdepth 0 \( -lname "$vt_pattern" -o -lname "$vt_pattern (deleted)" \) \
        -printf '%h\n' 2>/dev/null | while read -r vt_proc; do
        vt_pid="${vt_proc#/proc/}"
        case "$vt_pid" in
            '' | *[!0-9]*) continue ;;
        esac
        [ "$vt_pid" != "$$" ] || continue
        if [ -n "${1:-}" ]; then
            vt_has_switch "$vt_pid" "$1" || continue
        fi
        echo "$vt_pid"
    done
}

# The real uid of process $1. The status file escapes the process's name, so its lines are the
# kernel's own.
vt_real_uid() {
    sed -n 's/^Uid:[[:space:]]*\([0-9][0-9]*\).*/\1/p' "/proc/$1/status" 2>/dev/null
}

# Whether process $1 still runs: one that has exited but is not yet reaped by its parent counts as
# stopped. The state follows the last ")", since the name before it is the process's own choice.
vt_is_running() {
    vt_stat="$(cat "/proc/$1/stat" 2>/dev/null)" || return 1
    vt_state="${vt_stat##*) }"
    vt_state="${vt_state%% *}"
    [ -n "$vt_state" ] && [ "$vt_state" != "Z" ] && [ "$vt_state" != "X" ]
}

# The installed service unit, when process $1 is the daemon it runs. The service manager is asked
# rather than the process's cgroup read: a user names the units and cgroups of their own session,
# and one named like a system service would have had that service stopped by root.
vt_unit_of() {
    vt_found="$(vt_service_unit)" || return 1
    [ "$(systemctl show --property=MainPID --value "$vt_found" 2>/dev/null)" = "$1" ] || return 1
    echo "$vt_found"
}

# Whether process $1 runs in the control group of unit $2, as the unit's daemon and the children
# it starts do. The kernel's line for it is compared whole.
vt_in_unit() {
    vt_group="$(systemctl show --property=ControlGroup --value "$2" 2>/dev/null)"
    [ -n "$vt_group" ] && grep -qxF -- "0::$vt_group" "/proc/$1/cgroup" 2>/dev/null
}

# The installed service unit, when the service manager is running and the unit runs this
# installation's executable (a copy elsewhere, such as a build tree, has no unit of its own).
vt_service_unit() {
    [ -d /run/systemd/system ] || return 1
    systemctl cat "$vt_unit_name" 2>/dev/null | grep -q "^ExecStart=$vt_exe " || return 1
    echo "$vt_unit_name"
}
