#!/bin/sh
# Builds the release programs, build-release/bootstrapper for x86-64 and
# build-release/aarch64/bootstrapper for 64-bit ARM: each one file that runs on every Linux of its
# machine from Debian 11 (glibc 2.31) on and needs only the C library when it loads. Run it on an
# x86-64 Debian 12, as root or through sudo; it installs the Debian packages it needs.
#
# Each is compiled with Debian 12's clang against a Debian 11 sysroot of its machine, with libcurl
# (built here from Debian 12's source package), OpenSSL 1.1, zlib, libstdc++ and libgcc linked in
# statically. The sysroots and libcurls are kept in a cache folder (QZ_RELEASE_CACHE, by default
# ~/.cache/velmor-release) for the next build; remove sysroot-bullseye*/ or curl-*/ there to make
# them again. Making the arm64 sysroot runs its package scripts under qemu (see
# scripts/arm64-emulation.sh); once it is made, the build runs nothing of arm64.
# QZ_RELEASE_ARCHS lists the machines to build for: "x86_64 aarch64" by default.
#   scripts/build-release.sh
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
cache=${QZ_RELEASE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmor-release}
mirror=http://deb.debian.org/debian
security=http://deb.debian.org/debian-security
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
jobs=$(nproc 2>/dev/null || echo 2)
archs=${QZ_RELEASE_ARCHS:-x86_64 aarch64}

# libcurl's headers are those of the release program, and a later change needs
# curl_easy_header (7.84 on), so the source is Debian 12's curl, whatever Debian 11 carries.
curl_version=7.88.1

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

say() {
    echo "build-release: $*"
}

# --- What the build runs on the host -------------------------------------------------------------
# clang rather than g++ in a Debian 11 chroot: one compiler targets any sysroot with --sysroot, so
# the build needs no chroot (no root, no mounts) once the sysroot is there, and clang 14's C++20
# is more complete than that of Debian 11's GCC 10 (the headers are GCC 10's libstdc++ either way).
"$top/scripts/setup-debian.sh" release

mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# select_arch ARCH: what differs from one machine to the other: Debian's name for it, where its
# sysroot, libcurl and build lie, and its linker. x86-64's keep the names they had alone.
select_arch() {
    arch=$1 triple=$1-linux-gnu
    case "$arch" in
    x86_64) deb_arch=amd64 suffix="" build="$top/build-release" ld_flags="" ;;
    # The host's binutils link only x86-64.
    aarch64)
        deb_arch=arm64 suffix=-arm64 build="$top/build-release/aarch64" ld_flags=-fuse-ld=lld ;;
    *) say "QZ_RELEASE_ARCHS: x86_64 or aarch64, not $arch" >&2; exit 2 ;;
    esac
    sysroot="$cache/sysroot-bullseye$suffix"
    curl_source="$cache/curl-source$suffix"
    curl_prefix="$cache/curl-$curl_version$suffix"
}
for arch in $archs; do select_arch "$arch"; done

# --- The Debian 11 sysroot -----------------------------------------------------------------------
# debootstrap rather than unpacking .debs by hand: it resolves what libgtk-3-dev pulls in and
# checks every package against the Debian archive key, and the result is a working Debian 11
# system, so a program built against it can be tried in it with chroot. Made under a temporary
# name and renamed when complete, so an interrupted run leaves nothing that looks done; the list
# of packages is kept inside it, so changing the list makes it again.
# dbus-x11: debootstrap picks no provider of dconf-service's "default-dbus-session-bus |
# dbus-session-bus", which libgtk-3-dev pulls in, and then leaves GTK unconfigured.
sysroot_packages="libc6-dev,libstdc++-10-dev,libssl-dev,zlib1g-dev,libgtk-3-dev,dbus-x11"

