# shellcheck shell=bash
# Starting and stopping a vault service from a script (sourced).
# service_start LOG COMMAND...: runs COMMAND in the background with its output in LOG and waits
# until it serves; SERVICE_PID is its pid. Fails, showing the log, if it ends first or takes
# longer than 30 s.
service_start() {
    local log="$1"
    shift
    "$@" >"$log" 2>&1 &
    SERVICE_PID=$!
    local _
    for _ in $(seq 300); do
        grep -q "zelvirdk: running" "$log" && return 0
        kill -0 "$SERVICE_PID" 2>/dev/null || break
        sleep 0.1
    done
    cat "$log" >&2
    echo "the service did not start" >&2
    return 1
}

# service_stop [KILL-PREFIX]: SIGTERM (through the prefix, e.g. sudo) and wait; the service
# dismounts every vault as it goes. Fails if it did not stop cleanly.
service_stop() {
    [ -n "${SERVICE_PID:-}" ] || return 0
    ${1:-} kill -TERM "$SERVICE_PID" 2>/dev/null || true
    local status=0
    wait "$SERVICE_PID" || status=$?
    SERVICE_PID=""
    return $status
}

# service_running RUNTIME: true while a service holds the runtime folder's instance lock.
service_running() {
    [ -f "$1/zelvirdk.lock" ] && ! flock -n "$1/zelvirdk.lock" true 2>/dev/null
}
