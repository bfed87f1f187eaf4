#!/bin/sh
# Whole-program tests of the release program in Debian chroots made with debootstrap and kept in
# ${QZ_RELEASE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmor-release}/chroots, against a server on
# 127.0.0.1 of the host.
#   tests/release/run.sh BOOTSTRAPPER [bullseye|trixie|bullseye-desktop...]   (default: all three)
#   tests/release/run.sh AARCH64-BOOTSTRAPPER bullseye-arm64 trixie-arm64 bullseye-arm64-desktop
# The arm64 systems run under qemu (scripts/arm64-emulation.sh registers it).
# Prints a line per case and `N passed, N failed`; the status is non-zero when a case failed.
# QZ_RELEASE_KEEP=1 keeps the run's folder on the host (installers, server log, outputs).
set -u

usage() {
    echo "usage: tests/release/run.sh BOOTSTRAPPER [bullseye|trixie|bullseye-desktop...]" \
        "(-arm64 after the suite for arm64)" >&2
    exit 2
}
if [ "$#" -lt 1 ] || [ ! -f "$1" ] || [ ! -x "$1" ]; then usage; fi
here=$(cd "$(dirname "$0")" && pwd -P)
repo=$(cd "$here/../.." && pwd -P)
cache=${QZ_RELEASE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmor-release}
# chroot and mount need root; the cache stays the caller's.
[ "$(id -u)" -eq 0 ] || exec sudo QZ_RELEASE_CACHE="$cache" "$0" "$@"
export PATH="/usr/sbin:/usr/bin:/sbin:/bin" LC_ALL=C

bootstrapper=$(readlink -f "$1")
shift
systems=${*:-bullseye trixie bullseye-desktop}
for system in $systems; do
    case "$system" in
    bullseye | trixie | bullseye-desktop | bullseye-arm64 | trixie-arm64 | bullseye-arm64-desktop) ;;
    *) usage ;;
    esac
done
for tool in debootstrap mmdebstrap nginx openssl minisign zip; do
    command -v "$tool" >/dev/null ||
        { echo "$tool is missing (scripts/setup-debian.sh test installs it)" >&2; exit 1; }
done

# The table: each system and its paths, one whole-program case each.
cases='
bullseye         bundle http https cache-hit signed no-gtk busybox ctrl-c single both
trixie           bundle http https cache-hit signed no-gtk single
bullseye-desktop window
bullseye-arm64   bundle http https cache-hit signed single both
trixie-arm64     bundle http https cache-hit signed
bullseye-arm64-desktop window
'

chroots=$(mkdir -p "$cache/chroots" && cd "$cache/chroots" && pwd -P) || exit 1
# One run at a time uses the chroots.
exec 9>"$chroots/.lock"
flock -n 9 || { echo "Waiting for another run that uses $chroots" && flock -w 900 9; } || exit 1

work=$(mktemp -d /tmp/qz-release.XXXXXX) || exit 1
# shellcheck source=tests/release/chroots.sh
. "$here/chroots.sh"
# shellcheck source=tests/release/server.sh
. "$here/server.sh"

