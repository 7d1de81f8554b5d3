#!/usr/bin/env bash
# Installs the program shipped in this upgrade package over a running installation and restarts
# it; when the new program does not come up, puts the previous files back and restarts those.
# Started by the running agent, detached, as:
#   update.sh -pid <agent pid> -path <installation directory> -t <app type> -v <0|1>
# The settings file and the log directory of the installation are never touched.

set -u

pkg_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)"
files_dir="$pkg_dir/files"
settings_name="com.ostrelle.vantorel.json"
# The new daemon has come up once it logged this and is still running this long after.
ready_text="Ready to run Vantorel"
ready_timeout_seconds=60
stay_alive_seconds=3

agent_pid=""
install_dir=""
app_type=""
visible=""
while [ $# -gt 0 ]; do
    case "$1" in
        -pid) agent_pid="${2:-}"; shift 2 ;;
        -path) install_dir="${2:-}"; shift 2 ;;
        -t) app_type="${2:-}"; shift 2 ;;
        -v) visible="${2:-}"; shift 2 ;;
        *) echo "update.sh: unknown argument: $1" >&2; exit 2 ;;
    esac
done

if [ -z "$install_dir" ] || [ ! -d "$install_dir" ]; then
    echo "update.sh: installation directory missing: '$install_dir'" >&2
    exit 2
fi
install_dir="$(cd "$install_dir" && pwd -P)"
exe="$install_dir/vantorel"

mkdir -p "$install_dir/log"
log_file="$install_dir/log/update.log"
program_log="$install_dir/log/ot_vt.log"
log() { echo "$(date '+%Y-%m-%d %H:%M:%S') $*" >>"$log_file"; }

log "upgrade from $pkg_dir into $install_dir (pid $agent_pid, type '$app_type', visible '$visible')"

# A package built for the other word size would leave the machine without a working agent.
elf_class="$(od -An -j4 -N1 -tu1 "$files_dir/vantorel" 2>/dev/null | tr -d ' ')"
case "$(getconf LONG_BIT)" in
    64) wanted=2 ;;
    *) wanted=1 ;;
esac
if [ "$elf_class" != "$wanted" ]; then
    log "refused: the packaged executable does not match this machine's word size"
    exit 3
fi

# ---- Process and service lookups, shared with the companion scripts ----

vt_dir="$install_dir"
# shellcheck source=../../scripts/vtCommon.sh
. "$files_dir/vtCommon.sh"

# The mode switch a process was started with ("-daemon", "-local", "-agent"), empty if unknown.
mode_of() {
    local arg
    while IFS= read -r -d '' arg; do
        case "$arg" in
            -daemon | -local | -agent) echo "$arg"; return 0 ;;
        esac
    done <"/proc/$1/cmdline" 2>/dev/null
    return 1
}

# ---- What runs now ----

# The mode of the running process decides how the program comes back; the settings' type is a
# deployment type, and a local-mode installation must come back in local mode.
mode=""
[ -n "$agent_pid" ] && mode="$(mode_of "$agent_pid")"
case "$mode" in
    -local | -daemon) ;;
    *) mode="-daemon" ;;
esac

unit=""
[ -n "$agent_pid" ] && unit="$(vt_unit_of "$agent_pid")"
if [ -n "$unit" ] && [ "$(vt_unit_of $$)" = "$unit" ]; then
    # Inside the unit this script would die with the restart and could not roll back.
    if command -v systemd-run >/dev/null 2>&1; then
        exec systemd-run --scope --quiet --collect bash "${BASH_SOURCE[0]}" -pid "$agent_pid" -path "$install_dir" \
            -t "$app_type" -v "$visible"
    fi
fi

# Desktop agents of this installation, with what they need to reach their display again.
agents=()
for pid in $(vt_own_pids); do
    [ "$(mode_of "$pid")" = "-agent" ] || continue
    user="$(stat -c %U "/proc/$pid")"
    environment="$(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null \
        | grep -E '^(DISPLAY|WAYLAND_DISPLAY|XAUTHORITY|XDG_RUNTIME_DIR|DBUS_SESSION_BUS_ADDRESS)=' | tr '\n' ' ')"
    agents+=("$user $environment")
