#!/usr/bin/env bash
# Two real programs, routerA behind a NAT box (MASQUERADE, no port forwarding), a stranger:
#   hostA ──LAN A── routerA ── inside ── nat ══ WAN ══ routerB ──LAN B── hostB
#   10.1.0.10       10.1.0.2   10.99.1.2 10.99.1.1       10.99.0.2  10.2.0.2    10.2.0.10
#                                        10.99.0.1 ══╦══ stranger 10.99.0.3
# Sealed UDP with B learning A's address (0.0.0.0), and naming the NAT's (B's early datagrams
# take port 27659 there, so A's mapping gets another): pings both ways, 20 MB each way intact;
# the mapping changes under a transfer; a stranger's forged flood under a transfer. Unsealed
# through the port-preserving NAT, A first; TCP, A connecting. Prints logs, recovery, rates.
# Usage: nat_test.sh BUILD-DIR [idle SECONDS]   (root; iptables, conntrack and tcpdump packages)
set -eEuo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/lib/two_lans.sh"
source "$here/wait.sh"
if [ "$(id -u)" -ne 0 ] || ! command -v iptables >/dev/null || ! command -v conntrack >/dev/null ||
    ! command -v tcpdump >/dev/null
then
    echo "needs root, iptables, conntrack and tcpdump" >&2
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi
program=$build/ui/vantrell
KEY=2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe
NAT_OUT=10.99.0.1 STRANGER=10.99.0.3
T=$(mktemp -d /tmp/vantrell-nat.XXXXXX)
on_exit rm -rf "$T"

topo_init "vn$$"
topo_host hostA hostB
topo_router routerA routerB nat stranger
topo_lan lanA "hostA:lan0:$HOST_A/24" "routerA:lan0:$ROUTER_A/24"
topo_lan lanB "hostB:lan0:$HOST_B/24" "routerB:lan0:$ROUTER_B/24"
topo_lan inside "routerA:wan0:10.99.1.2/24" "nat:in0:10.99.1.1/24"
topo_lan wan "nat:out0:$NAT_OUT/24" "routerB:wan0:$WAN_B/24" "stranger:eth0:$STRANGER/24"
topo_in routerA ip route add default via 10.99.1.1
topo_in nat sysctl -qw net.ipv4.ip_forward=1
topo_in hostA ip route add "$NET_B/24" via "$VIRTUAL_A"
topo_in hostB ip route add "$NET_A/24" via "$VIRTUAL_B"
masquerade() { topo_in nat iptables -t nat -F && topo_in nat iptables -t nat -A POSTROUTING -o out0 -j MASQUERADE; }
masquerade

declare -A pid=()
start() {  # A|B peer-address [SECTION/KEY=VALUE...]: starts that end's program, log in $T/<end>
    local end=$1 peer=$2; shift 2
    local dir=$T/$end.d
    rm -rf "$dir" && : >"$T/$end" && mkdir -p "$dir" && mkdir -m 700 "$dir/xdg"
    two_lans_settings "$dir" "$end" udp "Tunnel/IP=$peer" "$@" && chmod 600 "$dir/Vantrell.INI"
    (cd "$dir" && exec ip netns exec "$(topo_ns "router$end")" env QT_QPA_PLATFORM=offscreen \
        XDG_RUNTIME_DIR="$dir/xdg" "$program" </dev/null >"$T/$end" 2>&1) &
    pid[$end]=$! && bg_track "${pid[$end]}"
}
stop() { local end; for end in "$@"; do bg_stop "${pid[$end]}"; done; }
answered() {  # host address count: how many pings were answered
    topo_in "$1" ping -q -c "$3" -i 0.2 -W 1 "$2" 2>/dev/null | grep -oE '[0-9]+ received' |
        cut -d' ' -f1 || echo 0
}
both_ways() {  # 10 pings each way, at most 1 lost
    topo_wait_ping hostA "$HOST_B" 40
    local ab ba; ab=$(answered hostA "$HOST_B" 10) ba=$(answered hostB "$HOST_A" 10)
    echo "  pings A->B $ab/10, B->A $ba/10"
    [ "$ab" -ge 9 ] && [ "$ba" -ge 9 ]
}
head -c 20M /dev/urandom >"$T/bulk"
sum=$(sha256sum <"$T/bulk" | cut -d' ' -f1)
bulk() {  # from-host to-host to-address: 20 MB over TCP through the tunnel, intact; sets RATE
    topo_in "$2" timeout 60 nc -l 5001 >"$T/received" &
    local listener=$! t0
    for _ in $(seq 50); do topo_in "$2" ss -ltn | grep -q :5001 && break; sleep 0.1; done
    t0=$(date +%s.%N)
    topo_in "$1" timeout 60 nc -N "$3" 5001 <"$T/bulk" && wait "$listener"
    RATE=$(awk -v t0="$t0" -v t1="$(date +%s.%N)" 'BEGIN { printf "%.0f", 160 / (t1 - t0) }')
    [ "$(sha256sum <"$T/received" | cut -d' ' -f1)" = "$sum" ] || { echo "  bulk damaged"; return 1; }
    echo "  20 MB $1 -> $2 intact, $RATE Mbit/s"
}
show() { local end; for end in "$@"; do echo "  $end's log: $(grep -v QStandardPaths "$T/$end" | paste -sd'|')"; done; }
mapping() { topo_in nat conntrack -L -p udp --dport "$TUNNEL_PORT" 2>/dev/null | grep -oE 'dport=[0-9]+' | paste -sd' '; }

