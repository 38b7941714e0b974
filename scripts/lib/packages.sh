# shellcheck shell=bash
# The Debian packages of the project, named once: every script takes its list from here, and the
# README's "Building by hand" names exactly PACKAGES_BUILD (scripts/check-packages holds the CMake
# files and the README to it).
#
#   PACKAGES_BUILD   configuring and building everything CMake builds by default, tests included
#   PACKAGES_TEST    what scripts/test adds: clang for the fuzzers, the network, packaging and
#                    service tests' tools
#   PACKAGES_DEMO    what scripts/demo adds: the namespaces' tools, a virtual display, xdotool
#   PACKAGES_BENCH   what bench/run adds: the reference tunnels and the measuring tools
#
#   packages_ensure NAME...   installs (apt-get, no recommends) those that are not installed yet,
#                             and does nothing when all are
#   package_unpack NAME DIR   unpacks package NAME's files under DIR without installing it (no
#                             dependencies, no maintainer scripts); does nothing when DIR holds it

PACKAGES_BUILD=(build-essential cmake pkg-config libpcap-dev libsodium-dev libsystemd-dev
    qt6-base-dev libgtest-dev icoutils imagemagick)
PACKAGES_TEST=(clang libclang-rt-14-dev googletest iproute2 iputils-ping iputils-arping ethtool
    iperf3 netcat-openbsd tcpdump procps psmisc xvfb xauth dpkg-dev file lintian
    desktop-file-utils systemd libcap2-bin adduser strace iptables conntrack python3 ccache)
PACKAGES_DEMO=(iproute2 iputils-ping ethtool netcat-openbsd xvfb xauth xdotool procps)
PACKAGES_BENCH=(iperf3 tinc openvpn openssl tcpdump iputils-ping ethtool iproute2 python3)

packages_ensure() {
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
        >/dev/null
}

package_unpack() {
    local name=$1 dir=$2
    [ -f "$dir/.unpacked" ] && return 0
    rm -rf "$dir" && mkdir -p "$dir"
    if ! (cd "$dir" && apt-get download -qq "$name" >/dev/null 2>&1); then
        DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
        (cd "$dir" && apt-get download -qq "$name" >/dev/null)
    fi
    dpkg-deb -x "$dir/${name}"_*.deb "$dir" && rm -f "$dir/${name}"_*.deb && touch "$dir/.unpacked"
}
