#!/usr/bin/env bash
# Builds the Debian package and checks it without installing anything on this machine: its
# contents, lintian, the service unit, and install, upgrade over itself, remove and purge into a
# throwaway root with its own dpkg database. Part of tools/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "package check FAILED: $*" >&2; exit 1; }

deb="$(bash tools/package.sh | tail -n 1)"
[ -f "$deb" ] || fail "no package written ($deb)"
case "$(basename "$deb")" in
    ostrelle-vantorel_*_"$(dpkg --print-architecture)".deb) ;;
    *) fail "unexpected package name $(basename "$deb")" ;;
esac

# Where this distribution's systemd wants packaged units, as the package's build asked.
unit_dir="$(pkg-config --variable=systemdsystemunitdir systemd)"
[ -n "$unit_dir" ] || fail "systemd's pkg-config file names no unit directory"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

contents="$work/contents"
dpkg-deb -c "$deb" >"$contents"
dir=./opt/ostrelle-vantorel
for entry in "-rwxr-xr-x $dir/vantorel" "-rw-r--r-- $dir/libvantorel-gui.so" "-rwxr-xr-x $dir/launchVtComponents.sh" \
    "-rwxr-xr-x $dir/stopVt.sh" "-rwxr-xr-x $dir/exitVt.sh" "-rwxr-xr-x $dir/get_os.sh" \
    "-rwxr-xr-x $dir/open_browser.sh" "-rw-r--r-- $dir/vtCommon.sh" \
    "-rw-r--r-- .$unit_dir/ostrelle-vantorel.service" \
    "-rw-r--r-- ./etc/xdg/autostart/ostrelle-vantorel-agent.desktop" \
    "-rw-r--r-- ./usr/share/man/man8/vantorel.8.gz" \
    "-rw-r--r-- ./usr/share/doc/ostrelle-vantorel/examples/com.ostrelle.vantorel.json"; do
    mode="${entry%% *}"
    path="${entry#* }"
    grep -Eq "^$mode root/root +[0-9]+ [0-9-]+ [0-9:]+ $path\$" "$contents" || fail "missing or wrong: $entry"
done
grep -q "com.ostrelle.vantorel.json$" <(grep " $dir/" "$contents") && fail "the package ships a settings file"
dpkg-deb -I "$deb" conffiles | grep -q "com.ostrelle.vantorel.json" && fail "settings file is a conffile"
echo "package contents: ok"

lintian --fail-on error "$deb" || fail "lintian reports errors"
echo "lintian: ok"

# The unit is checked against the package's own executable and manual page, with this machine's
# standard units beside it for the targets it names.
unpacked="$work/unpacked"
dpkg-deb -x "$deb" "$unpacked"
cp -rn "$unit_dir/." "$unpacked$unit_dir/"
MANPATH="$unpacked/usr/share/man" systemd-analyze verify --root="$unpacked" \
    "$unpacked$unit_dir/ostrelle-vantorel.service" || fail "systemd-analyze verify"
echo "systemd-analyze verify: ok"

# A throwaway root: dpkg's database of its own, and maintainer scripts run outside a chroot with
# DPKG_ROOT naming the root, the way a system image is prepared.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The root holds no other package, so its dependencies are left unmet on purpose.
in_root() {
    dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@" >"$work/dpkg.out" 2>&1 \
        || { cat "$work/dpkg.out" >&2; return 1; }
}
settings="$root/opt/ostrelle-vantorel/com.ostrelle.vantorel.json"
wants="$root/etc/systemd/system/multi-user.target.wants/ostrelle-vantorel.service"

in_root -i "$deb" || fail "install"
[ -x "$root/opt/ostrelle-vantorel/vantorel" ] || fail "install: no executable"
[ -L "$wants" ] || fail "install: service not enabled"
cp "$unpacked/usr/share/doc/ostrelle-vantorel/examples/com.ostrelle.vantorel.json" "$settings"
mkdir -p "$root/opt/ostrelle-vantorel/log"
echo "a log line" >"$root/opt/ostrelle-vantorel/log/ot_vt.log"
echo "{}" >"$root/opt/ostrelle-vantorel/com.ostrelle.vantorel.tray.json"
before="$(sha256sum "$settings" "$root/opt/ostrelle-vantorel/log/ot_vt.log")"

in_root -i "$deb" || fail "upgrade over itself"
[ "$(sha256sum "$settings" "$root/opt/ostrelle-vantorel/log/ot_vt.log")" = "$before" ] \
    || fail "upgrade changed the settings file or the log"

in_root -r ostrelle-vantorel || fail "remove"
[ -e "$root/opt/ostrelle-vantorel/vantorel" ] && fail "remove left the executable"
[ "$(sha256sum "$settings" "$root/opt/ostrelle-vantorel/log/ot_vt.log")" = "$before" ] \
    || fail "remove changed the settings file or the log"

in_root -P ostrelle-vantorel || fail "purge"
[ -e "$root/opt/ostrelle-vantorel" ] && fail "purge left $(find "$root/opt/ostrelle-vantorel" | head -n 3)"
[ -e "$wants" ] || [ -L "$wants" ] && fail "purge left the service enabled"
dpkg --root="$root" -s ostrelle-vantorel >/dev/null 2>&1 && fail "purge left the package known"
echo "install, upgrade, remove, purge: ok"
