#!/usr/bin/env bash
# Shows that systemd kills a hung daemon and starts a new one, against the Debian package and a
# real systemd as PID 1 of a Debian 12 container:
#
#   tools/watchdog-check.sh [PACKAGE.deb]
#
# Builds the package with tools/package.sh unless one is given, installs it in a Debian 12 root
# made by debootstrap (kept in /var/tmp/vt-watchdog/bookworm and used again while it is sane and
# less than a week old), writes a settings file, shortens the unit's watchdog to 10 s with a
# drop-in in the root (five minutes would make the check last as long), boots the root with
# systemd-nspawn, stops the daemon with SIGSTOP and waits for systemd to kill it and start another.
# Then it runs stopVt.sh beside a process of the program in a cgroup named like a system service,
# and checks that the daemon's unit is stopped and that service is not.
# Debian 12 as root; ends with PASS or FAIL, and stops the container however it ends.
set -euo pipefail

usage() {
    sed -n '2,14p' "$0" >&2
    exit 2
}
[ $# -le 1 ] || usage
case "${1:-}" in -*) usage ;; esac
[ "$(id -u)" -eq 0 ] || {
    echo "watchdog-check: needs root (debootstrap, systemd-nspawn)" >&2
    exit 2
}
# shellcheck source=/dev/null
[ "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" = bookworm ] || {
    echo "watchdog-check: runs on Debian 12, whose package it checks in a Debian 12 container" >&2
    exit 2
}

