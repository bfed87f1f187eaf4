#!/bin/sh
# Lets this machine run arm64 programs, in chroots too: Debian's qemu-user-static registered with
# the kernel's binfmt_misc, as systemd-binfmt registers it at boot where systemd runs. Debian's
# entry carries the F flag: the kernel opens the emulator once, at registration, so a chroot needs
# no copy of it. As root, or through sudo. Exits 0 when arm64 programs run here; otherwise 1, with
# a line saying why.
#   scripts/arm64-emulation.sh
set -eu

entry=qemu-aarch64
rule=/usr/lib/binfmt.d/$entry.conf
binfmt=/proc/sys/fs/binfmt_misc

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

say() {
    echo "arm64-emulation: $*"
}

refused() {
    say "$* arm64 programs cannot run here." >&2
    exit 1
}

if [ ! -f "$rule" ] || ! command -v arch-test >/dev/null 2>&1; then
    refused "qemu-user-static or arch-test is missing (scripts/setup-debian.sh release installs" \
        "them):"
fi

# A native arm64 machine, or an emulator already registered by systemd or binfmt-support: then
# with the F flag, or programs run here but not in a chroot.
if arch-test arm64 >/dev/null 2>&1; then
    if [ -e "$binfmt/$entry" ] && ! grep -q '^flags:.*F' "$binfmt/$entry"; then
        refused "$binfmt/$entry is registered without the F flag, so not for chroots;" \
            "removing it (echo -1 | sudo tee $binfmt/$entry) lets this script register Debian's;"
    fi
    exit 0
fi

if [ ! -e "$binfmt/register" ]; then
    say "mounting binfmt_misc on $binfmt"
    $sudo mount -t binfmt_misc binfmt_misc "$binfmt" ||
        refused "this machine does not let binfmt_misc be mounted on $binfmt (a container?):"
fi
if [ -e "$binfmt/$entry" ]; then
    # Someone else's choice, left as it is: say what stands in the way.
    refused "$binfmt/$entry is registered but runs no arm64 program" \
        "($(head -n 2 "$binfmt/$entry" | tr '\n' ' ')); removing it" \
        "(echo -1 | sudo tee $binfmt/$entry) lets this script register Debian's;"
fi
say "registering $entry with binfmt_misc (from $rule)"
# The rule's line, escapes and all, is what the kernel's register file reads.
grep -v '^[#;]' "$rule" | grep . | $sudo tee "$binfmt/register" >/dev/null ||
    refused "the kernel refused to register $entry (a container without that right?):"
arch-test arm64 >/dev/null 2>&1 ||
    refused "$entry is registered, yet an arm64 test program does not run" \
        "($(arch-test arm64 2>&1)):"
say "arm64 programs run through qemu-aarch64-static"
