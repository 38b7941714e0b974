#!/usr/bin/env bash
# The installed daemon (cmake --install into a scratch prefix) run the way vantrell@.service
# runs it (unit_run.sh: its environment and working directory, as an unprivileged user with only
# the two capabilities), as end A of two LANs in namespaces, while the test plays the service
# manager on a NOTIFY_SOCKET of its own. End B is the dialog program where it was built (so the
# two programs meet on the wire), else a second daemon:
#
#   hostA ──LAN A── routerA ═══ WAN ═══ routerB ──LAN B── hostB
#                   end A "as the unit"  end B (plain, root)
#
#   udp    READY=1 carrying STATUS=Using UDP mode., watchdog pings, pings cross, vantrellctl
#          reads the status socket (0660) in the runtime folder, and after
#          SIGTERM STOPPING=1 and exit status 0; the log is "Start", "Using UDP mode."
#   tcp    end A listens: READY=1, STATUS=Waiting for connection; end B starts and connects:
#          STATUS=Connected; pings cross; SIGTERM: STOPPING=1
#   trace  the same UDP run under strace (a key missing from the file, so that it is written
#          back): every system call passes the unit's SystemCallFilter lines, every socket
#          family opened is in RestrictAddressFamilies, every file created or written lies in
#          the site's folder or the runtime folder (ProtectSystem=strict, ReadWritePaths=),
#          /proc is used only for processes (ProcSubset=pid), and no memory is mapped writable
#          and executable at once (MemoryDenyWriteExecute=yes)
#
# Usage: service_test.sh BUILD-DIR NOTIFY-SINK [udp|tcp|trace...]   (all three by default)
set -eEuo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
build=$1 sink=$2; shift 2
phases=("$@")
[ $# -eq 0 ] && phases=(udp tcp trace)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/lib/two_lans.sh"
source "$here/unit_run.sh"
source "$here/wait.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "needs root (network namespaces, another user, capabilities)" >&2
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi

T=$(mktemp -d /tmp/vantrell-service.XXXXXX)
on_exit rm -rf "$T"
chmod 755 "$T"  # the unit's user walks into its site folder
cmake --install "$build" --prefix "$T/root/usr" >/dev/null
program=$T/root/usr/bin/vantrelld
program_b=$T/root/usr/bin/vantrell
[ -x "$program_b" ] || program_b=$program
unit_init "$T/root/usr/lib/systemd/system/vantrell@.service" "$T/root"
[ "$(unit_value ExecStart)" = "$program" ] || { echo "ExecStart is not the installed daemon"; exit 1; }
if unit_value Environment | grep -q QT_; then echo "the unit sets a Qt environment"; exit 1; fi
[ "$(unit_value MemoryDenyWriteExecute)" = yes ] || { echo "no MemoryDenyWriteExecute=yes"; exit 1; }
two_lans_build "vs$$"
site=$T/root/etc/vantrell/hub

# End B, plainly, as root in its own folder.
start_b() {  # mode [SECTION/KEY=VALUE...]
    local mode=$1; shift
    rm -rf "$T/b"
    two_lans_settings "$T/b" B "$mode" "$@"
    mkdir -m 700 "$T/b/xdg"
    (cd "$T/b" && exec ip netns exec "$(topo_ns routerB)" env QT_QPA_PLATFORM=offscreen \
        XDG_RUNTIME_DIR="$T/b/xdg" "$program_b" </dev/null >"$T/b/log" 2>&1) &
    b_pid=$!
    bg_track "$b_pid"
}

# End A as the unit runs it, reporting to a fresh notification socket; NAME is the run's name.
start_a() {  # name [NAME=VALUE...]
    local name=$1; shift
    "$sink" "$T/notify-$name" 120 >"$T/$name.notify" &
    bg_track $!
    for _ in $(seq 50); do [ -S "$T/notify-$name" ] && break; sleep 0.1; done
    : >"$T/$name.log"
    unit_start hub "$(topo_ns routerA)" "$T/$name.log" "NOTIFY_SOCKET=$T/notify-$name" "$@"
    a_pid=$UNIT_PID
    bg_track "$a_pid"
}

stop_a() {  # name: SIGTERM, the manager hears STOPPING=1, the program ends with status 0
    kill -TERM "$a_pid"
    wait_line "$T/$1.notify" STOPPING=1 10
    wait_exit "$a_pid" 10
    bg_forget "$a_pid"
    [ "$WAIT_STATUS" = 0 ] || { echo "$1: exit status $WAIT_STATUS"; return 1; }
}

expect_log() {  # name line... : the log is exactly these lines
    local expected
    expected=$(printf '%s\n' "${@:2}")
    [ "$(cat "$T/$1.log")" = "$expected" ] ||
        { echo "$1: log differs; expected:"; echo "$expected"; echo "got:"; cat "$T/$1.log";
          return 1; }
}

stop_b() { bg_stop "$b_pid"; }

phase_udp() {
    two_lans_settings "$site" A udp
    start_b udp
    start_a udp WATCHDOG_USEC=1000000
    wait_line "$T/udp.notify" READY=1 15
    # READY=1 comes with the status line of its moment: auto-start has run.
    [ "$(grep -xF -A1 READY=1 "$T/udp.notify" | tail -n 1)" = "STATUS=Using UDP mode." ] ||
        { echo "READY=1 without STATUS=Using UDP mode.:"; cat "$T/udp.notify"; return 1; }
    topo_wait_ping hostA "$HOST_B" 30
    # A ping every half interval: 500 ms here; three within 3 s of a ping crossing.
    local before
    before=$(grep -cxF WATCHDOG=1 "$T/udp.notify" || true)  # 0 when the ping crossed first
    wait_count "$T/udp.notify" WATCHDOG=1 $((before + 3)) 3
    # The read-only status socket in the unit's runtime folder, mode 0660, read by vantrellctl.
    local runtime=$T/root/run/vantrell/hub
    [ "$(stat -c %a "$runtime/hub.sock")" = 660 ] || { echo "no status socket"; ls -la "$runtime"; return 1; }
    env -u XDG_RUNTIME_DIR RUNTIME_DIRECTORY="$runtime" "$T/root/usr/bin/vantrellctl" status hub \
        >"$T/udp.ctl" || { echo "vantrellctl failed:"; cat "$T/udp.ctl"; return 1; }
    grep -qxF "  status: Using UDP mode." "$T/udp.ctl" || { echo "vantrellctl:"; cat "$T/udp.ctl"; return 1; }
    stop_a udp
    stop_b
    in_order "$T/udp.notify" READY=1 "STATUS=Using UDP mode." WATCHDOG=1 STOPPING=1
    expect_log udp Start "Using UDP mode."
    # The settings file stays the unit user's.
    [ "$(stat -c %U "$site/Vantrell.INI")" = "$UNIT_USER" ]
    echo "udp: $(grep -cxF WATCHDOG=1 "$T/udp.notify") watchdog pings; log: $(paste -sd'|' "$T/udp.log")"
}

phase_tcp() {
    two_lans_settings "$site" A tcp "Tunnel/TCP Initiate=No"
    start_a tcp
    wait_line "$T/tcp.notify" "STATUS=Waiting for connection" 15
    start_b tcp "Tunnel/TCP Initiate=Yes"
    wait_line "$T/tcp.notify" STATUS=Connected 20
    topo_wait_ping hostA "$HOST_B" 30
    stop_a tcp
    stop_b
    in_order "$T/tcp.notify" READY=1 "STATUS=Not Connected" "STATUS=Waiting for connection" \
        STATUS=Connected STOPPING=1
    if grep -qxF WATCHDOG=1 "$T/tcp.notify"; then echo "tcp: watchdog pings unasked"; return 1; fi
    expect_log tcp Start "Waiting for connection" Connected
    echo "tcp: $(grep -v '^$' "$T/tcp.notify" | paste -sd'|')"
}

phase_trace() {
    two_lans_settings "$site" A udp
    sed -i '/^Hide=/d' "$site/Vantrell.INI"
    start_b udp
    # One file per thread (no line split by another thread's call), written as the unit's user.
    install -d -o "$UNIT_USER" -m 700 "$T/trace"
    UNIT_WRAPPER=(strace -ff -qq -o "$T/trace/calls")
    start_a trace
    UNIT_WRAPPER=()
    wait_line "$T/trace.notify" READY=1 30
    topo_wait_ping hostA "$HOST_B" 30
    # strace is the unit's process here; the daemon is its child.
    local program_pid
    program_pid=$(ps -o pid= --ppid "$a_pid" | tr -d ' ')
    kill -TERM "$program_pid"
    wait_line "$T/trace.notify" STOPPING=1 20
    wait_exit "$a_pid" 20
    bg_forget "$a_pid"
    stop_b

    grep -qx 'Hide=No' "$site/Vantrell.INI" || { echo "the missing key was not written back"; return 1; }
    cat "$T"/trace/calls.* >"$T/trace.strace"

    # System calls: the union of the allow lines less the union of the "~" (deny) lines.
    local allowed="" denied="" line used outside
    local -a filter
    while IFS= read -r line; do
        if [[ $line == "~"* ]]; then
            read -r -a filter <<<"${line#"~"}"
            denied+=$(systemd_filter "${filter[@]}")$'\n'
        else
            read -r -a filter <<<"$line"
            allowed+=$(systemd_filter "${filter[@]}")$'\n'
        fi
    done < <(unit_value SystemCallFilter)
    allowed=$(comm -23 <(echo "$allowed" | sort -u) <(echo "$denied" | sort -u))
    used=$(grep -oE '^[a-z_0-9]+\(' "$T/trace.strace" | sed -E 's/\($//' | sort -u)
    outside=$(comm -23 <(echo "$used") <(echo "$allowed"))
    [ -z "$outside" ] || { echo "system calls outside the unit's filter: $outside"; return 1; }

    # Files created or written (calls that succeeded), relative to the working directory or
    # absolute: only the site's folder and the runtime folder are writable under the unit.
    local runtime writes strays
    runtime=$(_unit_expand hub "/run/$(unit_value RuntimeDirectory)")
    writes=$(grep -E '^(openat\(AT_FDCWD, "[^"]*", [^)]*(O_WRONLY|O_RDWR|O_CREAT)|(mkdir|unlink|rename)(at)?\()' \
                 "$T/trace.strace" | grep -v '= -1 ' | grep -oE '"[^"]*"' | tr -d '"' | sort -u || true)
    [ -n "$writes" ] || { echo "no write of the settings file seen"; return 1; }
    strays=$(echo "$writes" | grep '^/' | grep -vE "^($site|$runtime)(/|\$)" || true)
    [ -z "$strays" ] || { echo "writes outside the writable folders: $strays"; return 1; }
    if grep -E '^(chdir|fchdir)\(' "$T/trace.strace" | grep -qv '= -1 '; then
        echo "the program changed its working directory: relative writes are not checked"
        return 1
    fi
    # MemoryDenyWriteExecute=yes: no mapping both writable and executable, made or changed.
    if grep -E '^(mmap|mprotect|pkey_mprotect)\(' "$T/trace.strace" | grep PROT_EXEC |
        grep PROT_WRITE; then
        echo "writable executable memory: MemoryDenyWriteExecute=yes would refuse it"; return 1
    fi
    # /proc: only the process's own entries (ProcSubset=pid hides the rest).
    strays=$(grep -v '= -1 ' "$T/trace.strace" | grep -oE '"/proc/[^"]*"' |
             tr -d '"' | grep -vE '^/proc/(self|thread-self|[0-9]+)(/|$)' | sort -u || true)
    [ -z "$strays" ] || { echo "/proc outside the process's own entries: $strays"; return 1; }
    # Families opened successfully must be in the unit's list. AF_BLUETOOTH is libpcap's probe for
    # Bluetooth capture devices, which it skips when refused (as the unit refuses it, and as
    # kernels without Bluetooth do).
    local families refused family
    families=$(grep -oE '^socket\((AF_[A-Z0-9]+), .*\) = [0-9]+$' "$T/trace.strace" |
               sed -E 's/socket\((AF_[A-Z0-9]+),.*/\1/' | sort -u | paste -sd' ' || true)
    refused=$(grep -oE '^socket\((AF_[A-Z0-9]+), .*\) = -1' "$T/trace.strace" |
              sed -E 's/socket\((AF_[A-Z0-9]+),.*/\1/' | sort -u | paste -sd' ' || true)
    for family in $families; do  # words
        [ "$family" = AF_BLUETOOTH ] && continue
        [[ " $(unit_value RestrictAddressFamilies) " == *" $family "* ]] ||
            { echo "socket family $family is not in RestrictAddressFamilies"; return 1; }
    done
    echo "trace: $(echo "$used" | wc -l) distinct system calls, all allowed by" \
        "$(unit_value SystemCallFilter | paste -sd' ');" \
        "families $families (refused by the kernel: ${refused:-none});" \
        "writes: $(echo "$writes" | sed "s|^$site/||" | paste -sd' ')"
}

# The system calls of a filter such as @system-service, groups expanded.
systemd_filter() {
    local item
    for item in "$@"; do
        case $item in
            @*) systemd-analyze syscall-filter "$item" | tail -n +2 | sed 's/^ *//' |
                    grep -v '^#' | while read -r name; do
                        [ -n "$name" ] && systemd_filter "$name"
                    done ;;
            *) echo "$item" ;;
        esac
    done
}

for phase in "${phases[@]}"; do "phase_$phase"; done
echo "service test passed: ${phases[*]}"
