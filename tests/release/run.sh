#!/bin/sh
# Whole-program tests of the release program on the systems it must run on: Debian chroots made
# with debootstrap and kept in a cache folder, servers on 127.0.0.1 of the host.
#   tests/release/run.sh BOOTSTRAPPER [SYSTEM...]
# SYSTEM: bullseye, trixie, bullseye-desktop (the default: these three), or host (the same cases on
# this machine without a chroot, for trying them with a development build).
# The chroots lie in ${QZ_RELEASE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmor-release}/chroots.
# Prints one line per case and `N passed, N failed`; the status is non-zero when a case failed.
# QZ_RELEASE_KEEP=1 keeps the run's folder on the host (installers, server log, outputs).
set -u

usage() {
    echo "usage: tests/release/run.sh BOOTSTRAPPER [bullseye|trixie|bullseye-desktop|host...]" >&2
    exit 2
}
if [ "$#" -lt 1 ] || [ ! -f "$1" ] || [ ! -x "$1" ]; then usage; fi

here=$(cd "$(dirname "$0")" && pwd -P)
repo=$(cd "$here/../.." && pwd -P)
cache=${QZ_RELEASE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmor-release}

# chroot and mount need root; the cache stays the caller's.
if [ "$(id -u)" -ne 0 ]; then
    exec sudo QZ_RELEASE_CACHE="$cache" "$0" "$@"
fi
export PATH="/usr/sbin:/usr/bin:/sbin:/bin"
export LC_ALL=C

bootstrapper=$(readlink -f "$1")
shift
systems=${*:-bullseye trixie bullseye-desktop}

# The table: one whole-program case per system and path.
cases='
bullseye         bundle
bullseye         http
bullseye         https
bullseye         cache-hit
bullseye         signed
bullseye         no-gtk
trixie           bundle
trixie           http
trixie           https
trixie           cache-hit
trixie           signed
trixie           no-gtk
bullseye-desktop window
host             bundle
host             http
host             https
host             cache-hit
host             signed
host             window
'

for system in $systems; do
    case "$system" in bullseye | trixie | bullseye-desktop | host) ;; *) usage ;; esac
done

# What the host needs, from Debian.
packages=""
need() {
    command -v "$1" >/dev/null 2>&1 || packages="$packages $2"
}
need debootstrap debootstrap
need nginx nginx-light
need openssl openssl
need minisign minisign
need zip zip
need unzip unzip
case " $systems " in *" host "*) need Xvfb xvfb; need xwininfo x11-utils ;; esac
if [ -n "$packages" ]; then
    echo "Installing:$packages"
    # shellcheck disable=SC2086
    apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $packages ||
        exit 1
fi

mkdir -p "$cache/chroots" || exit 1
cache=$(cd "$cache" && pwd -P)
chroots="$cache/chroots"
# One run at a time uses the chroots.
exec 9>"$chroots/.lock"
if ! flock -n 9; then
    echo "Waiting for another run that uses $cache"
    flock -w 900 9 || exit 1
fi

work=$(mktemp -d /tmp/qz-release.XXXXXX) || exit 1
# shellcheck source=tests/release/chroots.sh
. "$here/chroots.sh"
# shellcheck source=tests/release/server.sh
. "$here/server.sh"