# relativize_links DIR: absolute symbolic links in DIR point into the host once DIR is a sysroot;
# they are made relative, climbing to DIR's top as many levels as the link lies below it.
relativize_links() {
    root=$(cd "$1" && pwd -P)
    find "$root" -type l | while IFS= read -r link; do
        target=$(readlink "$link")
        case "$target" in /*) ;; *) continue ;; esac
        dir=$(cd "$(dirname "$link")" && pwd -P)
        rel=${dir#"$root"}
        up=""
        while [ -n "$rel" ]; do
            up="../$up"
            rel=${rel%/*}
        done
        ln -sfn "${up:-./}${target#/}" "$link"
    done
}

# made DIR STAMP: whether DIR was made to the end, as STAMP says.
made() {
    [ -f "$1/.velmor-made" ] && [ "$(cat "$1/.velmor-made")" = "$2" ]
}

# remove_tree DIR: what an interrupted debootstrap left, never following it into /proc or /dev.
remove_tree() {
    grep -F " $1/" /proc/mounts | cut -d' ' -f2 | sort -r | while IFS= read -r mount; do
        $sudo umount "$mount" || $sudo umount -l "$mount"
    done
    $sudo rm -rf --one-file-system "$1"
}

# make_sysroot: for $deb_arch. Another machine's sysroot is the same system made with
# debootstrap --arch: its second stage and the updates run the package scripts under qemu.
make_sysroot() {
    sysroot_stamp="debootstrap bullseye minbase $sysroot_packages; security updates"
    [ "$deb_arch" = amd64 ] ||
        sysroot_stamp="mmdebstrap extract bullseye $sysroot_packages; security updates; $deb_arch"
    if made "$sysroot" "$sysroot_stamp"; then
        say "using the sysroot in $sysroot"
        stale_updates
        return
    fi
    say "making the Debian 11 $deb_arch sysroot in $sysroot (a few minutes)"
    for stale in "$sysroot".tmp.*; do
        if [ -e "$stale" ]; then remove_tree "$stale"; fi
    done
    tmp="$sysroot.tmp.$$"
    if [ "$deb_arch" != amd64 ]; then
        # Only compiled against, never run: unpacked, with no emulated second stage (minutes
        # instead of a quarter of an hour). The point release's packages and the security
        # updates since, OpenSSL's among them; a mirror that lacks the latter (this one had no
        # arm64 security updates) gives a sysroot without them, named at every build.
        extract() {
            $sudo mmdebstrap --variant=extract --arch="$deb_arch" --keyring="$keyring" \
                --include="$sysroot_packages" bullseye "$tmp" "deb $mirror bullseye main" \
                "deb $mirror bullseye-updates main" "$@"
        }
        if ! extract "deb $security bullseye-security main" 2>"$cache/sysroot-$deb_arch.log"; then
            remove_tree "$tmp"
            extract 2>>"$cache/sysroot-$deb_arch.log"
            sed -n 's|^E: Failed to fetch .*/\([^/_]*\)_\([^_]*\)_[^_]*\.deb .*|\1 \2|p' \
                "$cache/sysroot-$deb_arch.log" | sed 's/%2[bB]/+/g; s/%7[eE]/~/g' | $sudo tee "$tmp/.velmor-not-updated" >/dev/null
        fi
        finish_sysroot
        return
    fi
    $sudo debootstrap --arch="$deb_arch" --variant=minbase --keyring="$keyring" \
        --include="$sysroot_packages" bullseye "$tmp" "$mirror"
    # The point release's packages, then the security updates since: OpenSSL is linked in.
    cat >"$tmp/etc/apt/sources.list" <<EOF
deb $mirror bullseye main
deb $mirror bullseye-updates main
deb $security bullseye-security main
EOF
    $sudo chroot "$tmp" apt-get update -qq
    # A mirror may lack some of them (the one this was written on had no arm64 security updates):
    # the system is whole without them, and they are named whenever the sysroot is used.
    DEBIAN_FRONTEND=noninteractive $sudo chroot "$tmp" apt-get upgrade -y -qq --fix-missing ||
        [ -z "$($sudo chroot "$tmp" dpkg --audit)" ]
    $sudo chroot "$tmp" apt-get -s upgrade |
        sed -n 's/^Inst \([^ ]*\) \[[^]]*\] (\([^ ]*\) .*/\1 \2/p' |
        $sudo tee "$tmp/.velmor-not-updated" >/dev/null
    $sudo chroot "$tmp" apt-get clean
    $sudo rm -rf "$tmp"/var/lib/apt/lists/*
    finish_sysroot
}

# finish_sysroot: the sysroot made in $tmp, put in its place.
finish_sysroot() {
    # Yours, when you are not root: it is only read from, and you can remove it.
    if [ -n "$sudo" ]; then $sudo chown -R "$(id -u):$(id -g)" "$tmp"; fi
    relativize_links "$tmp"
    echo "$sysroot_stamp" >"$tmp/.velmor-made"
    [ ! -e "$sysroot" ] || remove_tree "$sysroot"
    mv "$tmp" "$sysroot"
    stale_updates
}

# stale_updates: says which updates the sysroot was made without, those linked in first.
stale_updates() {
    [ -s "$sysroot/.velmor-not-updated" ] || return 0
    linked=$(grep -E '^(libssl|zlib1g|libstdc\+\+|libgcc)' "$sysroot/.velmor-not-updated" |
        tr '\n' ' ')
    say "warning: the $deb_arch sysroot lacks $(wc -l <"$sysroot/.velmor-not-updated")" \
        "updates its mirror did not have${linked:+, of what is linked in: $linked}(listed in" \
        "$sysroot/.velmor-not-updated); remove $sysroot to make it again" >&2
}

# --- libcurl, static ------------------------------------------------------------------------------
# Built from Debian's source package rather than taken from Debian 11's libcurl.a: that archive is
# built with GSSAPI, RTMP, LDAP, SSH, PSL, IDN and brotli, several of which have no static
# archives, and it is 7.74. Configured for what the program uses: HTTP/1.1 and HTTPS (OpenSSL 1.1
# from the sysroot), proxies from the environment, zlib, a resolver thread so that host names do
# not block the loop. HTTP/2 would add nghttp2 for nothing: one large file comes down one stream.
# No CA bundle or path is compiled in, since every distribution keeps them elsewhere: the program
# finds them at run time. OpenSSL's configuration file is not read: the host's is written for
# its own OpenSSL, often 3.x, not the 1.1 linked in.
curl_apt="$cache/curl-apt"
curl_options="--disable-shared --enable-static --disable-dependency-tracking --disable-silent-rules
--disable-debug --enable-optimize --disable-curldebug --disable-versioned-symbols
--disable-manual --disable-libcurl-option
--enable-http --enable-proxy --enable-headers-api --enable-threaded-resolver --enable-ipv6
--disable-ftp --disable-file --disable-ldap --disable-ldaps --disable-rtsp --disable-dict
--disable-telnet --disable-tftp --disable-pop3 --disable-imap --disable-smb --disable-smtp
--disable-gopher --disable-mqtt --disable-websockets
--disable-ntlm-wb --disable-tls-srp --disable-unix-sockets --disable-cookies --disable-doh
--disable-netrc --disable-alt-svc --disable-hsts --disable-openssl-auto-load-config
--with-openssl --with-zlib --without-ca-bundle --without-ca-path --without-ca-fallback
--without-libpsl --without-libidn2 --without-brotli --without-zstd --without-librtmp
--without-libssh2 --without-libssh --without-gssapi --without-libgsasl --without-nghttp2
--without-ngtcp2 --without-nghttp3 --without-quiche --without-msh3 --without-hyper
--without-zsh-functions-dir --without-fish-functions-dir"

# build_curl: for $triple, against $sysroot.
build_curl() {
    curl_stamp="curl $curl_version from bookworm; $(echo "$curl_options" | tr '\n' ' ')"
    [ "$arch" = x86_64 ] || curl_stamp="$curl_stamp; for $triple"
    if made "$curl_prefix" "$curl_stamp"; then
        say "using libcurl in $curl_prefix"
        return
    fi
    say "building libcurl $curl_version for $arch in $curl_prefix"
    # apt with a list of its own in the cache, so the machine's /etc/apt is left as it is.
    mkdir -p "$curl_apt/lists/partial" "$curl_apt/cache" "$curl_apt/parts"
    for suite in bookworm bookworm-updates; do
        echo "deb-src [signed-by=$keyring] $mirror $suite main"
    done >"$curl_apt/sources.list"
    echo "deb-src [signed-by=$keyring] $security bookworm-security main" >>"$curl_apt/sources.list"
    apt_options="-o Dir::Etc::SourceList=$curl_apt/sources.list
-o Dir::Etc::SourceParts=$curl_apt/parts -o Dir::State::Lists=$curl_apt/lists
-o Dir::Cache=$curl_apt/cache -o APT::Sandbox::User=$(id -un) -q"
    # shellcheck disable=SC2086
    apt-get $apt_options update >/dev/null
    rm -rf "$curl_source" "$curl_prefix"
    mkdir -p "$curl_source"
    # shellcheck disable=SC2086
    (cd "$curl_source" && apt-get $apt_options source --download-only curl >/dev/null)
    dsc=$(ls "$curl_source"/curl_*.dsc)
    case "$(basename "$dsc")" in
    "curl_$curl_version-"*) ;;
    *) say "Debian 12 now carries $(basename "$dsc"), not curl $curl_version" >&2; exit 1 ;;
    esac
    # apt has checked the files against the archive's signed index; dpkg-source may warn that it
    # cannot check the maintainer's signature (that needs debian-keyring).
    (cd "$curl_source" && dpkg-source --skip-patches -x "$dsc" src >/dev/null)
    src="$curl_source/src"
    # Debian's patches up to those that turn the build into libcurl-gnutls and libcurl-nss,
    # which its own rules take off again for the OpenSSL build.
    while IFS= read -r patch; do
        case "$patch" in "" | "#"*) continue ;; 90_gnutls.patch) break ;; esac
        patch -s -p1 -d "$src" <"$src/debian/patches/$patch"
    done <"$src/debian/patches/series"
    mkdir "$src/build"
    (cd "$src" && autoreconf -fi >build/autoreconf.log 2>&1) ||
        { tail -20 "$src/build/autoreconf.log"; exit 1; }
    # Configured as a cross build, which it is: its test programs link against the sysroot's
    # OpenSSL 1.1 (and may be arm64), which the host cannot run them with. Without pkg-config,
    # OpenSSL and zlib are found by the compiler in the sysroot; with it, configure would point
    # LD_LIBRARY_PATH there and break clang itself.
    # shellcheck disable=SC2086
    if ! (cd "$src/build" &&
        ../configure --build=x86_64-pc-linux-gnu --host="$triple" --prefix="$curl_prefix" \
            CC="clang-14 --target=$triple --sysroot=$sysroot" LDFLAGS="$ld_flags" PKG_CONFIG=no \
            CFLAGS="-O2 -ffunction-sections -fdata-sections" $curl_options >configure.log); then
        tail -40 "$src/build/config.log"
        exit 1
    fi
    make -C "$src/build/lib" -j"$jobs" >/dev/null
    make -C "$src/build/lib" install >/dev/null
    make -C "$src/build/include" install >/dev/null
    basename "$dsc" .dsc >"$curl_prefix/.velmor-source"
    echo "$curl_stamp" >"$curl_prefix/.velmor-made"
    rm -rf "$src"
}

# --- The programs --------------------------------------------------------------------------------
# One machine after the other, x86-64 first by default: a machine that cannot make the arm64
# sysroot has the x86-64 program already.
for arch in $archs; do
    select_arch "$arch"
    make_sysroot
    build_curl
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/debian11-sysroot.cmake" -DQZ_TARGET_ARCH="$arch" \
        -DQZ_SYSROOT="$sysroot" -DQZ_CURL_PREFIX="$curl_prefix" -DQZ_RELEASE=ON -DQZ_WITH_GTK=ON
    cmake --build "$build" -j"$jobs"
    "$top/scripts/check-release.sh" "$build/bootstrapper"
done
