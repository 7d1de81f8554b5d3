#!/usr/bin/env bash
# Runs tools/test.sh (build, package check, whole suite) in a Debian chroot of the release named,
# made by debootstrap from Debian's archive:
#
#   tools/chroot-test.sh RELEASE [QT_MAJOR]        e.g. tools/chroot-test.sh trixie 6
#
# The chroot is kept in /var/cache/vantorel-ci/RELEASE and used again while it is sane and less
# than a week old; otherwise it is made afresh. The commit checked out here (HEAD, not uncommitted
# changes) is fetched into a clone inside it, whose build directories and compiler cache stay for
# the next run. Runs as root; everything mounted is unmounted when the script ends, however.
set -euo pipefail

usage() {
    sed -n '2,10p' "$0" >&2
    exit 2
}
[ $# -ge 1 ] && [ $# -le 2 ] || usage
release="$1"
qt_major="${2:-}"
case "$release" in bookworm | trixie) ;; *) usage ;; esac
case "$qt_major" in "" | 5 | 6) ;; *) usage ;; esac
[ "$(id -u)" -eq 0 ] || {
    echo "chroot-test: needs root (debootstrap, chroot, mount)" >&2
    exit 2
}

if ! command -v debootstrap >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
fi

source_tree="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
cache=/var/cache/vantorel-ci
root="$cache/$release"
clone=/root/vantorel
mirror=http://deb.debian.org/debian

mkdir -p "$cache"
chmod 0700 "$cache"
# Two runs sharing one chroot would build in the same clone.
exec 9>"$cache/$release.lock"
flock 9

# Deepest first; a mount some leftover process still holds is detached lazily, so that the
# chroot never stays joined to the machine's /dev or /tmp.
mounts=(proc sys dev dev/pts dev/shm tmp)
unmount_all() {
    local i target
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        target="$root/${mounts[i]}"
        if mountpoint -q "$target"; then
            umount "$target" 2>/dev/null || umount -l "$target"
        fi
    done
}
# A run killed before its trap leaves its mounts behind: they go before anything is deleted.
unmount_all
trap unmount_all EXIT
trap 'exit 130' INT TERM

sane() {
    [ -f "$root/.vantorel-chroot" ] || return 1
    [ -z "$(find "$root/.vantorel-chroot" -mtime +6)" ] || return 1
    [ "$(. "$root/etc/os-release" && echo "${VERSION_CODENAME:-}")" = "$release" ] || return 1
    chroot "$root" /bin/true || return 1
    # An installation cut short leaves packages half set up, which a rerun need not inherit.
    [ -z "$(chroot "$root" dpkg --audit 2>&1)" ]
}

began=$SECONDS
if sane; then
    echo "chroot-test: using the $release chroot in $root"
else
    echo "chroot-test: making a $release chroot in $root"
    for dir in "$root" "$root.new"; do
        if findmnt -rn -o TARGET | grep -Fq "$dir/"; then
            echo "chroot-test: something is still mounted below $dir" >&2
            exit 1
        fi
        rm -rf --one-file-system "$dir"
    done
    debootstrap --variant=minbase --include=git "$release" "$root.new" "$mirror" \
        >"$cache/$release.debootstrap.log" 2>&1 || {
        tail -n 20 "$cache/$release.debootstrap.log" >&2
        exit 1
    }
    # What a fresh installation gets: the release with its point-release and security updates.
    cat >"$root.new/etc/apt/sources.list" <<EOF
deb $mirror $release main
deb $mirror $release-updates main
deb http://security.debian.org/debian-security $release-security main
EOF
    touch "$root.new/.vantorel-chroot"
    mv "$root.new" "$root"
    echo "chroot-test: chroot made in $((SECONDS - began)) s"
fi

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount --bind /dev/shm "$root/dev/shm"
# The tests' locks, the GUI pipe and the X displays are named in /tmp; System V objects and
# abstract sockets are the machine's anyway, so the chroot's tests share the machine's /tmp and
# wait for other checkouts' tests exactly as they would outside.
mount --bind /tmp "$root/tmp"
cp /etc/resolv.conf "$root/etc/resolv.conf"

[ -d "$root$clone/.git" ] || git init -q "$root$clone"
git -C "$root$clone" fetch -q "$source_tree" HEAD
git -C "$root$clone" checkout -q --force --detach FETCH_HEAD
commit="$(git -C "$root$clone" rev-parse HEAD)"
if [ -n "$(git -C "$source_tree" status --porcelain --untracked-files=no)" ]; then
    echo "chroot-test: uncommitted changes are not tested, only $commit"
fi
# Build directories and dist/ are ignored files and stay; anything else not in the commit goes.
git -C "$root$clone" clean -q -d --force

echo "chroot-test: $release, commit $commit, Qt ${qt_major:-as the release defaults}"
env_args=(HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 TERM=dumb CI="${CI:-}")
[ -z "$qt_major" ] || env_args+=(VT_QT_MAJOR="$qt_major")
chroot "$root" /usr/bin/env -i "${env_args[@]}" bash -c 'cd "$1" && bash tools/test.sh' bash "$clone" </dev/null 9>&-
