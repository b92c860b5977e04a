#!/usr/bin/env bash
# Load figures of the control service with wrk: refused (403) requests per second with 32
# connections, and real screenshots per second with 4, against the service with the app's real
# handlers under a private X server. Usage: bench/control_load.sh [build dir] [seconds]
set -euo pipefail
build=${1:-build/release}
seconds=${2:-10}
coproc SERVER { exec "$build/bin/control_load_server"; }
server_pid=$SERVER_PID
trap 'kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true' EXIT
read -r port secret <&"${SERVER[0]}"

echo "== refused (403): wrk -t2 -c32 -d${seconds}s"
wrk -t2 -c32 -d"${seconds}s" "http://127.0.0.1:$port/screenshot"
echo "== screenshots (960-wide JPEG of 1280x800): wrk -t2 -c4 -d${seconds}s"
wrk -t2 -c4 -d"${seconds}s" "http://127.0.0.1:$port/screenshot?secret=$secret"