# wait_for SECONDS COMMAND...: polls COMMAND until it succeeds, within SECONDS.
wait_for() {
    deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

server="" xvfb="" root="" x11_dir_made=""
in_dir=/root/qz-release
ca_bundle=etc/ssl/certs/ca-certificates.crt
# Undoes whatever the run did to the system it is in: processes, mounts, the test CA, files.
leave_system() {
    [ -n "$root" ] || return 0
    # Stopped, not killed, so that Xvfb removes its lock and socket.
    [ -z "$xvfb" ] || { kill -TERM "$xvfb" && wait "$xvfb"; } 2>/dev/null
    xvfb=""
    unmount_system "$root"
    remove_ca "$root/$ca_bundle"
    rm -rf --one-file-system "$root$in_dir"
    [ -z "$x11_dir_made" ] || rmdir "$root/tmp/.X11-unix"
    x11_dir_made=""
}
cleanup() {
    status=$?
    end_chroot_makers
    leave_system
    stop_server
    unmount_all "$chroots" ||
        { echo "Still mounted, unmount by hand: $(mounts_under "$chroots")" >&2 && status=1; }
    if [ -n "${QZ_RELEASE_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work"; fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# What a killed run may have left mounted.
unmount_all "$chroots" || { echo "Cannot unmount what is left below $chroots" >&2; exit 1; }
started_run=$(date +%s)
# shellcheck disable=SC2086
ensure_chroots $systems
echo "chroots ready after $(($(date +%s) - started_run)) s"
if ! make_ca || ! start_server; then echo "Cannot make the test CA or start nginx" >&2; exit 1; fi

# The installers, made once on the host and copied into each system. The slow archive carries
# data that does not compress, so that its trickle takes a few seconds.
installers="$work/installers"
mkdir -p "$installers" &&
    (cd "$repo/demo/product" && zip -q -X -r "$work/bundle.zip" velmor-demo) &&
    minisign -G -W -p "$work/release.pub" -s "$work/release.key" >/dev/null </dev/null &&
    cp -R "$repo/demo/agent" "$work/agent-slow" &&
    head -c 196608 /dev/urandom >"$work/agent-slow/padding" || exit 1
translations=""
[ ! -d "${bootstrapper%/*}/locale" ] || translations="--translations ${bootstrapper%/*}/locale"
# build NAME AGENT (embed | BASE-URL) [OPTIONS...]
build() {
    name=$1 agent=$2 where="--url $3/$1/InstallAgent.zip --publish $work/www/$1"
    [ "$3" != embed ] || where=--embed
    shift 3
    # shellcheck disable=SC2086
    "$repo/tools/make-installer" --bootstrapper "$bootstrapper" $translations --agent "$agent" \
        --product "$work/bundle.zip" $where "$@" --output "$installers/$name" >/dev/null ||
        { echo "make-installer failed for $name" >&2; exit 1; }
}
agent=$repo/demo/agent http=http://127.0.0.1:$http_port
sign="--secret-key $work/release.key --public-key $work/release.pub --version 7"
build bundle "$agent" embed
build http "$agent" "$http"
build https "$agent" "https://127.0.0.1:$https_port"
# shellcheck disable=SC2086
build signed "$agent" "$http" $sign
# shellcheck disable=SC2086
build tampered "$agent" "$http" $sign
build slow "$work/agent-slow" "$http"
build single-bundle "$agent" embed --single-file
build single-http "$agent" "$http" --single-file
# Both programs, as make-installer finds them in the checkout; nothing listens at its URL, so
# the failure's log line names the program that ran.
both=""
if "$repo/tools/make-installer" --agent "$agent" --product "$work/bundle.zip" \
    --url http://127.0.0.1:9/both/InstallAgent.zip --publish "$work/www/both" \
    --single-request --arch x86_64 --arch aarch64 --output "$installers/both" \
    >/dev/null 2>"$work/both.err"; then
    both=yes
fi
# One bit flipped in the middle of the published signed archive.
archive="$work/www/tampered/InstallAgent.zip"
middle=$(($(wc -c <"$archive") / 2))
byte=$(od -An -tu1 -j "$middle" -N1 "$archive" | tr -d ' ')
# shellcheck disable=SC2059
printf "$(printf '\\%03o' $((byte ^ 1)))" |
    dd of="$archive" bs=1 seek="$middle" count=1 conv=notrunc 2>/dev/null

cache_rel=.velmor/app_installer_cache/V1904c/maci64

# run_in SECONDS [VAR=VALUE...] COMMAND...: in the system, with only those variables (and PATH).
run_in() { limit=$1 && shift && timeout "$limit" chroot "$root" env -i PATH=/usr/bin:/bin "$@"; }
# expect WHY COMMAND...: WHY is the case's failure when COMMAND fails.
expect() { why=$1 && shift && "$@"; }
not() { ! "$@"; }

# run INSTALLER HOME PRODUCT STATUS [VAR=VALUE...]: one run in the system, with its home and
# TMPDIR in $case_dir/HOME, installing into $case_dir/PRODUCT (output in $out.PRODUCT and
# $err.PRODUCT). It must exit with STATUS, leave no scratch folder and, when STATUS is 0, have
# installed the demo product. $mark is the server log's before it.
run() {
    installer=$1 home=$case_dir/$2 product=$case_dir/$3 name=$3 status=$4
    shift 4
    mkdir -p "$root$home/home" "$root$home/tmp" "$root$product"
    mark=$(log_mark)
    # A folder's program, or a single-file installer.
    program="$in_dir/installers/$installer"
    [ ! -d "$root$program" ] || program="$program/setup"
    run_in 30 HOME="$home/home" TMPDIR="$home/tmp" QZ_DOWNLOAD_TIMEOUT=10 "$@" \
        "$program" --dest "$product/product" >"$out.$name" 2>"$err.$name"
    rc=$?
    expect "$name: exit status $rc, not $status" [ "$rc" -eq "$status" ] &&
        expect "$name: a scratch folder is left in TMPDIR" [ -z "$(ls -A "$root$home/tmp")" ] &&
        { [ "$status" -ne 0 ] || expect "$name: the demo product is not installed" installed; }
}
installed() {
    run_in 10 "$product/product/velmor-demo/bin/hello" 2>&1 | grep -q "^Hello from Velmor Demo"
}
# served STATUS URI: the server answered URI with STATUS since $mark.
served() {
    log_since "$mark" | awk -v s="$1" -v u="$2" '$1 == s && $2 == u { f = 1 } END { exit !f }'
}
# fetched INSTALLER: since $mark the server sent its archive, and the cache in $home holds the
# install agent with the ETag it sent.
fetched() {
    etag=$(log_since "$mark" | awk -v u="/$1/InstallAgent.zip" '$1 == 200 && $2 == u { print $3 }')
    cache_dir=$root$home/home/$cache_rel
    expect "the server did not send /$1/InstallAgent.zip" [ -n "$etag" ] &&
        expect "the cache does not hold the install agent with the server's ETag" cached
}
cached() {
    [ -f "$cache_dir/installagent/install" ] && [ "$(cat "$cache_dir/.validatestring")" = "$etag" ]
}

check() {
    case "$path" in
    bundle) run bundle a a 0 ;;
    http | https) run "$path" a a 0 && fetched "$path" ;;
    cache-hit)
        # The same home, another product folder.
        run http a a 0 && run http a b 0 &&
            expect "b: the server did not answer 304" served 304 /http/InstallAgent.zip &&
            expect "b: the archive was sent again" not served 200 /http/InstallAgent.zip ;;
    signed)
        run signed a a 0 && fetched signed &&
            expect "the signature was not fetched" served 200 /signed/InstallAgent.zip.minisig &&
            expect "the cache does not record version 7" \
                grep -qs ' 7$' "$root$home/home/$cache_rel/.newest-versions" &&
            run tampered t t 255 && expect "t: the install agent ran" not installed &&
            expect "t: no 'is not trusted' message" grep -q "is not trusted" "$err.t" ;;
    busybox)
        # BusyBox's unzip, as minimal systems have it, on both paths.
        mkdir -p "$root$case_dir/bin" && ln -sf /bin/busybox "$root$case_dir/bin/unzip" &&
            run bundle a a 0 PATH="$case_dir/bin:/usr/bin:/bin" &&
            run http b b 0 PATH="$case_dir/bin:/usr/bin:/bin" && fetched http ;;
    ctrl-c)
        # Ctrl-C while unzip unpacks the bundle's archive, as the terminal sends it to the whole
        # foreground group (a session of its own here): a cancelled unpack, said in one line.
        mkdir -p "$root$case_dir/bin" &&
            printf '#!/bin/sh\n/usr/bin/unzip "$@"\nkill -INT 0\nexec sleep 30\n' \
                >"$root$case_dir/bin/unzip" && chmod 0755 "$root$case_dir/bin/unzip" &&
            run bundle a a 255 PATH="$case_dir/bin:/usr/bin:/bin" setsid &&
            expect "a: not just 'Installation failed.'" [ "$(cat "$err.a")" = "Installation failed." ] &&
            expect "a: the install agent ran" not installed ;;
    single)
        # One file, on both paths; nothing is written beside it.
        run single-bundle a a 0 && run single-http b b 0 && fetched single-http &&
            expect "something was written beside the single file" \
                [ "$(ls "$root$in_dir/installers")" = "$(ls "$installers")" ] ;;
    no-gtk)
        # A display but no GTK: the terminal shows the download, and one line says why.
        run http a a 0 DISPLAY=:79 &&
            expect "no terminal progress on standard error" grep -q Downloading "$err.a" &&
            expect "standard error does not say that GTK is missing" grep -q GTK "$err.a" ;;
    both)
        # The program for the machine it runs on; another machine is named in one line.
        machine=x86_64
        case "$system" in *-arm64*) machine=aarch64 ;; esac
        mkdir -p "$root$case_dir/bin" &&
            printf '#!/bin/sh\necho riscv64\n' >"$root$case_dir/bin/uname" &&
            chmod 0755 "$root$case_dir/bin/uname" &&
            expect "no installer with both programs: $(cat "$work/both.err")" [ -n "$both" ] &&
            run both a a 255 &&
            expect "a: not the $machine program" grep -q "setup-$machine\[" "$err.a" &&
            run both b b 255 PATH="$case_dir/bin:/usr/bin:/bin" &&
            expect "b: not the one line for another machine" [ "$(cat "$err.b")" = \
                "This installer runs on x86_64 and aarch64 Linux; this computer is riscv64." ] ;;
    window) check_window ;;
    esac
}