server="" xvfb="" root="" ca_bundle="" in_dir="" x11_dir_made=""
# Whatever the run did to a system: its processes, files, CA and mounts.
leave_system() {
    if [ -n "$xvfb" ]; then
        kill -TERM "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
        xvfb=""
    fi
    [ -z "$root" ] || kill_inside "$root"
    [ -z "$ca_bundle" ] || remove_ca "$ca_bundle"
    [ -z "$in_dir" ] || rm -rf --one-file-system "$root$in_dir"
    [ -z "$x11_dir_made" ] || rmdir "$root/tmp/.X11-unix" 2>/dev/null || true
    [ -z "$root" ] || unmount_system "$root"
    root="" ca_bundle="" in_dir="" x11_dir_made=""
}
cleanup() {
    status=$?
    leave_system
    stop_server
    if ! unmount_all "$chroots"; then
        echo "Still mounted, unmount by hand: $(mounts_under "$chroots" | tr '\n' ' ')" >&2
        status=1
    fi
    if [ -n "${QZ_RELEASE_KEEP:-}" ]; then
        echo "kept: $work"
    else
        rm -rf --one-file-system "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# What a killed run may have left mounted.
unmount_all "$chroots" || { echo "Cannot unmount what is left below $chroots" >&2; exit 1; }

started_run=$(date +%s)
chroot_systems=$(echo "$systems" | tr ' ' '\n' | grep -vx host | tr '\n' ' ')
# shellcheck disable=SC2086
ensure_chroots $chroot_systems
echo "chroots ready after $(($(date +%s) - started_run)) s"

make_ca || { echo "Cannot make the test CA" >&2; exit 1; }
start_server || { echo "Cannot start nginx" >&2; exit 1; }

# The installers, made once on the host and copied into each system.
installers="$work/installers"
mkdir -p "$installers" "$work/agent-slow" || exit 1
(cd "$repo/demo/product" && zip -q -X -r "$work/bundle.zip" velmor-demo) || exit 1
minisign -G -W -p "$work/release.pub" -s "$work/release.key" >/dev/null </dev/null || exit 1
translations=""
[ -d "$(dirname "$bootstrapper")/locale" ] &&
    translations="--translations $(dirname "$bootstrapper")/locale"
sign="--secret-key $work/release.key --public-key $work/release.pub --version 7"
# The slow archive carries data that does not compress, so the trickle takes a few seconds.
cp -R "$repo/demo/agent/." "$work/agent-slow/" &&
    head -c 196608 /dev/urandom >"$work/agent-slow/padding" || exit 1
# build_installer NAME AGENT (--embed | PROTOCOL PORT) [OPTIONS...]
build_installer() {
    name=$1 agent=$2
    shift 2
    if [ "$1" = --embed ]; then
        where=--embed
        shift
    else
        where="--url $1://127.0.0.1:$2/$name/InstallAgent.zip --publish $work/www/$name"
        shift 2
    fi
    # shellcheck disable=SC2086
    "$repo/tools/make-installer" --bootstrapper "$bootstrapper" $translations --agent "$agent" \
        --product "$work/bundle.zip" $where "$@" --output "$installers/$name" >/dev/null ||
        { echo "make-installer failed for $name" >&2; exit 1; }
}
demo_agent="$repo/demo/agent"
build_installer bundle "$demo_agent" --embed
build_installer http "$demo_agent" http "$http_port"
build_installer https "$demo_agent" https "$https_port"
build_installer cache-hit "$demo_agent" http "$http_port"
build_installer no-gtk "$demo_agent" http "$http_port"
# shellcheck disable=SC2086
build_installer signed "$demo_agent" http "$http_port" $sign
# shellcheck disable=SC2086
build_installer tampered "$demo_agent" http "$http_port" $sign
build_installer slow "$work/agent-slow" http "$http_port"
# One bit of the published signed archive flipped.
archive="$work/www/tampered/InstallAgent.zip"
middle=$(($(wc -c <"$archive") / 2))
byte=$(od -An -tu1 -j "$middle" -N1 "$archive" | tr -d ' ')
# shellcheck disable=SC2059
printf "$(printf '\\%03o' $((byte ^ 1)))" |
    dd of="$archive" bs=1 seek="$middle" count=1 conv=notrunc 2>/dev/null

cache_rel=.velmor/app_installer_cache/V1904c/maci64

# run_in SECONDS [VAR=VALUE...] COMMAND...: in the system, with only those variables.
run_in() {
    limit=$1
    shift
    if [ -n "$root" ]; then
        timeout "$limit" chroot "$root" env -i PATH=/usr/bin:/bin "$@"
    else
        timeout "$limit" env -i PATH=/usr/bin:/bin "$@"
    fi
}

# launch INSTALLER HOME PRODUCT [VAR=VALUE...]: runs the installer with the home and scratch
# folder of $case_dir/HOME, installing into $case_dir/PRODUCT/product; output in $out.PRODUCT and
# $err.PRODUCT, exit status in $rc.
launch() {
    installer=$1 home_dir=$case_dir/$2 product_dir=$case_dir/$3 output=$3
    shift 3
    mkdir -p "$root$home_dir/home" "$root$home_dir/tmp" "$root$product_dir"
    # shellcheck disable=SC2086
    run_in 30 HOME="$home_dir/home" TMPDIR="$home_dir/tmp" QZ_DOWNLOAD_TIMEOUT=10 $system_env \
        "$@" "$in_dir/installers/$installer/setup" --dest "$product_dir/product" \
        >"$out.$output" 2>"$err.$output"
    rc=$?
}

# expect WHY COMMAND...: WHY is the case's failure when COMMAND fails.
expect() {
    why=$1
    shift
    "$@"
}

installed() {
    run_in 10 "$case_dir/$1/product/velmor-demo/bin/hello" 2>&1 | grep -q "^Hello from Velmor Demo"
}
no_scratch_left() {
    [ -z "$(ls -A "$root$case_dir/$1/tmp")" ]
}
# served MARK STATUS URI: the server answered URI with STATUS since MARK.
served() {
    log_since "$1" | awk -v s="$2" -v u="$3" '$1 == s && $4 == u { found = 1 } END { exit !found }'
}
etag_of() {
    log_since "$1" | awk -v u="$2" '$1 == 200 && $4 == u { print $6 }' | tail -n 1
}
# cached RUN MARK URI: the cache holds the install agent and the ETag the server sent for it.
cached() {
    cache_dir="$root$case_dir/$1/home/$cache_rel"
    [ -f "$cache_dir/installagent/install" ] &&
        [ "$(cat "$cache_dir/.validatestring")" = "$(etag_of "$2" "$3")" ]
}
contains() {
    grep -q "$2" "$1"
}

case_bundle() {
    launch bundle run run
    expect "exit status $rc, not 0" [ "$rc" -eq 0 ] &&
        expect "the demo product is not installed" installed run &&
        expect "the scratch directory is left in TMPDIR" no_scratch_left run
}

# download PROTOCOL-NAME PORT: one download, its answer, the product and the cache.
download() {
    mark=$(log_mark)
    launch "$1" run run
    expect "exit status $rc, not 0" [ "$rc" -eq 0 ] &&
        expect "the server did not send the archive" served "$mark" 200 "/$1/InstallAgent.zip" &&
        expect "the demo product is not installed" installed run &&
        expect "the cache does not hold the install agent with the server's ETag" \
            cached run "$mark" "/$1/InstallAgent.zip" &&
        expect "the scratch directory is left in TMPDIR" no_scratch_left run
}
case_http() { download http; }
case_https() { download https; }

case_cache_hit() {
    launch cache-hit run run
    expect "first run: exit status $rc, not 0" [ "$rc" -eq 0 ] || return 1
    mark=$(log_mark)
    # The same home, another product folder.
    launch cache-hit run run2
    expect "second run: exit status $rc, not 0" [ "$rc" -eq 0 ] &&
        expect "second run: the server did not answer 304" \
            served "$mark" 304 /cache-hit/InstallAgent.zip &&
        expect "second run: the archive was sent again" \
            not served "$mark" 200 /cache-hit/InstallAgent.zip &&
        expect "second run: the demo product is not installed" installed run2
}
not() {
    ! "$@"
}

case_signed() {
    mark=$(log_mark)
    launch signed run run
    expect "exit status $rc, not 0" [ "$rc" -eq 0 ] &&
        expect "the signature was not fetched" \
            served "$mark" 200 /signed/InstallAgent.zip.minisig &&
        expect "the demo product is not installed" installed run &&
        expect "the cache does not record version 7" \
            grep -q ' 7$' "$root$case_dir/run/home/$cache_rel/.newest-versions" || return 1
    launch tampered tampered tampered
    expect "tampered archive: exit status $rc, not 255" [ "$rc" -eq 255 ] &&
        expect "tampered archive: no 'is not trusted' message" \
            contains "$err.tampered" "is not trusted" &&
        expect "tampered archive: the install agent ran" not installed tampered
}

# A display but no GTK: the terminal shows the download, and one line says why.
case_no_gtk() {
    launch no-gtk run run DISPLAY=:79
    expect "exit status $rc, not 0" [ "$rc" -eq 0 ] &&
        expect "the demo product is not installed" installed run &&
        expect "no terminal progress on standard error" contains "$err.run" Downloading &&
        expect "standard error does not say that GTK is missing" contains "$err.run" GTK
}

# wait_for SECONDS COMMAND...: polls COMMAND until it succeeds, within SECONDS.
wait_for() {
    deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}
display_known() {
    [ -s "$work/display" ] || ! kill -0 "$xvfb" 2>/dev/null
}
window_shown() {
    run_in 5 DISPLAY=":$display" xwininfo -root -tree 2>/dev/null | grep -q '"Velmor Installer"'
}
window_seen_or_ended() {
    window_shown && return 0
    ! kill -0 "$installer_pid" 2>/dev/null && return 0
    return 1
}

# The GTK window under Xvfb, seen while the archive trickles in.
case_window() {
    [ -d "$root/tmp/.X11-unix" ] || x11_dir_made=yes
    : >"$work/display"
    # A simple command, so that $! is Xvfb itself; its home and Mesa's cache in the run's folder.
    mkdir -p "$root$case_dir/xvfb"
    set -- env -i PATH=/usr/bin:/bin HOME="$case_dir/xvfb" XDG_CACHE_HOME="$case_dir/xvfb" \
        Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp
    if [ -n "$root" ]; then
        chroot "$root" "$@" 3>"$work/display" 2>"$err.xvfb" &
    else
        "$@" 3>"$work/display" 2>"$err.xvfb" &
    fi
    xvfb=$!
    if ! wait_for 10 display_known || [ ! -s "$work/display" ]; then
        why="Xvfb did not start: $(tail -n 2 "$err.xvfb")"
        return 1
    fi
    display=$(cat "$work/display")
    mark=$(log_mark)
    rm -f "$work/rc"
    (
        launch slow run run DISPLAY=":$display"
        echo "$rc" >"$work/rc"
    ) &
    installer_pid=$!
    wait_for 15 window_seen_or_ended
    seen=no
    window_shown && seen=yes
    wait "$installer_pid"
    rc=$(cat "$work/rc" 2>/dev/null || echo "?")
    expect "the window was not seen during the download" [ "$seen" = yes ] &&
        expect "exit status $rc, not 0" [ "$rc" = 0 ] &&
        expect "the server did not send the archive" served "$mark" 200 /slow/InstallAgent.zip &&
        expect "the demo product is not installed" installed run &&
        expect "the window is still there after the run" not window_shown
}

elapsed_since() {
    ms=$((($(date +%s%N) - $1) / 1000000))
    printf '%d.%02d s' $((ms / 1000)) $((ms % 1000 / 10))
}

# top_level ROOT: what lies in the folders of a chroot where a run could leave something.
top_level() {
    find "$1/root" "$1/tmp" "$1/var/tmp" -mindepth 1 -maxdepth 1 | sort
}

passed=0 failed=0
report() {
    # report SYSTEM PATH STATUS TIME [WHY]
    if [ "$3" = ok ]; then
        passed=$((passed + 1))
        printf 'ok    %-17s %-10s %s\n' "$1" "$2" "$4"
    else
        failed=$((failed + 1))
        printf 'FAIL  %-17s %-10s %s: %s\n' "$1" "$2" "$4" "$5"
    fi
}

for system in $systems; do
    rows=$(echo "$cases" | awk -v s="$system" '$1 == s { print $2 }')
    # Entering the system: mounts, the test CA in its bundle, a folder for the run.
    problem=""
    if [ "$system" = host ]; then
        root="" in_dir="$work/host" system_env="SSL_CERT_FILE=$ca_dir/ca.pem"
    elif ! chroot_ready "$system"; then
        problem="the chroot could not be made"
    else
        root="$chroots/$system" in_dir=/root/qz-release system_env=""
        ca_bundle="$root/etc/ssl/certs/ca-certificates.crt"
        # What a killed run left in the chroot goes first.
        rm -rf --one-file-system "$root$in_dir"
        remove_ca "$ca_bundle"
        cksum <"$ca_bundle" >"$work/ca-bundle.sum"
        top_level "$root" >"$work/top-level"
        mount_system "$root" || problem="cannot mount /proc and /dev"
        [ -n "$problem" ] || add_ca "$ca_bundle" || problem="cannot add the test CA"
    fi
    if [ -z "$problem" ]; then
        mkdir -p "$root$in_dir" && cp -R "$installers" "$root$in_dir/" ||
            problem="cannot copy the installers into it"
    fi
    for path in $rows; do
        started=$(date +%s%N)
        if [ -n "$problem" ]; then
            report "$system" "$path" fail "" "$problem"
            continue
        fi
        out="$work/$system-$path.out" err="$work/$system-$path.err" why=""
        case_dir="$in_dir/$path"
        if "case_$(echo "$path" | tr - _)"; then
            report "$system" "$path" ok "$(elapsed_since "$started")"
        else
            report "$system" "$path" fail "$(elapsed_since "$started")" "$why"
            for file in "$err".* "$out".*; do
                [ -s "$file" ] || continue
                echo "    ${file##*/}:"
                tail -n 12 "$file" | sed 's/^/      /'
            done
        fi
    done
    bundle=$ca_bundle system_root=$root
    leave_system
    # The cached chroot must be as it was.
    if [ -n "$bundle" ] && [ "$(cksum <"$bundle")" != "$(cat "$work/ca-bundle.sum")" ]; then
        echo "The CA bundle of $system was not restored" >&2
        failed=$((failed + 1))
    fi
    if [ -n "$system_root" ] && ! top_level "$system_root" | cmp -s - "$work/top-level"; then
        echo "The run left files in $system_root:" >&2
        top_level "$system_root" | diff "$work/top-level" - | grep '^>' >&2
        failed=$((failed + 1))
    fi
done

echo "run took $(($(date +%s) - started_run)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
