#!/usr/bin/env bash
# Installs what is missing, builds the program, installs it into a program directory, writes a
# sample settings file there when there is none, starts the daemon and follows its log.
# Ctrl-C stops both. VT_PROGRAM_DIR chooses the program directory (default: out/vantorel).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

build_dir="build-run"
program_dir="${VT_PROGRAM_DIR:-$PWD/out/vantorel}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVT_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX="$program_dir" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target vantorel
cmake --install "$build_dir" >/dev/null

settings="$program_dir/com.ostrelle.vantorel.json"
if [ ! -f "$settings" ]; then
    # A management server on this machine, trusted through a self-signed certificate made here.
    cert=$(openssl req -x509 -newkey rsa:2048 -nodes -keyout /dev/null -subj "/CN=localhost" \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -days 365 2>/dev/null | awk '{printf "%s\\n", $0}')
    cat >"$settings" <<JSON
{
    "app_type": "workstation",
    "visible": false,
    "debug": false,
    "sites": [
        {
            "resource": "/vt",
            "servers": [
                {
                    "hostname": "localhost",
                    "server": "127.0.0.1",
                    "port": 10005,
                    "cert": "$cert",
                    "kpa_interval": 60,
                    "reconnect_interval": 10
                }
            ]
        }
    ]
}
JSON
    chmod 600 "$settings"
    echo "Wrote sample settings: $settings"
fi

log="$program_dir/log/ot_vt.log"
mkdir -p "$program_dir/log"
touch "$log"
start_line=$(($(wc -l <"$log") + 1))

"$program_dir/vantorel" -daemon &
daemon=$!
trap 'kill "$daemon" 2>/dev/null || true' EXIT INT TERM
echo "Started $program_dir/vantorel -daemon (pid $daemon); following $log"
tail -n +"$start_line" -f --pid="$daemon" "$log"