# The GTK window under Xvfb, seen while the archive trickles in.
check_window() {
    [ -d "$root/tmp/.X11-unix" ] || x11_dir_made=yes
    mkdir -p "$root$case_dir/xvfb"
    : >"$work/display"
    # A simple command, so that $! is Xvfb itself; its home and Mesa's cache in the case's folder.
    chroot "$root" env -i PATH=/usr/bin:/bin HOME="$case_dir/xvfb" XDG_CACHE_HOME="$case_dir/xvfb" \
        Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>"$err.xvfb" &
    xvfb=$!
    wait_for 10 display_known
    display=$(cat "$work/display")
    expect "Xvfb did not start" [ -n "$display" ] || return 1
    (run slow a a 0 DISPLAY=":$display" && fetched slow; s=$?; echo "$why" >"$work/why"; exit $s) &
    pid=$! seen=no
    wait_for 15 window_seen_or_run_ended
    wait "$pid"
    status=$?
    expect "the window was not seen during the download" [ "$seen" = yes ] &&
        expect "$(cat "$work/why" 2>/dev/null)" [ "$status" -eq 0 ] &&
        expect "the window is still there after the run" not window_shown
}
display_known() { [ -s "$work/display" ] || ! kill -0 "$xvfb" 2>/dev/null; }
window_shown() {
    run_in 5 DISPLAY=":$display" xwininfo -root -tree 2>/dev/null | grep -q '"Velmor Installer"'
}
window_seen_or_run_ended() {
    if window_shown; then seen=yes; else ! kill -0 "$pid" 2>/dev/null; fi
}

