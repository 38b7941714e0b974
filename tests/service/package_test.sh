#!/usr/bin/env bash
# The Debian package as CPack makes it from this build: its file list, its dependencies (from
# dpkg-shlibdeps), lintian, desktop-file-validate and systemd-analyze verify on what it installs,
# and its post-install and post-removal steps, run against copies (the program, /etc) inside a
# private mount namespace so that the machine itself is not changed.
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
debs=("$T"/pkg/vantrell_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then fail "not one package: ${debs[*]}"; fi
deb=${debs[0]}
echo "package: $(basename "$deb")"

# Contents: exactly these files, owned by root, the two programs executable and nothing else.
expected="./usr/bin/vantrell
./usr/bin/vantrellctl
./usr/lib/systemd/system/vantrell@.service
./usr/lib/sysusers.d/vantrell.conf
./usr/share/applications/vantrell.desktop
./usr/share/doc/vantrell/README.md
./usr/share/doc/vantrell/changelog.gz
./usr/share/doc/vantrell/copyright
./usr/share/icons/hicolor/16x16/apps/vantrell.png
./usr/share/icons/hicolor/32x32/apps/vantrell.png
./usr/share/icons/hicolor/48x48/apps/vantrell.png
./usr/share/man/man8/vantrell.8.gz
./usr/share/man/man8/vantrellctl.8.gz"
dpkg-deb -c "$deb" >"$T/contents"
files=$(awk '$1 !~ /^d/ {print $6}' "$T/contents" | sort)
[ "$files" = "$expected" ] || { diff <(echo "$expected") <(echo "$files") || true; fail "file list"; }
[ -z "$(awk '$2 != "root/root"' "$T/contents")" ] || fail "files not owned by root"
awk '$6 == "./usr/bin/vantrell" && $1 == "-rwxr-xr-x" {ok=1} END {exit !ok}' "$T/contents" ||
    fail "the program is not -rwxr-xr-x"
[ -z "$(awk '$6 != "./usr/bin/vantrell" && $6 != "./usr/bin/vantrellctl" && $1 ~ /x/ &&
             $1 !~ /^d/' "$T/contents")" ] ||
    fail "executable files besides the programs"

# Dependencies: the shared libraries' packages (dpkg-shlibdeps), and what postinst calls.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for package in libpcap0.8 libqt6widgets6 libsystemd0 libc6 adduser libcap2-bin; do
    [[ ", $depends," == *", $package"[\ ,]* ]] || fail "Depends lacks $package"
done

# lintian: no error and no warning.
lintian --fail-on error,warning "$deb" >"$T/lintian" 2>&1 || { cat "$T/lintian"; fail lintian; }
echo "lintian: $(grep -cv 'root privileges' "$T/lintian" || true) tags"

root=$T/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$T/control"

out=$(desktop-file-validate "$root/usr/share/applications/vantrell.desktop" 2>&1) ||
    { echo "$out"; fail desktop-file-validate; }
[ -z "$out" ] || { echo "$out"; fail "desktop-file-validate has remarks"; }

# The unit, instantiated, checked within the unpacked package with the system's own units and
# coreutils' chown (which ExecStartPre runs) beside it; the man page named in Documentation=
# must be the package's. Any remark fails, not only a non-zero status.
units=$root/usr/lib/systemd/system
unit=$units/vantrell@.service
grep -qx 'ExecStart=/usr/bin/vantrell' "$unit" || fail "ExecStart is not /usr/bin/vantrell"
cp "$unit" "$units/vantrell@hub.service"
cp -an /usr/lib/systemd/system/. "$units/"
cp /bin/chown "$root/usr/bin/chown"
ln -s usr/bin "$root/bin"
out=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" vantrell@hub.service 2>&1) ||
    { echo "$out"; fail "systemd-analyze verify"; }
[ -z "$out" ] || { echo "$out"; fail "systemd-analyze verify has remarks"; }
echo "systemd-analyze verify vantrell@hub.service: no remarks"

# postinst configure on a copy of the program and of /etc: the service user, the capabilities.
# postrm purge then removes the sites' folders. /etc and /var/log are copies in this namespace.
cp "$root/usr/bin/vantrell" "$T/vantrell"
sed "s|/usr/bin/vantrell|$T/vantrell|g" "$T/control/postinst" >"$T/postinst"
cp "$T/control/postrm" "$T/postrm"
chmod 755 "$T/postinst" "$T/postrm"
cp -a /etc "$T/etc"
mkdir "$T/varlog"
# shellcheck disable=SC2016  # expanded by the inner shell
unshare --mount --propagation private sh -euc '
    mount --bind "$1/etc" /etc
    mount --bind "$1/varlog" /var/log
    "$1/postinst" configure
    "$1/postinst" configure "1.1"   # an upgrade: the user exists already
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