source_tree="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
deb=""
if [ $# -eq 1 ]; then
    deb="$(realpath -e -- "$1")"
fi

step() { echo "watchdog-check: $*"; }
fail() {
    echo "watchdog-check: $*" >&2
    echo "FAIL"
    exit 1
}

began=$SECONDS
need=()
command -v debootstrap >/dev/null 2>&1 || need+=(debootstrap)
command -v systemd-nspawn >/dev/null 2>&1 || need+=(systemd-container)
command -v openssl >/dev/null 2>&1 || need+=(openssl)
if [ ${#need[@]} -gt 0 ]; then
    step "installing ${need[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

if [ -z "$deb" ]; then
    step "building the package"
    deb="$source_tree/$(cd "$source_tree" && bash tools/package.sh | tail -n 1)"
fi
[ -f "$deb" ] || fail "no package at $deb"
step "package $(basename "$deb")"

base=/var/tmp/vt-watchdog
root="$base/bookworm"
machine=vt-watchdog
unit=ostrelle-vantorel.service
watchdog_sec=10
mkdir -p "$base"
chmod 0700 "$base"
# Two runs would boot the same root twice.
exec 9>"$base/lock"
flock -n 9 || fail "another run holds $base/lock"

work="$(mktemp -d)"
nspawn_pid=""
stop_container() {
    [ -n "$nspawn_pid" ] || return 0
    if kill -0 "$nspawn_pid" 2>/dev/null; then
        # SIGTERM asks the container's systemd to halt; its whole PID namespace goes with it.
        kill -TERM "$nspawn_pid" 2>/dev/null || true
        local i
        for ((i = 0; i < 60; i++)); do
            kill -0 "$nspawn_pid" 2>/dev/null || break
            sleep 0.5
        done
        if kill -0 "$nspawn_pid" 2>/dev/null; then
            [ -z "${leader:-}" ] || kill -KILL "$leader" 2>/dev/null || true
            kill -KILL "$nspawn_pid" 2>/dev/null || true
        fi
    fi
    wait "$nspawn_pid" 2>/dev/null || true
    nspawn_pid=""
}
cleanup() {
    stop_container
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The host's systemd, when there is one, gives the container a scope of its own; without one,
# the container stays in this shell's control group.
nspawn=(systemd-nspawn --quiet --register=no -D "$root" -M "$machine")
[ -d /run/systemd/system ] || nspawn+=(--keep-unit)

sane() {
    [ -f "$root/.vt-watchdog" ] || return 1
    [ -z "$(find "$root/.vt-watchdog" -mtime +6)" ] || return 1
    # shellcheck source=/dev/null
    [ "$(. "$root/etc/os-release" && echo "${VERSION_CODENAME:-}")" = bookworm ] || return 1
    [ -x "$root/lib/systemd/systemd" ] || return 1
    # An installation cut short leaves packages half set up, which a rerun need not inherit.
    [ -z "$(chroot "$root" dpkg --audit 2>&1)" ]
}

if sane; then
    step "using the Debian 12 root in $root"
else
    step "making a Debian 12 root in $root"
    rm -rf --one-file-system "$root" "$root.new"
    debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$root.new" \
        http://deb.debian.org/debian >"$base/debootstrap.log" 2>&1 \
        || fail "debootstrap failed, see $base/debootstrap.log"
    touch "$root.new/.vt-watchdog"
    mv "$root.new" "$root"
fi

step "installing the package in the root"
cp -- "$deb" "$root/var/tmp/vantorel.deb"
# Purged first, so that every run starts from the package's own files and a new settings file.
"${nspawn[@]}" --pipe -E DEBIAN_FRONTEND=noninteractive /bin/sh -c \
    'dpkg --purge ostrelle-vantorel >/dev/null &&
     apt-get update -qq && apt-get install -y -qq --no-install-recommends /var/tmp/vantorel.deb >/dev/null' \
    </dev/null >"$work/install.log" 2>&1 || {
    cat "$work/install.log" >&2
    fail "installing the package failed"
}
rm -f "$root/var/tmp/vantorel.deb"

# The daemon needs a server to be given, not to be reached: it reports ready without a session.
# The container has a network of its own, so nothing answers at this address.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout /dev/null \
    -out "$work/cert.pem" -days 2 -subj /CN=localhost 2>/dev/null || fail "openssl could not make a certificate"
cert="$(awk '{ printf "%s\\n", $0 }' "$work/cert.pem")"
settings="$root/opt/ostrelle-vantorel/com.ostrelle.vantorel.json"
(
    umask 077
    cat >"$settings" <<EOF
{
    "app_type": "workstation",
    "debug": false,
    "visible": true,
    "sites": [
        {
            "resource": "/vt",
            "client_auth_oid": "",
            "servers": [
                {
                    "hostname": "localhost",
                    "server": "127.0.0.1",
                    "server2": "",
                    "port": 10005,
                    "cert": "$cert",
                    "kpa_interval": 60,
                    "reconnect_interval": 10,
                    "revocation_method": "none",
                    "ocsp_mode": 0
                }
            ]
        }
    ]
}
EOF
)
mkdir -p "$root/etc/systemd/system/$unit.d"
printf '[Service]\nWatchdogSec=%s\n' "$watchdog_sec" >"$root/etc/systemd/system/$unit.d/watchdog-check.conf"

step "booting the root with systemd as PID 1"
"${nspawn[@]}" -b --private-network --console=passive >"$work/nspawn.log" 2>&1 &
nspawn_pid=$!

# Waits until the command succeeds, for at most the seconds given.
wait_for() {
    local seconds="$1" deadline
    shift
    deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        kill -0 "$nspawn_pid" 2>/dev/null || return 1
        sleep 0.5
    done
}
find_leader() {
    leader="$(pgrep -P "$nspawn_pid" | head -n 1)"
    [ -n "$leader" ]
}
wait_for 30 find_leader || {
    cat "$work/nspawn.log" >&2
    fail "the container did not start"
}
inside() { nsenter -t "$leader" -a "$@"; }
prop() { inside systemctl show -P "$1" "$unit"; }
booted() {
    local state
    state="$(inside systemctl is-system-running 2>/dev/null)" || true
    [ "$state" = running ] || [ "$state" = degraded ]
}
wait_for 120 booted || {
    cat "$work/nspawn.log" >&2
    fail "the container's systemd did not finish booting"
}
step "container up: $(inside /lib/systemd/systemd --version | head -n 1)"

# A notify unit turns active only on the daemon's READY=1.
up() { [ "$(prop ActiveState)" = active ] && [ "$(prop SubState)" = running ]; }
wait_for 60 up || {
    inside systemctl status --no-pager "$unit" >&2 || true
    fail "the daemon did not report ready"
}
first="$(prop MainPID)"
[ "$(prop WatchdogUSec)" = "${watchdog_sec}s" ] || fail "the drop-in's watchdog is not in force: $(prop WatchdogUSec)"
step "ready: daemon $first active since $(prop ActiveEnterTimestamp)"

# A keep-alive received a whole period after READY=1 shows the event loop feeding the watchdog.
period_us=$((watchdog_sec * 1000000))
fed() {
    [ "$(prop WatchdogTimestampMonotonic)" -ge $(($(prop ActiveEnterTimestampMonotonic) + period_us)) ]
}
wait_for $((3 * watchdog_sec)) fed || fail "no keep-alive a whole period after the daemon was ready"
if [ "$(prop MainPID)" != "$first" ] || [ "$(prop NRestarts)" != 0 ]; then
    fail "the healthy daemon was restarted"
fi
step "alive: last keep-alive $(prop WatchdogTimestamp), still daemon $first, no restart"

step "hanging the daemon: kill -STOP $first at $(date -u '+%H:%M:%S.%N')"
inside kill -STOP "$first"

restarted() { [ "$(prop NRestarts)" = 1 ] && [ "$(prop MainPID)" != "$first" ] && up; }
wait_for $((watchdog_sec + $(prop RestartUSec | tr -dc 0-9) + 60)) restarted || {
    inside journalctl -b -u "$unit" --no-pager -o short-precise >&2 || true
    fail "the hung daemon was not replaced"
}
second="$(prop MainPID)"
# Matched on the journal's fields, not on its text.
inside journalctl -b -q "UNIT=$unit" UNIT_RESULT=watchdog -o cat | grep -q . \
    || fail "no unit failure with result 'watchdog' in the journal"
inside journalctl -b -q "UNIT=$unit" EXIT_CODE=killed EXIT_STATUS=6 -o cat | grep -q . \
    || fail "the journal does not show the daemon killed by SIGABRT"
step "the unit's journal:"
inside journalctl -b -u "$unit" --no-pager -o short-precise
step "replaced: daemon $first killed by the watchdog, daemon $second active since $(prop ActiveEnterTimestamp)"

# stopVt.sh stops the daemon through its unit and signals any other process of the program. A
# user's processes sit in cgroups the user names (user@.service delegates its subtree): one named
# like a system service must not get that service stopped by root. The stand-in user's program is
# held in its library constructor so that it stays alive as the installed executable.
step "stopVt.sh beside a process in a cgroup named like a system service"
printf '#include <unistd.h>\n__attribute__((constructor)) static void hold(void) { for (;;) pause(); }\n' \
    >"$work/hold.c"
cc -shared -fPIC -o "$root/var/tmp/vt-hold.so" "$work/hold.c" || fail "cannot build the holding library"
inside systemd-run --quiet --unit=vt-victim.service sleep infinity
inside systemd-run --quiet --unit=vt-user-session.service --slice=user-4242.slice -p Delegate=yes sleep infinity
session="$(inside sed -n 's/^0:://p' "/proc/$(inside systemctl show -P MainPID vt-user-session.service)/cgroup")"
[ -n "$session" ] || fail "no cgroup for the stand-in session"
inside sh -c 'LD_PRELOAD=/var/tmp/vt-hold.so /opt/ostrelle-vantorel/vantorel -agent </dev/null >/dev/null 2>&1 & echo $!' \
    >"$work/held"
held="$(cat "$work/held")"
for mount in /sys/fs/cgroup/unified /sys/fs/cgroup; do
    # shellcheck disable=SC2016 # expanded by the inner shell, from its arguments
    inside mkdir -p "$mount$session/vt-victim.service" 2>/dev/null \
        && inside sh -c 'echo "$1" >"$2"' - "$held" "$mount$session/vt-victim.service/cgroup.procs" 2>/dev/null && break
done
[ "$(inside readlink "/proc/$held/exe")" = /opt/ostrelle-vantorel/vantorel ] || fail "the stand-in is not the program"
inside grep -qxF "0::$session/vt-victim.service" "/proc/$held/cgroup" || fail "cannot place the stand-in process"
inside bash /opt/ostrelle-vantorel/stopVt.sh
stopped() { [ "$(prop ActiveState)" = inactive ] && ! inside kill -0 "$held" 2>/dev/null; }
wait_for 30 stopped || fail "stopVt.sh left the unit $(prop ActiveState) or the stand-in process running"
[ "$(inside systemctl is-active vt-victim.service)" = active ] || fail "stopVt.sh stopped the look-alike's namesake"
step "stopped: the unit through systemd, process $held by signal; vt-victim.service still active"

stop_container
step "container stopped after $((SECONDS - began)) s"
echo "PASS"
