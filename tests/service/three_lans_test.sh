#!/usr/bin/env bash
# One router box at the hub runs two daemons, as vantrell@b1 and vantrell@b2 run them
# (unit_run.sh), each for its own branch LAN, with its own virtual address, MAC and ports; each
# branch box runs one instance. Pings cross between the hub and both branches at the same time.
#
#   hostB ──LAN B── routerB ══ WAN 1 ══╗ wan1 10.99.0.1/30
#   10.2.0.10       10.2.0.2  10.99.0.2 ║
#                   virtual 10.2.0.1    ║        b1: UDP, port 27659, virtual 10.1.0.1
#   hostA ──────────LAN A (hub)──────── routerA  lan0 10.1.0.2
#   10.1.0.10                           ║        b2: TCP (listens), port 27660, virtual 10.1.0.3
#   hostC ──LAN C── routerC ══ WAN 2 ══╝ wan2 10.99.0.5/30
#   10.3.0.10       10.3.0.2  10.99.0.6
#                   virtual 10.3.0.1 (connects)
#
# Usage: three_lans_test.sh BUILD-DIR NOTIFY-SINK
set -eEuo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
build=$1 sink=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/lib/two_lans.sh"  # names, addresses, topology and settings helpers
source "$here/unit_run.sh"
source "$here/wait.sh"
source "$here/hub_pings.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "needs root (network namespaces, another user, capabilities)" >&2
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi

NET_C=10.3.0.0 HOST_C=10.3.0.10 ROUTER_C=10.3.0.2 VIRTUAL_C=10.3.0.1 MAC_C=02:00:00:0c:00:01
VIRTUAL_A2=10.1.0.3 MAC_A2=02:00:00:0a:00:02 WAN_A2=10.99.0.5 WAN_C=10.99.0.6 PORT_2=27660

T=$(mktemp -d /tmp/vantrell-three-lans.XXXXXX)
on_exit rm -rf "$T"
chmod 755 "$T"
cmake --install "$build" --prefix "$T/root/usr" >/dev/null
program=$T/root/usr/bin/vantrelld
unit_init "$T/root/usr/lib/systemd/system/vantrell@.service" "$T/root"

topo_init "v3$$"
topo_host hostA hostB hostC
topo_router routerA routerB routerC
topo_lan lanA "hostA:lan0:$HOST_A/24" "routerA:lan0:$ROUTER_A/24"
topo_lan lanB "hostB:lan0:$HOST_B/24" "routerB:lan0:$ROUTER_B/24"
topo_lan lanC "hostC:lan0:$HOST_C/24" "routerC:lan0:$ROUTER_C/24"
topo_wan wan1 "routerA:wan1:$WAN_A/30" "routerB:wan0:$WAN_B/30"
topo_wan wan2 "routerA:wan2:$WAN_A2/30" "routerC:wan0:$WAN_C/30"
topo_in hostA ip route add "$NET_B/24" via "$VIRTUAL_A"
topo_in hostA ip route add "$NET_C/24" via "$VIRTUAL_A2"
topo_in hostB ip route add "$NET_A/24" via "$VIRTUAL_B"
topo_in hostC ip route add "$NET_A/24" via "$VIRTUAL_C"

end() {  # dir this other peer port virtual mac [SECTION/KEY=VALUE...]: Auto Start on lan0
    local dir=$1 this=$2 other=$3 peer=$4 port=$5 virtual=$6 mac=$7; shift 7
    settings_write "$dir" "This End/IP=$this" "This End/Mask=$LAN_MASK" \
        "This End/Adaptor=No Description (lan0)" "Other End/IP=$other" \
        "Other End/Mask=$LAN_MASK" "Tunnel/IP=$peer" "Tunnel/Port=$port" "Listen/Port=$port" \
        "Virtual/IP=$virtual" "Virtual/MAC=$mac" "Start/Autostart=Yes" "$@"
}
sites=$T/root/etc/vantrell
end "$sites/b1" "$NET_A" "$NET_B" "$WAN_B" "$TUNNEL_PORT" "$VIRTUAL_A" "$MAC_A"
end "$sites/b2" "$NET_A" "$NET_C" "$WAN_C" "$PORT_2" "$VIRTUAL_A2" "$MAC_A2" "Tunnel/TCP=Yes"
end "$T/branchB" "$NET_B" "$NET_A" "$WAN_A" "$TUNNEL_PORT" "$VIRTUAL_B" "$MAC_B"
end "$T/branchC" "$NET_C" "$NET_A" "$WAN_A2" "$PORT_2" "$VIRTUAL_C" "$MAC_C" "Tunnel/TCP=Yes" \
    "Tunnel/TCP Initiate=Yes"

# The hub's two instances, each reporting to a notification socket of its own.
declare -A hub_pid=()
for site in b1 b2; do
    "$sink" "$T/notify-$site" 120 >"$T/$site.notify" &
    bg_track $!
    for _ in $(seq 50); do [ -S "$T/notify-$site" ] && break; sleep 0.1; done
    : >"$T/$site.log"
    unit_start "$site" "$(topo_ns routerA)" "$T/$site.log" "NOTIFY_SOCKET=$T/notify-$site"
    hub_pid[$site]=$UNIT_PID
    bg_track "$UNIT_PID"
done
# The listener is seen waiting before branch C can connect: the log shows sentences as the 100 ms
# tick finds them, and a connection within the first tick would skip "Waiting for connection".
wait_line "$T/b2.notify" "STATUS=Waiting for connection" 20
# The branch ends, plainly.
for branch in B C; do
    mkdir -m 700 "$T/branch$branch/xdg"
    (cd "$T/branch$branch" && exec ip netns exec "$(topo_ns "router$branch")" \
        env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$T/branch$branch/xdg" "$program" \
        </dev/null >"$T/branch$branch/log" 2>&1) &
    bg_track $!
done

wait_line "$T/b1.notify" "STATUS=Using UDP mode." 20
wait_line "$T/b2.notify" STATUS=Connected 30
topo_wait_ping hostA "$HOST_B" 30
topo_wait_ping hostA "$HOST_C" 30

hub_pings "$T" "$HOST_A" "$HOST_B" "$HOST_C"

# Each hub instance stops on SIGTERM, tells its own manager, and logged only its own sentences.
for site in b1 b2; do
    kill -TERM "${hub_pid[$site]}"
    wait_line "$T/$site.notify" STOPPING=1 10
    wait_exit "${hub_pid[$site]}" 10
    bg_forget "${hub_pid[$site]}"
    [ "$WAIT_STATUS" = 0 ] || { echo "$site: exit status $WAIT_STATUS"; exit 1; }
    echo "$site log: $(paste -sd'|' "$T/$site.log")"
done
# With the hub's instances gone nothing joins the LANs: the pings above crossed the tunnels.
for host in "$HOST_B" "$HOST_C"; do
    if topo_in hostA ping -q -c 2 -W 1 "$host" >/dev/null 2>&1; then
        echo "hostA still reaches $host without the hub's instances"; exit 1
    fi
done
[ "$(paste -sd'|' "$T/b1.log")" = "Start|Using UDP mode." ]
[ "$(paste -sd'|' "$T/b2.log")" = "Start|Waiting for connection|Connected" ]
echo "three-LAN test passed"
