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
# The search path of a restarted desktop agent; the agent's own is not taken.
agent_path=/usr/local/bin:/usr/bin:/bin

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

# Read by the sourced functions.
# shellcheck disable=SC2034
vt_dir="$install_dir"
# shellcheck source=scripts/vtCommon.sh
. "$files_dir/vtCommon.sh"

# ---- What runs now ----

# The mode of the running process decides how the program comes back; the settings' type is a
# deployment type, and a local-mode installation must come back in local mode. Only a process of
# this installation is asked.
mode="-daemon"
unit=""
if vt_is_own "$agent_pid"; then
    vt_has_switch "$agent_pid" -local && mode="-local"
    unit="$(vt_unit_of "$agent_pid")"
fi
if [ -n "$unit" ] && vt_in_unit $$ "$unit"; then
    # Inside the unit this script would die with the restart and could not roll back.
    if command -v systemd-run >/dev/null 2>&1; then
        exec systemd-run --scope --quiet --collect bash "${BASH_SOURCE[0]}" -pid "$agent_pid" -path "$install_dir" \
            -t "$app_type" -v "$visible"
    fi
fi

# ---- Desktop agents to bring back ----

# Anyone may run the program as a desktop agent, so everything taken from an agent process is
# checked before it is used: the agent is started again as the real uid it ran with, with only
# the variables below, each a whole NAME=value argument that no shell ever reads.

