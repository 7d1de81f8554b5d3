#!/bin/sh
# Writes the linker's dynamic list of the symbols the tray module leaves undefined: the executable
# exports these, and only these, for the module to bind to.
set -eu
module="$1"
list="$2"
{
    echo "{"
    nm -D --undefined-only "$module" | awk '{ sub(/@.*/, "", $2); print "    " $2 ";" }' | sort -u
    echo "};"
} >"$list.tmp"
mv -f "$list.tmp" "$list"
