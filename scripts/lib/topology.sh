# shellcheck shell=bash
# LANs and WANs made of network namespaces on one machine, all removed when the script ends.
#
#   topo_init TAG               namespaces will be named TAG-NAME; every one made is deleted at exit
#   topo_host NAME...           hosts: each interface a segment gives them has segmentation and
#                               checksum offloads off, so they send frames that fit the MTU and carry
#                               finished checksums, as from a real card
#   topo_router NAME...         router boxes: IP forwarding off, so only a tunnel joins their LANs
#   topo_lan NAME MEMBER...     one Ethernet segment joining the members, each NS:IF[:ADDR/PREFIX]
#                               (NS a host or router name, IF the interface made there): two members
#                               are one veth pair, more hang on a bridge in namespace TAG-NAME
#   topo_wan NAME MEMBER MEMBER the point-to-point link between two routers, same member form
#   topo_in NAME CMD...         run CMD inside namespace NAME (`topo_in ... &` makes a subshell
#                               whose PID is $!: killing it leaves CMD running; use topo_bg)
#   topo_bg NAME CMD...         start CMD inside namespace NAME in the background, as a child of
#                               this shell, stopped at exit; its PID is left in $topo_pid
#                               (redirections on the call apply to CMD)
#   topo_ns NAME                print the full namespace name
#   topo_wait_ping NAME ADDRESS [TRIES]   ping from NAME until ADDRESS answers (tries of at most
#                               1.2 s, 30 by default); fails when none did
#
# For example, a hub LAN with two branches: three routers, topo_wan hub-b1 hub:wan1:... b1:wan0:...
# and topo_wan hub-b2 hub:wan2:... b2:wan0:...; two instances on one box: one router with
# topo_lan lan1 box:lan0:... and topo_lan lan2 box:lan1:...

_topo_dir=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=scripts/lib/cleanup.sh
source "$_topo_dir/cleanup.sh"

_topo_tag=""
_topo_made=()
declare -A _topo_role=()

topo_init() {
    _topo_tag=$1
    on_exit _topo_remove
}

_topo_remove() {
    local ns
    for ns in "${_topo_made[@]}"; do ip netns del "$ns" 2>/dev/null; done
    _topo_made=()
}

topo_ns() { echo "$_topo_tag-$1"; }

topo_in() {
    local name=$1; shift
    ip netns exec "$_topo_tag-$name" "$@"
}

topo_bg() {
    local name=$1; shift
    ip netns exec "$_topo_tag-$name" "$@" &
    topo_pid=$!
    bg_track "$topo_pid"
}

_topo_add() {  # role name
    [ -n "$_topo_tag" ] || { echo "topo_init first" >&2; return 1; }
    ip netns add "$_topo_tag-$2"
    _topo_made+=("$_topo_tag-$2")
    _topo_role[$2]=$1
    topo_in "$2" ip link set lo up
}

topo_host() {
    local name
    for name in "$@"; do _topo_add host "$name"; done
}

topo_router() {
    local name
    for name in "$@"; do
        _topo_add router "$name"
        topo_in "$name" sysctl -qw net.ipv4.ip_forward=0
    done
}

# Gives the member's end of a segment its address, offloads (hosts) and state up.
_topo_member_up() {  # ns if address
    [ -n "$3" ] && topo_in "$1" ip addr add "$3" dev "$2"
    [ "${_topo_role[$1]}" = host ] && topo_in "$1" ethtool -K "$2" tso off gso off tx off >/dev/null
    topo_in "$1" ip link set "$2" up
}

topo_lan() {
    local name=$1; shift
    [ $# -ge 2 ] || { echo "topo_lan $name: two members or more" >&2; return 1; }
    local member ns ifname address
    if [ $# -eq 2 ]; then
        local ns2 ifname2
        IFS=: read -r ns ifname address <<<"$1"
        IFS=: read -r ns2 ifname2 address <<<"$2"
        ip link add "$ifname" netns "$_topo_tag-$ns" type veth peer name "$ifname2" \
            netns "$_topo_tag-$ns2"
    else
        _topo_add switch "$name"
        topo_in "$name" ip link add br0 type bridge
        topo_in "$name" ip link set br0 up
        local port=0
        for member in "$@"; do
            IFS=: read -r ns ifname address <<<"$member"
            ip link add "$ifname" netns "$_topo_tag-$ns" type veth peer name "port$port" \
                netns "$_topo_tag-$name"
            topo_in "$name" ip link set "port$port" master br0 up
            port=$((port + 1))
        done
    fi
    for member in "$@"; do
        IFS=: read -r ns ifname address <<<"$member"
        _topo_member_up "$ns" "$ifname" "$address"
    done
}

topo_wan() {
    [ $# -eq 3 ] || { echo "topo_wan $1: exactly two members" >&2; return 1; }
    topo_lan "$@"
}

topo_wait_ping() {
    local tries=${3:-30}
    for _ in $(seq "$tries"); do
        topo_in "$1" ping -c 1 -W 1 -q "$2" >/dev/null 2>&1 && return 0
        sleep 0.2  # an unreachable network fails at once
    done
    return 1
}
