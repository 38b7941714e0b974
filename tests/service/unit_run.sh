# shellcheck shell=bash disable=SC2034  # variables set here are read by the sourcing test
# Runs an installed vantrell the way its vantrell@.service runs it, without systemd: the unit's
# ExecStart, Environment, WorkingDirectory, UMask, capabilities and NoNewPrivileges, read from
# the installed unit file, with a clean environment, under an unprivileged user.
#
#   unit_init UNIT-FILE ROOT    ROOT stands in for "/" for the unit's folders (/etc, %t = /run)
#   unit_start SITE NS LOG [NAME=VALUE...]
#                               starts instance SITE in network namespace NS (standard output and
#                               error appended to LOG, as the journal keeps them), with the extra
#                               environment given (NOTIFY_SOCKET, WATCHDOG_USEC: WATCHDOG_PID is
#                               then set to the program's PID); the folder ROOT/etc/vantrell/SITE
#                               must hold its Vantrell.INI. Sets UNIT_PID.
#   unit_value KEY              the unit's values of KEY (one line per KEY= line)
#   UNIT_WRAPPER=(CMD...)       when set, the program runs under CMD (as the unit's user), e.g.
#                               strace; UNIT_PID is then CMD's PID
#
# What stays with systemd: the user is "nobody" (the package's "vantrell" user is not made on a
# test machine), and the file-system, system-call and address-family sandbox is not applied.

_unit_file=""
_unit_root=""
UNIT_PID=""
UNIT_WRAPPER=()
UNIT_USER=nobody
UNIT_GROUP=nogroup

unit_init() {
    _unit_file=$1
    _unit_root=$2
    [ -f "$_unit_file" ] || { echo "no unit file $_unit_file" >&2; return 1; }
}

unit_value() { sed -n "s/^$1=//p" "$_unit_file"; }

# The unit's text with %i, %t and the system folders moved under ROOT.
_unit_expand() {  # site text
    local text=${2//%i/$1}
    text=${text//%t//run}
    text=${text//\/etc\//$_unit_root/etc/}
    echo "${text//\/run\//$_unit_root/run/}"
}

# "CAP_NET_RAW CAP_NET_ADMIN" as setpriv's "-all,+net_raw,+net_admin".
_unit_caps() {
    local cap list=-all
    for cap in $1; do
        cap=${cap#CAP_}
        list+=",+${cap,,}"
    done
    echo "$list"
}

unit_start() {
    local site=$1 ns=$2 log=$3; shift 3
    local program workdir runtime caps bounding
    program=$(unit_value ExecStart)
    workdir=$(_unit_expand "$site" "$(unit_value WorkingDirectory)")
    caps=$(_unit_caps "$(unit_value AmbientCapabilities)")
    bounding=$(_unit_caps "$(unit_value CapabilityBoundingSet)")
    [ "$(unit_value NoNewPrivileges)" = yes ] || { echo "unit lacks NoNewPrivileges" >&2; return 1; }
    [ -d "$workdir" ] || { echo "no site folder $workdir" >&2; return 1; }

    # What ExecStartPre and RuntimeDirectory= do before the program starts.
    chown -R "$UNIT_USER:$UNIT_GROUP" "$workdir"
    runtime=$(_unit_expand "$site" "/run/$(unit_value RuntimeDirectory)")
    mkdir -p "$runtime"
    chown "$UNIT_USER:$UNIT_GROUP" "$runtime"
    chmod "$(unit_value RuntimeDirectoryMode)" "$runtime"

    # The environment systemd gives a service with User=, then the unit's own, then the extras.
    local -a environment=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
                          HOME=/nonexistent "USER=$UNIT_USER" "LOGNAME=$UNIT_USER"
                          SHELL=/usr/sbin/nologin "RUNTIME_DIRECTORY=$runtime")
    local line word
    while IFS= read -r line; do
        for word in $(_unit_expand "$site" "$line"); do environment+=("$word"); done
    done < <(unit_value Environment)
    environment+=("$@")

    # ip netns exec, env, sh and setpriv each exec the next: $! is the program's PID.
    # shellcheck disable=SC2016  # the inner shell expands these
    ip netns exec "$ns" env -i "${environment[@]}" sh -c '
        umask "$1"; cd "$2" || exit 126; shift 2
        [ -n "${WATCHDOG_USEC:-}" ] && export WATCHDOG_PID=$$
        exec "$@"' sh "$(unit_value UMask)" "$workdir" \
        setpriv --reuid="$UNIT_USER" --regid="$UNIT_GROUP" --clear-groups \
        --inh-caps="$caps" --ambient-caps="$caps" --bounding-set="$bounding" --no-new-privs \
        "${UNIT_WRAPPER[@]}" "$program" </dev/null >>"$log" 2>&1 &
    UNIT_PID=$!
}