if [ "${2:-}" = idle ]; then
    # nat_test.sh BUILD-DIR idle SECONDS: the NAT forgets UDP mappings after 30 s, the tunnel
    # idles for SECONDS (a fixed spell: the idle time is what is tested), then B's host pings
    # first, which only crosses if the keep-alives held A's mapping: the NAT's very entry for A
    # (same id, same outside port) is there before and after.
    topo_in nat sysctl -qw net.netfilter.nf_conntrack_udp_timeout=30 \
        net.netfilter.nf_conntrack_udp_timeout_stream=30
    entry() { topo_in nat conntrack -L -p udp --orig-src 10.99.1.2 -o id 2>/dev/null |
        grep -oE 'dport=[0-9]+|id=[0-9]+' | tail -n 2 | paste -sd' ' || true; }
    start B "$NAT_OUT" "Tunnel/Key=$KEY" && start A "$WAN_B" "Tunnel/Key=$KEY" && both_ways
    before=$(entry) idle=0
    topo_in routerB timeout "$3" tcpdump -i wan0 -n -q -w "$T/idle.pcap" udp >/dev/null 2>&1 ||
        idle=$?
    after=$(entry)
    first=$(topo_in hostB ping -q -c 1 -W 3 "$HOST_A" | grep -oE '[0-9]+ received' | cut -d' ' -f1 ||
        true)
    echo "  NAT's entry for A (reply's port, id) before: $before; after $3 s idle: $after;" \
        "B->A ${first:-0}/1 at the first ping"
    topo_in routerB tcpdump -r "$T/idle.pcap" -n -q 2>/dev/null | awk -v s="$3" '{ n++; b += $NF + 28 }
        END { printf "  idle WAN: %d datagrams, %d bytes with IP and UDP headers, %.0f bytes/h\n", n, b, b * 3600 / s }'
    show A B
    if [ "$idle" != 124 ] || [ -z "$before" ] || [ "$before" != "$after" ] || [ "${first:-0}" != 1 ]; then
        echo "  the idle spell was cut short, the NAT's entry for A went, or the ping was lost"
        exit 1
    fi
    echo "NAT idle test passed"
    exit 0
fi

echo "sealed, B learns A's address (0.0.0.0), B starts first"
topo_in nat conntrack -F >/dev/null 2>&1
start B 0.0.0.0 "Tunnel/Key=$KEY"
wait_line "$T/B" "Using UDP mode, sealed: waiting for the other end to make contact." 10
start A "$WAN_B" "Tunnel/Key=$KEY"
both_ways
bulk hostA hostB "$HOST_B" && bulk hostB hostA "$HOST_A"
grep -q "^Vantrell: the other end made contact from $NAT_OUT:" "$T/B"
show A B
stop A B

echo "sealed, B names the NAT's address and starts first: its datagrams take the NAT's port 27659"
topo_in nat conntrack -F >/dev/null 2>&1
start B "$NAT_OUT" "Tunnel/Key=$KEY"
wait_line "$T/B" "Using UDP mode." 10
for _ in $(seq 50); do [ -n "$(mapping)" ] && break; sleep 0.1; done
start A "$WAN_B" "Tunnel/Key=$KEY"
both_ways
echo "  NAT's table: $(mapping)"
grep -q "^Vantrell: the other end now sends from $NAT_OUT:" "$T/B"
bulk hostA hostB "$HOST_B" && bulk hostB hostA "$HOST_A" && base=$RATE

