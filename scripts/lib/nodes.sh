# Helpers for the scripts that run parlon-cli nodes with --json, each writing its events to
# events.jsonl in a directory of its own. Sourced, not run.

# The first error a node reported (an error event, or a status that is an error), or nothing.
# A second argument replaces the pattern of what counts as an error (grep -E).
node_error() {
    grep -m 1 -E "${2:-\"event\":\"error\"|\"event\":\"status\",\"text\":\"Error }" \
        "$1/events.jsonl" 2>/dev/null || true
}

# The port a node started with --port 0 announced in its listening event, or nothing yet.
node_port() {
    grep -m 1 -o '"event":"listening","port":[0-9]*' "$1/events.jsonl" 2>/dev/null |
        grep -o '[0-9]*$' || true
}
