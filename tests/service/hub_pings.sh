# shellcheck shell=bash
# The three-LAN tests' traffic check: the hub's host and both branch hosts ping each other at the
# same time, 20 echo requests each way, 10 s at most (topology helpers of scripts/lib/two_lans.sh).
#
#   hub_pings DIR HUB-HOST B-HOST C-HOST   prints each run's answers (and round trips) and fails
#                                          when a run lost more than 2 of 20; outputs go to DIR

hub_pings() {
    local dir=$1 run pid received failed=0 pids=()
    local -A from=([hub-b]=hostA [hub-c]=hostA [b-hub]=hostB [c-hub]=hostC)
    local -A to=([hub-b]=$3 [hub-c]=$4 [b-hub]=$2 [c-hub]=$2)
    for run in hub-b hub-c b-hub c-hub; do
        topo_in "${from[$run]}" ping -q -c 20 -i 0.1 -w 10 "${to[$run]}" >"$dir/$run.ping" 2>&1 &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || true; done
    for run in hub-b hub-c b-hub c-hub; do
        received=$(grep -oE '[0-9]+ received' "$dir/$run.ping" | cut -d' ' -f1 || true)
        echo "$run (${from[$run]} -> ${to[$run]}): ${received:-0}/20 answered;" \
            "$(grep -oE 'rtt.*' "$dir/$run.ping" || true)"
        [ "${received:-0}" -ge 18 ] || failed=1
    done
    [ "$failed" -eq 0 ] || echo "a ping run lost more than 2 of 20"
    return "$failed"
}