done

# ---- Install, keeping the previous files ----

backup_dir="$install_dir/.previous"
rm -rf "$backup_dir"
mkdir -p "$backup_dir" || { log "failed to create $backup_dir"; exit 4; }
added=()

# Each file is copied beside its target and renamed over it, so a running executable keeps its
# old image and an interrupted copy never leaves a truncated file in place.
install_file() {
    cp -p "$1" "$install_dir/.$2.new" && mv -f "$install_dir/.$2.new" "$install_dir/$2" && return 0
    rm -f "$install_dir/.$2.new"
    return 1
}

restore_previous() {
    local saved name
    for saved in "$backup_dir"/* "$backup_dir"/.[!.]*; do
        [ -e "$saved" ] || continue
        name="$(basename "$saved")"
        install_file "$saved" "$name" || log "failed to restore $name"
    done
    for name in "${added[@]}"; do
        rm -f "$install_dir/$name"
    done
}

for src in "$files_dir"/*; do
    name="$(basename "$src")"
    if [ "$name" = "$settings_name" ] || [ "$name" = "log" ]; then
        continue
    fi
    if [ -e "$install_dir/$name" ]; then
        cp -p "$install_dir/$name" "$backup_dir/$name" || { log "failed to keep $name"; restore_previous; exit 4; }
    else
        added+=("$name")
    fi
    if ! install_file "$src" "$name"; then
        log "failed to install $name"
        restore_previous
        exit 4
    fi
    log "installed $name"
done

# ---- Restart and watch ----

stop_all() {
    if [ -n "$unit" ]; then
        systemctl stop "$unit"
    fi
    bash "$install_dir/stopVt.sh"
    for pid in $(vt_own_pids); do
        kill -KILL "$pid" 2>/dev/null
    done
}

# Starts the installed program and echoes its pid.
start_program() {
    if [ -n "$unit" ]; then
        systemctl start "$unit"
        systemctl show -p MainPID --value "$unit"
        return
    fi
    (cd "$install_dir" && exec setsid "$exe" "$mode" </dev/null >/dev/null 2>&1) &
    echo $!
}

# True once the process logged that it is ready and is still running a while later.
came_up() {
    local pid="$1" offset="$2" waited=0
    while [ "$waited" -lt $((ready_timeout_seconds * 10)) ]; do
        vt_is_running "$pid" || return 1
        if tail -c +"$((offset + 1))" "$program_log" 2>/dev/null | grep -F "($pid)" | grep -qF "$ready_text"; then
            sleep "$stay_alive_seconds"
            vt_is_running "$pid"
            return
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    return 1
}

log_size() { stat -c %s "$program_log" 2>/dev/null || echo 0; }

restart_agents() {
    local entry user environment
    for entry in "${agents[@]}"; do
        user="${entry%% *}"
        environment="${entry#* }"
        # The variables are meant to split into one assignment each.
        # shellcheck disable=SC2086
        if [ "$(id -u)" = 0 ] && [ "$user" != root ]; then
            setsid runuser -u "$user" -- env $environment "$exe" -agent </dev/null >/dev/null 2>&1 &
        else
            setsid env $environment "$exe" -agent </dev/null >/dev/null 2>&1 &
        fi
        log "restarted the desktop agent of $user"
    done
}

stop_all
offset="$(log_size)"
log "starting $exe $mode"
new_pid="$(start_program)"
if came_up "$new_pid" "$offset"; then
    log "upgrade succeeded: the new version runs (pid $new_pid)"
    rm -rf "$backup_dir"
    restart_agents
    exit 0
fi

log "upgrade failed: the new version did not come up; restoring the previous version"
stop_all
restore_previous
offset="$(log_size)"
old_pid="$(start_program)"
if came_up "$old_pid" "$offset"; then
    log "rollback succeeded: the previous version runs (pid $old_pid)"
    rm -rf "$backup_dir"
    restart_agents
    exit 1
fi
log "rollback failed: the previous version did not come up either; its files are kept in $backup_dir"
exit 1