# state: what a run could change in a cached chroot: its CA bundle, the folders where it could
# leave files, its mounts.
state() {
    cksum <"$root/$ca_bundle"
    find "$root/root" "$root/tmp" "$root/var/tmp" -mindepth 1 -maxdepth 1 | sort
    mounts_under "$root"
}

passed=0 failed=0
for system in $systems; do
    problem="the chroot could not be made"
    if chroot_ready "$system"; then
        root="$chroots/$system"
        # What a killed run left in the chroot goes first.
        rm -rf --one-file-system "$root$in_dir"
        remove_ca "$root/$ca_bundle"
        state >"$work/state"
        problem="cannot mount /proc and /dev, add the test CA or copy the installers"
        mount_system "$root" && add_ca "$root/$ca_bundle" && mkdir "$root$in_dir" &&
            cp -R "$installers" "$root$in_dir/" && problem=""
    fi
    for path in $(echo "$cases" | awk -v s="$system" '$1 == s { $1 = ""; print }'); do
        started=$(date +%s%N)
        out="$work/$system-$path.out" err="$work/$system-$path.err" case_dir="$in_dir/$path"
        why=$problem
        if [ -z "$problem" ] && check; then
            passed=$((passed + 1)) ms=$((($(date +%s%N) - started) / 1000000))
            printf 'ok    %-17s %-10s %d ms\n' "$system" "$path" "$ms"
        else
            failed=$((failed + 1))
            printf 'FAIL  %-17s %-10s %s\n' "$system" "$path" "$why"
            tail -n 12 "$err".* "$out".* 2>/dev/null | sed 's/^/    /'
        fi
    done
    leave_system
    # The cached chroot must be as it was.
    if [ -n "$root" ] && ! state | diff "$work/state" - >&2; then
        echo "FAIL  $system was left changed (< before, > after)" >&2
        failed=$((failed + 1))
    fi
    root=""
done

echo "run took $(($(date +%s) - started_run)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
