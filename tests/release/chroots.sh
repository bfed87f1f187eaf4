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

# ensure_chroots NAME...: one after the other, so that an interrupt reaches debootstrap and apt;
# a desktop chroot is its suite's minimal one plus packages, copied rather than fetched again.
ensure_chroots() {
    for name in "$@"; do
        for one in "${name%-desktop}" "$name"; do
            chroot_ready "$one" && continue
            echo "chroot $one: making it (log: $chroots/$one.log)"
            if ! make_chroot "$one" >"$chroots/$one.log" 2>&1; then
                echo "chroot $one: could not be made; the end of its log:" >&2
                tail -n 15 "$chroots/$one.log" | sed 's/^/    /' >&2
                return 1
            fi
        done
    done
}
