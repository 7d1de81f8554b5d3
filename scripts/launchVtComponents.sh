#!/bin/sh
# Started by "vantorel" when it is run without a switch. Starts the root daemon unless one is
# already running, and the tray agent for the user of each graphical session that lacks one.
dir=$(cd "$(dirname "$0")" && pwd)
exe="$dir/vantorel"

if [ "$(id -u)" = 0 ] && ! pgrep -x -f "$exe -daemon" >/dev/null 2>&1; then
    nohup "$exe" -daemon >/dev/null 2>&1 &
fi

# "who" lists graphical sessions with their display in parentheses, e.g. "alice tty7 ... (:0)".
who | sed -n 's/^\([^ ]*\) .*(\(:[0-9.]*\))$/\1 \2/p' | sort -u | while read -r user display; do
    if pgrep -u "$user" -x -f "$exe -agent" >/dev/null 2>&1; then
        continue
    fi
    if [ "$(id -u)" = 0 ]; then
        sudo -u "$user" DISPLAY="$display" nohup "$exe" -agent >/dev/null 2>&1 &
    elif [ "$(id -un)" = "$user" ]; then
        DISPLAY="$display" nohup "$exe" -agent >/dev/null 2>&1 &
    fi
done
exit 0
