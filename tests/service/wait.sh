# shellcheck shell=bash disable=SC2034  # variables set here are read by the sourcing test
# Bounded waits and checks on the files the service tests collect (notification messages, one
# field per line, and logs).
#
#   wait_line FILE LINE SECONDS       until FILE holds LINE as a whole line; fails after SECONDS
#   wait_count FILE LINE N SECONDS    until FILE holds LINE at least N times
#   wait_exit PID SECONDS             until the child PID has ended; its exit status in
#                                     WAIT_STATUS (call it directly, not in $(...): only this
#                                     shell can wait for its children)
#   in_order FILE LINE...             each LINE occurs in FILE after the previous one

WAIT_STATUS=""

wait_count() {
    local file=$1 line=$2 n=$3 tenths=$(($4 * 10)) i
    for ((i = 0; i < tenths; i++)); do
        [ "$(grep -cxF -- "$line" "$file" 2>/dev/null || true)" -ge "$n" ] && return 0
        sleep 0.1
    done
    echo "after $4 s, \"$line\" is not $n times in $file:" >&2
    cat "$file" >&2
    return 1
}

wait_line() { wait_count "$1" "$2" 1 "$3"; }

wait_exit() {
    local pid=$1 tenths=$(($2 * 10)) status=0 i
    for ((i = 0; i < tenths; i++)); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid" || status=$?
            WAIT_STATUS=$status
            return 0
        fi
        sleep 0.1
    done
    echo "process $pid still runs after $2 s" >&2
    return 1
}

in_order() {
    local file=$1 line at=0 found; shift
    for line in "$@"; do
        found=$(grep -nxF -- "$line" "$file" | cut -d: -f1 | awk -v after="$at" '$1 > after' |
                head -n 1)
        [ -n "$found" ] || { echo "\"$line\" does not follow line $at of $file:" >&2;
                             cat "$file" >&2; return 1; }
        at=$found
    done
}
