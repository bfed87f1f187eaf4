#!/bin/sh
# Installs the Debian packages that building, the demo and the tests need, when missing.
#   scripts/setup-debian.sh [build|demo|test]
set -eu

packages="g++ cmake ninja-build pkg-config libcurl4-openssl-dev libssl-dev libglib2.0-dev
libgtk-3-dev libgtest-dev libgmock-dev libmicrohttpd-dev libzip-dev unzip zip ca-certificates"
case "${1:-build}" in
build) ;;
demo) packages="$packages minisign" ;;
test) packages="$packages xvfb xauth xdotool x11-utils nginx-light openssl clang-format minisign" ;;
*) echo "usage: scripts/setup-debian.sh [build|demo|test]" >&2; exit 2 ;;
esac

missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        *" installed") ;;
        *) missing="$missing $p" ;;
    esac
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
$sudo apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