echo "sealed, the NAT's mapping changes (a new port range, table flushed) under pings and a transfer"
topo_in hostA ping -D -i 0.05 -c 120 -W 1 "$HOST_B" >"$T/pings" 2>&1 &
pinger=$!
bulk hostA hostB "$HOST_B" &
transfer=$!
for _ in $(seq 100); do [ "$(stat -c %s "$T/received")" -gt 2000000 ] && break; sleep 0.05; done
# Ahead of the plain rule, which stays: no datagram leaves un-translated meanwhile.
topo_in nat iptables -t nat -I POSTROUTING 1 -o out0 -p udp -j MASQUERADE --to-ports 40000-40999
topo_in nat conntrack -F >/dev/null 2>&1
changed=$(date +%s.%N)
wait "$transfer" && { wait "$pinger" || true; }
echo "  NAT's table after: $(mapping)"
gap=$(awk -v c="$changed" '/bytes from/ { t = substr($1, 2, length($1) - 2) + 0;
    if (t > c && first == "") first = t } END { printf "%.3f", first - c }' "$T/pings")
echo "  first answer $gap s after the change (pings every 50 ms)"
awk -v g="$gap" 'BEGIN { exit !(g > 0 && g < 1) }'
grep -q "^Vantrell: the other end now sends from $NAT_OUT:40" "$T/B"
show A B

echo "sealed, a stranger sends forged datagrams at about 1000/s under a transfer"
topo_in routerB timeout 10 tcpdump -i wan0 -c 3 -w "$T/genuine.pcap" \
    "udp and src host $NAT_OUT and greater 200" >/dev/null 2>"$T/tcpdump" &
capture=$!
for _ in $(seq 50); do grep -q "listening on" "$T/tcpdump" && break; sleep 0.1; done
topo_in hostA ping -q -c 5 -s 400 -i 0.1 "$HOST_B" >/dev/null && wait "$capture"
topo_in stranger timeout 60 /usr/bin/python3 - "$T/genuine.pcap" "$WAN_B" "$TUNNEL_PORT" >"$T/flood" <<'EOF' &
import os, socket, struct, sys, time
data = open(sys.argv[1], "rb").read()[24:]
genuine = []
while len(data) > 16:
    n = struct.unpack("<I", data[8:12])[0]
    genuine.append(data[16 + 42:16 + n])
    data = data[16 + n:]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
to, sent, start = (sys.argv[2], int(sys.argv[3])), 0, time.time()
while time.time() - start < 20:
    for kind in range(10):
        g = bytearray(genuine[sent % len(genuine)])
        if kind % 5 == 1: g[len(g) // 2] ^= 1                   # a bit flipped
        elif kind % 5 == 2: g = bytes([1, 0, 0, 0]) + os.urandom(60)  # a forged initiation
        elif kind % 5 == 3: g = bytes([2, 0, 0, 0]) + os.urandom(56)  # a forged response
        elif kind % 5 == 4: g = os.urandom(100)                 # noise
        s.sendto(bytes(g), to)                                  # kind 0: a replay
        sent += 1
    time.sleep(0.01)
print(sent, round(sent / (time.time() - start)))
EOF
flooder=$!
bulk hostA hostB "$HOST_B" && bulk hostB hostA "$HOST_A" && flooded=$RATE && wait "$flooder"
echo "  stranger sent $(cut -d' ' -f1 "$T/flood") datagrams, $(cut -d' ' -f2 "$T/flood")/s;" \
    "B->A rate $flooded Mbit/s against $base without"
grep "key is different\|sends from $STRANGER" "$T/B" && { echo "  the stranger moved B or cried wolf"; exit 1; }
awk -v f="$flooded" -v b="$base" 'BEGIN { exit !(f >= 0.5 * b) }'
show B
stop A B

echo "unsealed through the port-preserving NAT, A sends first"
masquerade
topo_in nat conntrack -F >/dev/null 2>&1
start A "$WAN_B" && start B "$NAT_OUT"
both_ways
echo "  NAT's table: $(mapping)"
show A B
stop A B

echo "TCP, A behind the NAT connects"
topo_in nat conntrack -F >/dev/null 2>&1
start B 0.0.0.0 "Tunnel/TCP=Yes" && start A "$WAN_B" "Tunnel/TCP=Yes" "Tunnel/TCP Initiate=Yes"
both_ways
show A B
stop A B
echo "NAT test passed"
