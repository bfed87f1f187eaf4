# shellcheck shell=sh
# Debian chroots for the release tests: made once with debootstrap, kept in $chroots (set by
# run.sh), and mounted (/proc, /dev) only while a run uses them.
# shellcheck disable=SC2154

mirror=http://deb.debian.org/debian
# Written into each chroot; one made from another recipe, or half made, is made again.
stamp=etc/velmor-release-chroot

# recipe NAME: the suite, the packages beyond minbase, and (after +) those added to a copy of the
# suite's minimal chroot.
recipe() {
    case "$1" in
    bullseye) echo "$1 unzip,ca-certificates,busybox" ;;
    trixie) echo "$1 unzip,ca-certificates" ;;
    bullseye-desktop) echo "bullseye unzip,ca-certificates +libgtk-3-0,xvfb,x11-utils" ;;
    # The same for arm64, run through qemu (scripts/arm64-emulation.sh).
    *-arm64*) recipe "$(echo "$1" | sed 's/-arm64//')" ;;
    esac
}

# architecture NAME: debootstrap's name for the chroot's architecture; empty for the host's.
architecture() {
    case "$1" in *-arm64*) echo arm64 ;; esac
}

chroot_ready() {
    [ -f "$chroots/$1/$stamp" ] && [ "$(cat "$chroots/$1/$stamp")" = "$(recipe "$1")" ]
}

# mounts_under DIR: the mount points at or below DIR, deepest first.
mounts_under() {
    awk -v dir="$1" '$5 == dir || index($5, dir "/") == 1 { print $5 }' /proc/self/mountinfo |
        sort -r
}

# unmount_all DIR: also what a killed run left.
unmount_all() {
    for point in $(mounts_under "$1"); do
        umount "$point" 2>/dev/null || umount -l "$point" || return 1
    done
    [ -z "$(mounts_under "$1")" ]
}

# /dev of the host without its submounts.
mount_system() {
    mount -t proc proc "$1/proc" && mount --bind /dev "$1/dev"
}

# Every process whose root is the chroot was started by this run, and would keep a mount busy.
unmount_system() {
    for link in /proc/[0-9]*/root; do
        pid=${link%/root}
        [ "$(readlink "$link" 2>/dev/null)" != "$1" ] || kill -KILL "${pid#/proc/}" 2>/dev/null
    done
    unmount_all "$1"
}

# make_chroot NAME: built under a temporary name, renamed once complete.
make_chroot() {
    # shellcheck disable=SC2046
    set -- "$1" $(recipe "$1") ""
    partial="$chroots/.$1.partial" extra=${4#+}
    # Never follow a mount out of the tree (a bind-mounted /dev above all).
    unmount_all "$partial" && rm -rf --one-file-system "$partial" || return 1
    if [ -n "$extra" ]; then
        cp -a "$chroots/${1%-desktop}" "$partial" && rm "$partial/$stamp" || return 1
        (
            trap 'unmount_system "$partial"' EXIT
            mount_system "$partial" || exit 1
            # No service may start inside.
            printf '#!/bin/sh\nexit 101\n' >"$partial/usr/sbin/policy-rc.d"
            chmod 0755 "$partial/usr/sbin/policy-rc.d"
            # shellcheck disable=SC2046
            chroot "$partial" apt-get update -qq &&
                DEBIAN_FRONTEND=noninteractive chroot "$partial" apt-get install -y -qq \
                    --no-install-recommends $(echo "$extra" | tr , ' ') &&
                rm "$partial/usr/sbin/policy-rc.d"
        ) || return 1
    else
        arch=$(architecture "$1")
        if [ -n "$arch" ]; then
            # Emulated, mmdebstrap's one apt run takes about half of debootstrap's time.
            mmdebstrap --variant=minbase --arch="$arch" --include="$3" "$2" "$partial" \
                "deb $mirror $2 main" || return 1
        else
            debootstrap --variant=minbase --include="$3" "$2" "$partial" "$mirror" || return 1
        fi
    fi
    chroot "$partial" apt-get clean && recipe "$1" >"$partial/$stamp" &&
        unmount_all "$chroots/$1" && rm -rf --one-file-system "$chroots/${1:?}" &&
        mv "$partial" "$chroots/$1"
}

# The chroots being made in the background: PID:NAME, each PID a session of its own.
chroot_makers=""

# start_chroot NAME: makes it in the background. In a session of its own, since an asynchronous
# command ignores interrupts: end_chroot_makers passes them on.
start_chroot() {
    echo "chroot $1: making it (log: $chroots/$1.log)"
    # shellcheck disable=SC2016
    setsid sh -c '. "$1" && chroots=$2 && make_chroot "$3"' sh "$here/chroots.sh" "$chroots" "$1" \
        >"$chroots/$1.log" 2>&1 &
    chroot_makers="$chroot_makers $!:$1"
}

# wait_chroot NAME: until the maker of NAME, if one runs, has ended; 1 when it failed.
wait_chroot() {
    left=""
    status=0
    for job in $chroot_makers; do
        if [ "${job#*:}" != "$1" ]; then
            left="$left $job"
        elif ! wait "${job%%:*}"; then
            echo "chroot $1: could not be made; the end of its log:" >&2
            tail -n 15 "$chroots/$1.log" | sed 's/^/    /' >&2
            status=1
        fi
    done
    chroot_makers=$left
    return $status
}

# end_chroot_makers: stops them and waits, so that nothing of theirs is still mounted after it.
end_chroot_makers() {
    for job in $chroot_makers; do
        kill -TERM "-${job%%:*}" 2>/dev/null
    done
    for job in $chroot_makers; do
        wait "${job%%:*}"
    done
    chroot_makers=""
}

# ensure_chroots NAME...: the minimal chroots side by side (an emulated one keeps a core busy on
# its own), and each desktop chroot once its suite's minimal one is there: a copy of it plus
# packages, rather than fetched again.
ensure_chroots() {
    for name in "$@"; do
        one=${name%-desktop}
        chroot_ready "$one" || case "$chroot_makers " in *":$one "*) ;; *) start_chroot "$one" ;; esac
    done
    for name in "$@"; do
        [ "$name" != "${name%-desktop}" ] || continue
        wait_chroot "${name%-desktop}" || return 1
        chroot_ready "$name" || start_chroot "$name"
    done
    for job in $chroot_makers; do
        wait_chroot "${job#*:}" || return 1
    done
}
