#!/bin/sh
# Installs the Debian packages that building, the demo and the tests need, when missing, and for
# the tests the German and French locales.
#   scripts/setup-debian.sh [build|demo|test|release]
set -eu

packages="g++ cmake ninja-build pkg-config libcurl4-openssl-dev libssl-dev libglib2.0-dev
libgtk-3-dev libgtest-dev libgmock-dev libmicrohttpd-dev libzip-dev unzip zip ca-certificates
gettext"
case "${1:-build}" in
build) ;;
demo) packages="$packages minisign" ;;
test) packages="$packages xvfb xauth xdotool x11-utils nginx-light openssl clang-format minisign busybox
locales dbus-daemon at-spi2-core python3-gi gir1.2-atspi-2.0 debootstrap mmdebstrap
qemu-user-static arch-test" ;;
# The release programs: Debian 12's clang against Debian 11 sysroots, and libcurl from source;
# for arm64, clang's own linker, mmdebstrap that unpacks its sysroot, and the emulator that runs
# the arm64 test systems.
release) packages="clang-14 cmake ninja-build pkg-config make gettext debootstrap
debian-archive-keyring dpkg-dev binutils autoconf automake libtool lld-14 mmdebstrap
qemu-user-static arch-test" ;;
*) echo "usage: scripts/setup-debian.sh [build|demo|test|release]" >&2; exit 2 ;;
esac

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        *" installed") ;;
        *) missing="$missing $p" ;;
    esac
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    # Another install holding the package manager's lock is waited for, not a failure.
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends $missing
fi

# The tests run the program in German and French, numbers included.
if [ "${1:-build}" = test ]; then
    for name in de_DE fr_FR; do
        if ! locale -a | grep -qx "$name.utf8"; then
            echo "Making the locale $name.UTF-8"
            $sudo localedef -i "$name" -f UTF-8 "$name.UTF-8"
        fi
    done
fi
