#!/usr/bin/env bash
# Installs the program shipped in this upgrade package over a running installation and restarts
# it. Started by the running agent, detached, as:
#   update.sh -pid <agent pid> -path <installation directory> -t <app type> -v <0|1>
# The settings file and the log directory of the installation are never touched.

set -u

pkg_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)"
files_dir="$pkg_dir/files"
settings_name="com.ostrelle.vantorel.json"

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

mkdir -p "$install_dir/log"
log_file="$install_dir/log/update.log"
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

# The unit that runs the agent, if the service manager owns it: it must restart the agent itself,
# or it would restart the old one or fight the new one.
vt_dir="$install_dir"
# shellcheck source=../../scripts/vtCommon.sh
. "$files_dir/vtCommon.sh"
unit=""
[ -n "$agent_pid" ] && unit="$(vt_unit_of "$agent_pid")"

# Each file is copied beside its target and renamed over it, so a running executable keeps its
# old image and an interrupted copy never leaves a truncated file in place.
for src in "$files_dir"/*; do
    name="$(basename "$src")"
    if [ "$name" = "$settings_name" ] || [ "$name" = "log" ]; then
        continue
    fi
    if ! cp -p "$src" "$install_dir/.$name.new" || ! mv -f "$install_dir/.$name.new" "$install_dir/$name"; then
        rm -f "$install_dir/.$name.new"
        log "failed to install $name"
        exit 4
    fi
    log "installed $name"
done

if [ -n "$unit" ]; then
    # This script runs inside the unit, so the restart is queued and this process ends with it.
    log "restarting service $unit"
    systemctl restart --no-block "$unit"
    exit 0
fi

bash "$install_dir/stopVt.sh"
if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill -KILL "$agent_pid" 2>/dev/null
fi

case "$app_type" in
    local) mode="-local" ;;
    *) mode="-daemon" ;;
esac
log "starting $install_dir/vantorel $mode"
cd "$install_dir" || exit 5
setsid "$install_dir/vantorel" "$mode" </dev/null >/dev/null 2>&1 &
exit 0
