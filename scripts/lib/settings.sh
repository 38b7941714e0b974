# shellcheck shell=bash
# The program's settings file, Vantrell.INI, written ahead of a run.
#
#   settings_write DIR [SECTION/KEY=VALUE]...
#
# writes DIR/Vantrell.INI with all fifteen keys the program reads, in the order in which a first
# run leaves them, each at the program's default unless an argument gives it a value. An argument
# naming another key adds it at the end of its section, or in a new section at the end of the
# file (for example "Tunnel/Key=..."). Section and key names contain no "/" or "=".

_settings_defaults=(
    "This End/IP=0.0.0.0" "This End/Mask=255.255.255.0" "This End/Adaptor="
    "Other End/IP=0.0.0.0" "Other End/Mask=255.255.255.0"
    "Tunnel/IP=0.0.0.0" "Tunnel/Port=27659" "Tunnel/TCP=No" "Tunnel/TCP Initiate=No"
    "Listen/Port=27659"
    "Virtual/IP=0.0.0.0" "Virtual/MAC=00:D0:BE:D0:BE:D0"
    "ARP/Respond=Yes"
    "Start/Autostart=No" "Start/Hide=No"
)

settings_write() {
    local dir=$1; shift
    local -a ids=() sections=()
    local -A value=() known_section=()
    local entry id section
    for entry in "${_settings_defaults[@]}" "$@"; do
        id=${entry%%=*}
        case "$id" in */*) ;; *) echo "settings_write: not SECTION/KEY=VALUE: $entry" >&2; return 2 ;; esac
        if [ -z "${value[$id]+set}" ]; then
            ids+=("$id")
            section=${id%%/*}
            [ -n "${known_section[$section]+set}" ] || sections+=("$section")
            known_section[$section]=1
        fi
        value[$id]=${entry#*=}
    done
    mkdir -p "$dir"
    {
        for section in "${sections[@]}"; do
            echo "[$section]"
            for id in "${ids[@]}"; do
                if [ "${id%%/*}" = "$section" ]; then echo "${id#*/}=${value[$id]}"; fi
            done
        done
    } >"$dir/Vantrell.INI"
}
