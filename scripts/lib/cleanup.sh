# shellcheck shell=bash
# Undoing what a script made, however it ends: at its normal end, on an error under `set -e`, on
# Ctrl-C or on SIGTERM. Source it once, near the top.
#
#   on_exit CMD ARGS...   run CMD ARGS when the script ends (last registered runs first, once)
#   bg_track PID...       a background child to stop (SIGTERM, then wait) when the script ends
#   bg_stop PID...        stop children now: SIGTERM, wait, forget them
#   bg_forget PID...      children that have ended (waited for): nothing to stop at exit

[ -n "${_cleanup_loaded:-}" ] && return 0
_cleanup_loaded=1
# A background subshell inherits the traps until it execs its command: only this shell cleans up.
_cleanup_owner=$BASHPID

_exit_actions=()
_bg_pids=()

on_exit() { _exit_actions+=("${*@Q}"); }

bg_track() { _bg_pids+=("$@"); }

bg_forget() {
    local pid gone kept=()
    for pid in "${_bg_pids[@]}"; do
        for gone in "$@"; do [ "$gone" = "$pid" ] && continue 2; done
        kept+=("$pid")
    done
    _bg_pids=("${kept[@]}")
}

bg_stop() {
    local pid
    for pid in "$@"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
    bg_forget "$@"
}

_run_exit_actions() {
    set +e
    trap - EXIT INT TERM
    [ "$BASHPID" = "$_cleanup_owner" ] || return 0
    [ ${#_bg_pids[@]} -gt 0 ] && bg_stop "${_bg_pids[@]}"
    local i
    for ((i = ${#_exit_actions[@]} - 1; i >= 0; i--)); do eval "${_exit_actions[i]}"; done
    _exit_actions=()
}
trap _run_exit_actions EXIT
trap '_run_exit_actions; exit 130' INT
trap '_run_exit_actions; exit 143' TERM
