# shellcheck shell=sh
# Debian chroots for the release tests: made once with debootstrap, kept in $chroots, and mounted
# (/proc, /dev) only while a run uses them. Sourced by run.sh, which sets $chroots.
# shellcheck disable=SC2154

mirror=http://deb.debian.org/debian
# Written into each chroot; a chroot made from another recipe (or half made) is made again.
stamp=etc/velmor-release-chroot

# recipe NAME: the suite and the packages beyond minbase of a chroot.
recipe() {
    case "$1" in
    bullseye) echo "bullseye unzip,ca-certificates" ;;
    trixie) echo "trixie unzip,ca-certificates" ;;
    bullseye-desktop) echo "bullseye unzip,ca-certificates +libgtk-3-0,xvfb,x11-utils" ;;
    *) return 1 ;;
    esac
}

chroot_ready() {
    [ -f "$chroots/$1/$stamp" ] && [ "$(cat "$chroots/$1/$stamp")" = "$(recipe "$1")" ]
}

# mounts_under DIR: the mount points at or below DIR, deepest first.
mounts_under() {
    awk -v dir="$1" '$5 == dir || index($5, dir "/") == 1 { print $5 }' /proc/self/mountinfo |
        sort -r
}

# unmount_all DIR: unmounts what is mounted below DIR (also what a killed run left).
unmount_all() {
    for point in $(mounts_under "$1"); do
        umount "$point" 2>/dev/null || umount -l "$point" || return 1
    done
    [ -z "$(mounts_under "$1")" ]
}

# remove_tree DIR: never follows a mount out of the tree (a bind-mounted /dev above all).
remove_tree() {
    unmount_all "$1" && rm -rf --one-file-system "$1"
}

# mount_system ROOT: /proc, and /dev of the host (not its submounts).
mount_system() {
    mount -t proc proc "$1/proc" && mount --bind /dev "$1/dev"
}

# kill_inside ROOT: processes whose root is ROOT (all started by this run) must not keep a mount.
kill_inside() {
    for link in /proc/[0-9]*/root; do
        [ "$(readlink "$link" 2>/dev/null)" = "$1" ] || continue
        pid=${link#/proc/}
        kill -KILL "${pid%/root}" 2>/dev/null || true
    done
}

unmount_system() {
    kill_inside "$1"
    unmount_all "$1/proc" && unmount_all "$1/dev"
}

# make_chroot NAME: builds NAME under a temporary name and renames it when it is complete.
make_chroot() {
    name=$1
    # shellcheck disable=SC2046
    set -- $(recipe "$name")
    suite=$1 base=$2 extra=${3:-}
    extra=${extra#+}
    partial="$chroots/.$name.partial"
    remove_tree "$partial" || return 1
    if [ -n "$extra" ] && chroot_ready "$suite"; then
        # A desktop system is the minimal one of its suite plus packages: copied, not fetched.
        cp -a "$chroots/$suite" "$partial" || return 1
        rm "$partial/$stamp"
    else
        debootstrap --variant=minbase --include="$base" "$suite" "$partial" "$mirror" || return 1
    fi
    if [ -n "$extra" ]; then
        (
            root=$partial
            trap 'unmount_system "$root"' EXIT
            mount_system "$root" || exit 1
            # No service may start inside.
            printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
            chmod 0755 "$root/usr/sbin/policy-rc.d"
            # shellcheck disable=SC2046
            chroot "$root" apt-get update -qq &&
                DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -qq \
                    --no-install-recommends $(echo "$extra" | tr , ' ') || exit 1
            rm "$root/usr/sbin/policy-rc.d"
        ) || return 1
    fi
    chroot "$partial" apt-get clean || return 1
    recipe "$name" >"$partial/$stamp"
    remove_tree "$chroots/$name" && mv "$partial" "$chroots/$name"
}

# ensure_chroots NAME...: makes those that are missing, one after the other (so that an interrupt
# reaches debootstrap and apt directly), and says how long each took.
ensure_chroots() {
    mkdir -p "$chroots" || return 1
    for name in "$@"; do
        case "$name" in
        *-desktop) chroot_ready "$name" || chroot_ready "${name%-desktop}" ||
            make_one "${name%-desktop}" || return 1 ;;
        esac
        chroot_ready "$name" || make_one "$name" || return 1
    done
}

make_one() {
    started=$(date +%s)
    echo "chroot $1: making it in $chroots/$1 (log: $chroots/$1.log)"
    if ! make_chroot "$1" >"$chroots/$1.log" 2>&1; then
        echo "chroot $1: could not be made; the end of its log:" >&2
        tail -n 15 "$chroots/$1.log" | sed 's/^/    /' >&2
        return 1
    fi
    echo "chroot $1: made in $(($(date +%s) - started)) s"
}
