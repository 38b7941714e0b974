#!/usr/bin/env bash
# The hub reachable, two branches each behind a NAT box of its own (MASQUERADE, nothing
# forwarded), sealed UDP. The hub's router box runs two vantrelld, one per branch, each on a listen
# port of its own and learning where its branch sends from (IP=0.0.0.0).
#
#   hostB ─LAN B─ routerB ── natB ══╗              hub b1: port 27659, virtual 10.1.0.1
#   10.2.0.10     10.98.2.2  10.99.0.2 ║
#   hostA ─LAN A─ routerA ═══ WAN ═════╣ 10.99.0.1
#   10.1.0.10     10.1.0.2             ║              hub b2: port 27660, virtual 10.1.0.3
#   hostC ─LAN C─ routerC ── natC ══╝
#   10.3.0.10     10.98.3.2  10.99.0.3
#
# Pings both ways on both branches at once; each hub instance learnt its own branch's NAT and
# the port it maps the branch to (natB keeps the branch's port, natC gives another).
# Usage: three_nat_test.sh BUILD-DIR     (needs root and the iptables and conntrack packages)
set -eEuo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/lib/two_lans.sh"  # names, addresses, topology and settings helpers
source "$here/wait.sh"
source "$here/hub_pings.sh"
if [ "$(id -u)" -ne 0 ] || ! command -v iptables >/dev/null || ! command -v conntrack >/dev/null
then
    echo "needs root, iptables and conntrack" >&2
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi
program=$build/daemon/vantrelld
KEY=2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe
HUB=10.99.0.1 HOST_C=10.3.0.10 PORT_C=27660
declare -A nat=([B]=10.99.0.2 [C]=10.99.0.3) port=([B]=$TUNNEL_PORT [C]=$PORT_C) i=([B]=2 [C]=3)
T=$(mktemp -d /tmp/vantrell-three-nat.XXXXXX)
on_exit rm -rf "$T"

topo_init "v3n$$"
topo_host hostA hostB hostC
topo_router routerA routerB routerC natB natC
topo_lan lanA "hostA:lan0:$HOST_A/24" "routerA:lan0:$ROUTER_A/24"
topo_lan wan "routerA:wan0:$HUB/24" "natB:out0:${nat[B]}/24" "natC:out0:${nat[C]}/24"
for n in B C; do
    topo_lan "lan$n" "host$n:lan0:10.${i[$n]}.0.10/24" "router$n:lan0:10.${i[$n]}.0.2/24"
    topo_lan "in$n" "router$n:wan0:10.98.${i[$n]}.2/24" "nat$n:in0:10.98.${i[$n]}.1/24"
    topo_in "router$n" ip route add default via "10.98.${i[$n]}.1"
    topo_in "nat$n" sysctl -qw net.ipv4.ip_forward=1
    topo_in "nat$n" iptables -t nat -A POSTROUTING -o out0 -j MASQUERADE
    topo_in "host$n" ip route add "$NET_A/24" via "10.${i[$n]}.0.1"
done
# natC does not keep the source port: its branch shows up at another port than it listens on.
topo_in natC iptables -t nat -I POSTROUTING 1 -o out0 -p udp -j MASQUERADE --to-ports 40000-40999
topo_in hostA ip route add "$NET_B/24" via "$VIRTUAL_A"
topo_in hostA ip route add 10.3.0.0/24 via 10.1.0.3

end() {  # name router SECTION/KEY=VALUE...: vantrelld for that end, standard error in $T/name
    local name=$1 router=$2 dir=$T/$1.d; shift 2
    mkdir -p "$dir" && mkdir -m 700 "$dir/xdg"
    settings_write "$dir" "This End/Adaptor=No Description (lan0)" "Start/Autostart=Yes" \
        "Tunnel/Key=$KEY" "$@" && chmod 600 "$dir/Vantrell.INI"
    ip netns exec "$(topo_ns "$router")" env XDG_RUNTIME_DIR="$dir/xdg" "$program" -C "$dir" \
        </dev/null >"$T/$name" 2>&1 &
    bg_track $!
}
end hubB routerA "This End/IP=$NET_A" "Other End/IP=$NET_B" "Tunnel/IP=0.0.0.0" \
    "Tunnel/Port=${port[B]}" "Listen/Port=${port[B]}" "Virtual/IP=$VIRTUAL_A" "Virtual/MAC=$MAC_A"
end hubC routerA "This End/IP=$NET_A" "Other End/IP=10.3.0.0" "Tunnel/IP=0.0.0.0" \
    "Tunnel/Port=${port[C]}" "Listen/Port=${port[C]}" "Virtual/IP=10.1.0.3" \
    "Virtual/MAC=02:00:00:0a:00:02"
for hub in hubB hubC; do
    wait_line "$T/$hub" "Using UDP mode, sealed: waiting for the other end to make contact." 10
done
end B routerB "This End/IP=$NET_B" "Other End/IP=$NET_A" "Tunnel/IP=$HUB" \
    "Tunnel/Port=${port[B]}" "Listen/Port=${port[B]}" "Virtual/IP=$VIRTUAL_B" "Virtual/MAC=$MAC_B"
end C routerC "This End/IP=10.3.0.0" "Other End/IP=$NET_A" "Tunnel/IP=$HUB" \
    "Tunnel/Port=${port[C]}" "Listen/Port=${port[C]}" "Virtual/IP=10.3.0.1" \
    "Virtual/MAC=02:00:00:0c:00:01"
topo_wait_ping hostB "$HOST_A" 40
topo_wait_ping hostC "$HOST_A" 40

failed=0
hub_pings "$T" "$HOST_A" "$HOST_B" "$HOST_C" || failed=1

# Each hub instance learnt its own branch's NAT, at the port that NAT gave the branch, and says so
# on standard error and its status line.
for n in B C; do
    mapped=$(topo_in "nat$n" conntrack -L -p udp --orig-src "10.98.${i[$n]}.2" 2>/dev/null |
        grep -oE 'dport=[0-9]+' | tail -n 1 | cut -d= -f2 || true)
    echo "hub$n: $(paste -sd'|' "$T/hub$n"); nat$n maps the branch to port ${mapped:-none}"
    echo "$n: $(paste -sd'|' "$T/$n")"
    at=${nat[$n]}:$mapped
    grep -qxF "Vantrell: the other end made contact from $at: the tunnel's datagrams go there." \
        "$T/hub$n" && grep -qxF "Using UDP mode. The other end sends from $at." "$T/hub$n" || failed=1
done
[ "$failed" -eq 0 ] || { echo "a ping run lost more than 2 of 20, or a hub learnt the wrong end"; exit 1; }
echo "three-NAT test passed"
