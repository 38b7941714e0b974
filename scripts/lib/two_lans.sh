# shellcheck shell=bash
# The two-LAN set-up of the demo and the benchmark (the tests' C++ fixture uses the same names and
# addresses):
#
#   hostA ──LAN A── routerA ═══════════ WAN ═══════════ routerB ──LAN B── hostB
#   lan0            lan0      wan0              wan0      lan0            lan0
#   10.1.0.10       10.1.0.2  10.99.0.1/30      10.99.0.2/30  10.2.0.2    10.2.0.10
#   via 10.1.0.1    virtual router 10.1.0.1     virtual router 10.2.0.1   via 10.2.0.1
#   to 10.2.0.0/24  MAC 02:00:00:0a:00:01       MAC 02:00:00:0b:00:01     to 10.1.0.0/24
#
#   two_lans_build TAG                      namespaces TAG-hostA, -routerA, -routerB, -hostB
#                                           (removed at exit), hosts' offloads off, routers not
#                                           forwarding, hosts routed to the far LAN via the
#                                           virtual router
#   two_lans_settings DIR A|B udp|tcp [SECTION/KEY=VALUE...]
#                                           DIR/Vantrell.INI for that router's tunnel end on
#                                           lan0, Autostart on; in TCP mode A connects, B listens

_two_lans_dir=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=scripts/lib/topology.sh
source "$_two_lans_dir/topology.sh"
# shellcheck source=scripts/lib/settings.sh
source "$_two_lans_dir/settings.sh"

NET_A=10.1.0.0 HOST_A=10.1.0.10 ROUTER_A=10.1.0.2 VIRTUAL_A=10.1.0.1 WAN_A=10.99.0.1
NET_B=10.2.0.0 HOST_B=10.2.0.10 ROUTER_B=10.2.0.2 VIRTUAL_B=10.2.0.1 WAN_B=10.99.0.2
MAC_A=02:00:00:0a:00:01 MAC_B=02:00:00:0b:00:01
LAN_MASK=255.255.255.0 TUNNEL_PORT=27659

two_lans_build() {
    topo_init "$1"
    topo_host hostA hostB
    topo_router routerA routerB
    topo_lan lanA "hostA:lan0:$HOST_A/24" "routerA:lan0:$ROUTER_A/24"
    topo_lan lanB "hostB:lan0:$HOST_B/24" "routerB:lan0:$ROUTER_B/24"
    topo_wan wan "routerA:wan0:$WAN_A/30" "routerB:wan0:$WAN_B/30"
    topo_in hostA ip route add "$NET_B/24" via "$VIRTUAL_A"
    topo_in hostB ip route add "$NET_A/24" via "$VIRTUAL_B"
}

two_lans_settings() {
    local dir=$1 side=$2 mode=$3; shift 3
    local this=$NET_A other=$NET_B peer=$WAN_B virtual=$VIRTUAL_A mac=$MAC_A initiate=Yes
    if [ "$side" = B ]; then
        this=$NET_B other=$NET_A peer=$WAN_A virtual=$VIRTUAL_B mac=$MAC_B initiate=No
    fi
    local tcp=No
    [ "$mode" = tcp ] && tcp=Yes
    [ "$tcp" = No ] && initiate=No
    settings_write "$dir" "This End/IP=$this" "This End/Mask=$LAN_MASK" \
        "This End/Adaptor=No Description (lan0)" "Other End/IP=$other" "Other End/Mask=$LAN_MASK" \
        "Tunnel/IP=$peer" "Tunnel/Port=$TUNNEL_PORT" "Tunnel/TCP=$tcp" \
        "Tunnel/TCP Initiate=$initiate" "Listen/Port=$TUNNEL_PORT" "Virtual/IP=$virtual" \
        "Virtual/MAC=$mac" "Start/Autostart=Yes" "$@"
}
