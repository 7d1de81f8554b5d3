#!/bin/sh
# Prints what the agent reads to describe this system: one line naming the distribution
# (a "release" line, an Ubuntu name or a SUSE "Welcome to" banner), then "Linux" and the
# kernel release. Reads files only and never waits for input.
# An optional first argument names another configuration directory in place of /etc.

etc=${1:-/etc}

# The value of KEY in an os-release file, without surrounding quotes; the file is never sourced.
os_release_value() {
    sed -n "s/^$1=//p" "$etc/os-release" 2>/dev/null | head -n 1 | sed -e 's/^"//' -e 's/"$//' -e "s/^'//" -e "s/'\$//"
}

first_line() {
    sed -n '/[^[:space:]]/{p;q;}' "$1" 2>/dev/null </dev/null
}

id=$(os_release_value ID)
id_like=$(os_release_value ID_LIKE)
distribution=""

if [ -r "$etc/redhat-release" ]; then
    # CentOS, Red Hat Enterprise Linux and Fedora: "<name> release <version> (<code name>)".
    distribution=$(first_line "$etc/redhat-release")
elif [ -r "$etc/SuSE-release" ] || printf '%s %s\n' "$id" "$id_like" | grep -qi suse; then
    distribution=$(grep 'Welcome to ' "$etc/issue" 2>/dev/null </dev/null | head -n 1)
    # Newer banners leave the name to the "\S" escape, which getty fills from os-release.
    pretty=$(os_release_value PRETTY_NAME | sed 's/[&|\\]/\\&/g')
    distribution=$(printf '%s\n' "$distribution" | sed "s|\\\\S|$pretty|g")
    if [ -z "$distribution" ]; then
        distribution="$(os_release_value NAME) release $(os_release_value VERSION_ID)"
    fi
elif [ "$id" = "ubuntu" ]; then
    distribution=$(os_release_value PRETTY_NAME)
    if [ -z "$distribution" ]; then
        distribution=$(grep 'Ubuntu' "$etc/issue" 2>/dev/null </dev/null | head -n 1)
    fi
elif [ -r "$etc/os-release" ]; then
    version=$(os_release_value VERSION)
    [ -n "$version" ] || version=$(os_release_value VERSION_ID)
    distribution="$(os_release_value NAME) release $version"
fi

[ -n "$distribution" ] && printf '%s\n' "$distribution"
# uname reads no input; stdin is closed so that it cannot hold the caller's.
# shellcheck disable=SC2217
printf 'Linux %s\n' "$(uname -r 2>/dev/null </dev/null)"
exit 0
