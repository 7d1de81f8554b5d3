# Sourced by the companion scripts, never run: how to find this installation's own processes and
# the service unit that runs its daemon. POSIX sh, because the launcher runs under sh.
# The sourcing script sets vt_dir to its program directory (physical path) first.

vt_exe="$vt_dir/vantorel"
vt_unit_name="ostrelle-vantorel.service"

# The processes whose executable is this installation's "vantorel", one pid a line, the calling
# shell left out. An executable replaced by an upgrade shows as "<path> (deleted)" and is still
# ours. With a switch ("-daemon", "-agent", "-local"), only processes started with it.
vt_own_pids() {
    # One find for every process: a readlink per process is slow on a busy machine.
    find /proc/[0-9]*/exe -maxdepth 0 -printf '%h %l\n' 2>/dev/null | while read -r vt_proc vt_target; do
        vt_target="${vt_target% (deleted)}"
        vt_pid="${vt_proc#/proc/}"
        [ "$vt_target" = "$vt_exe" ] && [ "$vt_pid" != "$$" ] || continue
        if [ -n "${1:-}" ]; then
            [ "$(tr '\0' '\n' <"$vt_proc/cmdline" 2>/dev/null | sed -n 2p)" = "$1" ] || continue
        fi
        echo "$vt_pid"
    done
}

# Whether process $1 still runs: one that has exited but is not yet reaped by its parent counts as
# stopped.
vt_is_running() {
    vt_state="$(sed -n 's/^[0-9]* (.*) \([A-Z]\).*/\1/p' "/proc/$1/stat" 2>/dev/null)"
    [ -n "$vt_state" ] && [ "$vt_state" != "Z" ] && [ "$vt_state" != "X" ]
}

# The system service unit a process runs in, when the service manager is running and owns it.
# Desktop sessions run agents in user units, which the system manager does not know.
vt_unit_of() {
    [ -d /run/systemd/system ] || return 1
    vt_found="$(sed -n 's#^0::.*/\([^/]*\.service\)$#\1#p' "/proc/$1/cgroup" 2>/dev/null | head -n 1)"
    [ -n "$vt_found" ] && systemctl cat "$vt_found" >/dev/null 2>&1 || return 1
    echo "$vt_found"
}

# The installed service unit, when the service manager is running and the unit runs this
# installation's executable (a copy elsewhere, such as a build tree, has no unit of its own).
vt_service_unit() {
    [ -d /run/systemd/system ] || return 1
    systemctl cat "$vt_unit_name" 2>/dev/null | grep -q "^ExecStart=$vt_exe " || return 1
    echo "$vt_unit_name"
}
