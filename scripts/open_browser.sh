#!/bin/sh
# Opens the compliance center in the desktop user's browser. The tray runs a temporary copy of
# this file and hands it the compliance-center address as its first argument.
url="$1"

case "$url" in
    http://* | https://*) ;;
    *)
        echo "open_browser.sh: refusing to open '$url': not an http(s) address" >&2
        exit 1
        ;;
esac

for opener in xdg-open sensible-browser x-www-browser; do
    if command -v "$opener" >/dev/null 2>&1; then
        exec "$opener" "$url"
    fi
done

echo "open_browser.sh: no browser launcher found" >&2
exit 1