# Whether $2 is an acceptable value for the variable $1.
valid_variable() {
    local name="$1" value="$2" LC_ALL=C
    [ -n "$value" ] && [ "${#value}" -le 4096 ] || return 1
    case "$value" in
        *[[:cntrl:]]*) return 1 ;;
    esac
    case "$name" in
        # ":0", ":0.0", "host:0" or "unix:1"; X needs nothing else.
        DISPLAY) [[ "$value" =~ ^[A-Za-z0-9._-]*:[0-9]+(\.[0-9]+)?$ ]] ;;
        WAYLAND_DISPLAY) [[ "$value" =~ ^[A-Za-z0-9._-]+$ ]] || [[ "$value" =~ ^/[A-Za-z0-9._/-]+$ ]] ;;
        # No shell reads them, so a path may hold any printable character.
        XAUTHORITY | XDG_RUNTIME_DIR | HOME) [[ "$value" == /* ]] ;;
        DBUS_SESSION_BUS_ADDRESS) [[ "$value" =~ ^[A-Za-z0-9:=/,._%-]+$ ]] ;;
        LANG | XDG_CURRENT_DESKTOP | XDG_SESSION_TYPE) [[ "$value" =~ ^[A-Za-z0-9:._@-]+$ ]] ;;
        # A platform list such as "wayland;xcb", without plugin options.
        QT_QPA_PLATFORM) [[ "$value" =~ ^[A-Za-z0-9\;._-]+$ ]] ;;
        *) return 1 ;;
    esac
}

# The start time of process $1 since boot, which tells a process from a later one given its pid.
start_time_of() {
    local stat fields
    stat="$(cat "/proc/$1/stat" 2>/dev/null)" || return 1
    # The fields after the last ")" are the kernel's; the name before it is the process's own.
    read -r -a fields <<<"${stat##*) }"
    [ "${#fields[@]}" -gt 19 ] && echo "${fields[19]}"
}

# The real uid or gid (field "Uid:" or "Gid:") of process $1.
real_id_of() {
    local key first rest
    while IFS=$' \t' read -r key first rest; do
        if [ "$key" = "$2" ]; then
            [[ "$first" =~ ^[0-9]+$ ]] && echo "$first"
            return
        fi
    done <"/proc/$1/status"
}

agent_uids=()
agent_gids=()
agent_envs=()

# Records what agent $1 needs to be started again, or logs why it will not be.
keep_agent() {
    local pid="$1" started uid gid entry name value environment=""
    started="$(start_time_of "$pid")" || return
    uid="$(real_id_of "$pid" Uid:)"
    gid="$(real_id_of "$pid" Gid:)"
    if [ -z "$uid" ] || [ -z "$gid" ]; then
        log "not restarting the desktop agent of process $pid: its user is unknown"
        return
    fi
    while IFS= read -r -d '' entry; do
        name="${entry%%=*}"
        value="${entry#*=}"
        case "$name" in
            DISPLAY | WAYLAND_DISPLAY | XAUTHORITY | XDG_RUNTIME_DIR | DBUS_SESSION_BUS_ADDRESS | HOME | LANG | \
                XDG_CURRENT_DESKTOP | XDG_SESSION_TYPE | QT_QPA_PLATFORM) ;;
            *) continue ;;
        esac
        if ! valid_variable "$name" "$value"; then
            log "not restarting the desktop agent of process $pid (uid $uid): unsafe $name"
            return
        fi
        # The values hold no control character, so one a line is exact.
        environment+="$name=$value"$'\n'
    done <"/proc/$pid/environ"
    # Checked last: the pid must still be the same agent of ours that the values were read from.
    if ! vt_is_own "$pid" || ! vt_has_switch "$pid" -agent || [ "$(start_time_of "$pid")" != "$started" ]; then
        log "not restarting the desktop agent of process $pid: it changed while it was read"
        return
    fi
    if [[ "$environment" != *DISPLAY=* ]]; then
        log "not restarting the desktop agent of process $pid (uid $uid): it has no display"
        return
    fi
    if [ "$(id -u)" != 0 ] && [ "$uid" != "$(id -u)" ]; then
        log "not restarting the desktop agent of process $pid (uid $uid): not allowed to start it as that user"
        return
    fi
    # setpriv needs the account to look up the user's groups; without one it would fail after
    # the log already said the agent came back.
    if [ "$(id -u)" = 0 ] && [ "$uid" != 0 ] && ! getent passwd "$uid" >/dev/null; then
        log "not restarting the desktop agent of process $pid (uid $uid): no account has that uid"
        return
    fi
    agent_uids+=("$uid")
    agent_gids+=("$gid")
    agent_envs+=("$environment")
}

for pid in $(vt_own_pids -agent); do
    keep_agent "$pid"
done

# ---- Install, keeping the previous files ----

# Whatever owners and modes the package's files had, installed files belong to root and only root
# may change them: the daemon runs some of them as root.
if [ "$(id -u)" = 0 ]; then
    owner=(-o 0 -g 0)
else
    owner=()
fi

# Each file is copied beside its target and renamed over it, so a running executable keeps its
# old image and an interrupted copy never leaves a truncated file in place. Only regular files
# are taken, never what a link points to; an executable file of the package stays executable.
install_file() {
    local mode=0644
    [ -f "$1" ] && [ ! -L "$1" ] || return 1
    [ -x "$1" ] && mode=0755
    install "${owner[@]}" -m "$mode" "$1" "$install_dir/.$2.new" && mv -f "$install_dir/.$2.new" "$install_dir/$2" && return 0
    rm -f "$install_dir/.$2.new"
    return 1
}

# The program directory and what it holds but the log, fixed also where an earlier installation
# left a file owned or writable by a user. The directory comes first, so no user can swap an
# entry while the rest is fixed; links are neither followed nor changed. The settings file keeps
# its mode, which the daemon sets.
secure_install_dir() {
    if [ "$(id -u)" = 0 ]; then
        chown -h 0:0 "$install_dir" && chmod 0755 "$install_dir" || log "failed to secure $install_dir"
        find "$install_dir" -mindepth 1 -maxdepth 1 ! -name log ! -type l -exec chown -h 0:0 {} + \
            || log "failed to give $install_dir to root"
    fi
    find "$install_dir" -mindepth 1 -maxdepth 1 ! -name log ! -name "$settings_name" ! -type l \
        -exec chmod go-w,ug-s {} + || log "failed to fix the modes in $install_dir"
}

backup_dir="$install_dir/.previous"
secure_install_dir
rm -rf "$backup_dir"
mkdir -m 0700 "$backup_dir" || { log "failed to create $backup_dir"; exit 4; }
added=()

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
        cp -p -P "$install_dir/$name" "$backup_dir/$name" || { log "failed to keep $name"; restore_previous; exit 4; }
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
secure_install_dir

# ---- Restart and watch ----

stop_all() {
    if [ -n "$unit" ]; then
        systemctl stop "$unit"
    fi
    bash "$install_dir/stopVt.sh"
    for pid in $(vt_own_pids); do
        vt_is_own "$pid" && kill -KILL "$pid" 2>/dev/null
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
    local i words
    for i in "${!agent_uids[@]}"; do
        mapfile -t words <<<"${agent_envs[$i]%$'\n'}"
        # Root only for an agent root itself ran; never through a shell.
        if [ "${agent_uids[$i]}" = 0 ] || [ "$(id -u)" != 0 ]; then
            setsid env -i PATH="$agent_path" "${words[@]}" "$exe" -agent </dev/null >/dev/null 2>&1 &
        else
            setsid setpriv --reuid="${agent_uids[$i]}" --regid="${agent_gids[$i]}" --init-groups \
                env -i PATH="$agent_path" "${words[@]}" "$exe" -agent </dev/null >/dev/null 2>&1 &
        fi
        log "restarted the desktop agent of uid ${agent_uids[$i]}"
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
secure_install_dir
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
