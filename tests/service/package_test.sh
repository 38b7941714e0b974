#!/usr/bin/env bash
# The two Debian packages as one CPack run makes them from this build (vantrell: the daemon and
# the unit; vantrell-gui: the dialog program): their file lists, their dependencies (from
# dpkg-shlibdeps; none of Qt, X or GL for the daemon), lintian, desktop-file-validate,
# systemd-analyze verify and security on what they install, and their post-install and
# post-removal steps, run against copies (the program, /etc) inside a private mount namespace so
# that the machine itself is not changed.
#
# Usage: package_test.sh BUILD-DIR
set -eEuo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/lib/cleanup.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "needs root (a private mount namespace, capabilities on a file)" >&2
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi

T=$(mktemp -d /tmp/vantrell-package.XXXXXX)
on_exit rm -rf "$T"
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$T/pkg" >"$T/cpack.log" 2>&1) || { cat "$T/cpack.log"; fail cpack; }
debs=("$T"/pkg/*.deb)
[ ${#debs[@]} -eq 2 ] || fail "not two packages: ${debs[*]}"
deb=$(echo "$T"/pkg/vantrell_*.deb)
gui=$(echo "$T"/pkg/vantrell-gui_*.deb)
[ -f "$deb" ] && [ -f "$gui" ] || fail "packages: ${debs[*]}"
echo "packages: $(basename "$deb") $(basename "$gui")"

# Contents: exactly these files, owned by root, the programs executable and nothing else.
contents() {  # deb expected-files program
    dpkg-deb -c "$1" >"$T/contents"
    local files
    files=$(awk '$1 !~ /^d/ {print $6}' "$T/contents" | sort)
    [ "$files" = "$2" ] || { diff <(echo "$2") <(echo "$files") || true; fail "file list of $1"; }
    [ -z "$(awk '$2 != "root/root"' "$T/contents")" ] || fail "files not owned by root"
    awk -v p="$3" '$6 == p && $1 == "-rwxr-xr-x" {ok=1} END {exit !ok}' "$T/contents" ||
        fail "$3 is not -rwxr-xr-x"
    [ -z "$(awk -v p="$3" '$6 != p && $1 ~ /x/ && $1 !~ /^d/' "$T/contents")" ] ||
        fail "executable files besides $3"
}
contents "$deb" "./usr/bin/vantrelld
./usr/lib/systemd/system/vantrell@.service
./usr/lib/sysusers.d/vantrell.conf
./usr/share/doc/vantrell/README.md
./usr/share/doc/vantrell/changelog.gz
./usr/share/doc/vantrell/copyright
./usr/share/man/man8/vantrelld.8.gz" ./usr/bin/vantrelld
contents "$gui" "./usr/bin/vantrell
./usr/share/applications/vantrell.desktop
./usr/share/doc/vantrell-gui/changelog.gz
./usr/share/doc/vantrell-gui/copyright
./usr/share/icons/hicolor/16x16/apps/vantrell.png
./usr/share/icons/hicolor/32x32/apps/vantrell.png
./usr/share/icons/hicolor/48x48/apps/vantrell.png
./usr/share/man/man8/vantrell.8.gz" ./usr/bin/vantrell

# Dependencies: the shared libraries' packages (dpkg-shlibdeps), and what postinst calls. The
# daemon's package needs nothing of Qt, X or GL; the dialog's needs Qt and the daemon's package
# of its own version, and takes the program over from vantrell 1.1.
has() { [[ ", $1," == *", $2"[\ ,]* ]]; }
depends=$(dpkg-deb -f "$deb" Depends)
echo "vantrell Depends: $depends"
for package in libpcap0.8 libsodium23 libsystemd0 libc6 adduser; do
    has "$depends" "$package" || fail "vantrell: Depends lacks $package"
done
if [[ ",$depends" =~ ,\ *(libqt|libx|libgl|libegl|libopengl|libxcb|libfontconfig|qt6) ]]; then
    fail "vantrell depends on Qt, X or GL: $depends"
fi
gui_depends=$(dpkg-deb -f "$gui" Depends)
echo "vantrell-gui Depends: $gui_depends"
for package in "vantrell (= $(dpkg-deb -f "$deb" Version))" libqt6widgets6 libcap2-bin; do
    has "$gui_depends" "$package" || fail "vantrell-gui: Depends lacks $package"
done
for field in Replaces Breaks; do
    [ "$(dpkg-deb -f "$gui" $field)" = "vantrell (<< 1.2)" ] || fail "vantrell-gui: $field"
done

# lintian: no error and no warning.
lintian --fail-on error,warning "$deb" "$gui" >"$T/lintian" 2>&1 || { cat "$T/lintian"; fail lintian; }
echo "lintian: $(grep -cv 'root privileges' "$T/lintian" || true) tags"

root=$T/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$gui" "$root"
dpkg-deb -e "$deb" "$T/control"
dpkg-deb -e "$gui" "$T/gui-control"
# The daemon loads no Qt, X or GL library, directly or through another.
if ldd "$root/usr/bin/vantrelld" | grep -E 'libQt|libX|libxcb|libGL|libEGL|libOpenGL'; then
    fail "vantrelld loads Qt, X or GL"
fi

out=$(desktop-file-validate "$root/usr/share/applications/vantrell.desktop" 2>&1) ||
    { echo "$out"; fail desktop-file-validate; }
[ -z "$out" ] || { echo "$out"; fail "desktop-file-validate has remarks"; }

# The unit, instantiated, checked within the unpacked package with the system's own units and
# coreutils' chown (which ExecStartPre runs) beside it; the man page named in Documentation=
# must be the package's. Any remark fails, not only a non-zero status.
units=$root/usr/lib/systemd/system
unit=$units/vantrell@.service
grep -qx 'ExecStart=/usr/bin/vantrelld' "$unit" || fail "ExecStart is not /usr/bin/vantrelld"
# Site folders of earlier versions keep working: the same folder, user and settings file.
for line in 'ConfigurationDirectory=vantrell/%i' 'WorkingDirectory=/etc/vantrell/%i' \
    'ReadWritePaths=/etc/vantrell/%i' 'User=vantrell'; do
    grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
cp "$unit" "$units/vantrell@hub.service"
cp -an /usr/lib/systemd/system/. "$units/"
cp /bin/chown "$root/usr/bin/chown"
ln -s usr/bin "$root/bin"
out=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" vantrell@hub.service 2>&1) ||
    { echo "$out"; fail "systemd-analyze verify"; }
[ -z "$out" ] || { echo "$out"; fail "systemd-analyze verify has remarks"; }
echo "systemd-analyze verify vantrell@hub.service: no remarks"
# Exposure: better than the 1.8 of the unit that ran the dialog off screen.
exposure=$(systemd-analyze security --offline=true --root="$root" vantrell@hub.service 2>&1 |
           sed -n 's/.*Overall exposure level for vantrell@hub.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN {exit !(e < 1.8)}' ||
    fail "systemd-analyze security: exposure '$exposure', not below 1.8"
echo "systemd-analyze security vantrell@hub.service: $exposure"

# postinst configure of both packages, on a copy of the dialog program and of /etc: the service
# user, the dialog's capabilities. postrm purge then removes the sites' folders. /etc and
# /var/log are copies in this namespace.
grep -q setcap "$T/control/postinst" && fail "the daemon's package sets file capabilities"
cp "$root/usr/bin/vantrell" "$T/vantrell"
sed "s|/usr/bin/vantrell|$T/vantrell|g" "$T/gui-control/postinst" >"$T/gui-postinst"
cp "$T/control/postinst" "$T/postinst"
cp "$T/control/postrm" "$T/postrm"
chmod 755 "$T/postinst" "$T/postrm" "$T/gui-postinst"
cp -a /etc "$T/etc"
mkdir "$T/varlog"
# shellcheck disable=SC2016  # expanded by the inner shell
unshare --mount --propagation private sh -euc '
    mount --bind "$1/etc" /etc
    mount --bind "$1/varlog" /var/log
    "$1/postinst" configure
    "$1/postinst" configure "1.1"   # an upgrade: the user exists already
    "$1/gui-postinst" configure
    getent passwd vantrell >"$1/passwd-entry"
    mkdir -p /etc/vantrell/hub && touch /etc/vantrell/hub/Vantrell.INI
    "$1/postrm" purge
    [ ! -e /etc/vantrell ] || { echo "postrm purge left /etc/vantrell"; exit 1; }
' sh "$T"
caps=$(getcap "$T/vantrell")
[ "$caps" = "$T/vantrell cap_net_admin,cap_net_raw=ep" ] || fail "getcap: '$caps'"
echo "postinst: getcap gives '${caps#"$T/"}'"
IFS=: read -r name _ _ _ _ home shell <"$T/passwd-entry"
if [ "$name" != vantrell ] || [ "$home" != /nonexistent ] || [ "$shell" != /usr/sbin/nologin ]; then
    fail "service user: $(cat "$T/passwd-entry")"
fi
getent passwd vantrell >/dev/null && fail "postinst changed this machine's /etc/passwd"
echo "postinst: user $(cat "$T/passwd-entry")"
echo "package test passed"
