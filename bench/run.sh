#!/bin/sh
# The bootstrapper's benchmarks in one command: installs what is missing (Debian packages),
# builds the program in build-bench, and runs bench/bench.py, which prints the results table
# and writes it to bench/results.md.
#
#   bench/run.sh            BENCH_RUNS=5 by default; BENCH_TMP=/dev/shm by default
#   bench/run.sh --only download,cache,bundle,signed-download,signed-bundle,single-file,memory,
#                       redraws
#                                                                (any subset)
#   BENCH_WITHOUT_GTK=0 bench/run.sh   skips the diagnostic build without GTK (build-bench/nogtk)
#   BENCH_RELEASE=build     (default) the release program beside the development build, made or
#                           brought up to date by scripts/build-release.sh first
#   BENCH_RELEASE=existing  build-release/bootstrapper as it is, not rebuilt
#   BENCH_RELEASE=0         no release rows
#   BENCH_RELEASE=PROGRAM   that program in the release rows
# The arm64 release program (build-release/aarch64/bootstrapper beside the release program) is
# measured too where qemu-user can run it: its size and memory only.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
build="$src/build-bench"

# What the build and the benchmarks need.
packages="g++ cmake ninja-build pkg-config libcurl4-openssl-dev libssl-dev libglib2.0-dev
libgtk-3-dev unzip ca-certificates nginx-light curl wget xvfb python3 minisign
openssl"
missing=""
for p in $packages; do
    case "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" in
        *" installed") ;;
        *) missing="$missing $p" ;;
    esac
done
if [ -n "$missing" ]; then
    echo "Installing:$missing" >&2
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
fi
# nginx may have been installed with its service started; the benchmark runs its own.
export PATH="$PATH:/usr/sbin:/sbin"

echo "Building in $build" >&2
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_BUILD_TESTS=OFF \
    >/dev/null
ninja -C "$build" bootstrapper >&2

# The same program without GTK, for diagnostic rows: what linking GTK costs the terminal path.
nogtk=""
if [ "${BENCH_WITHOUT_GTK:-1}" != 0 ]; then
    cmake -S "$src" -B "$build/nogtk" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQZ_WITH_GTK=OFF -DQZ_BUILD_TESTS=OFF >/dev/null
    ninja -C "$build/nogtk" bootstrapper >&2
    nogtk="--bootstrapper-without-gtk=$build/nogtk/src/bootstrapper"
fi

# describe PROGRAM: what the rows are about: its size and what it needs when it loads.
describe() {
    bytes=$(stat -c %s "$1")
    needed=$(readelf -d "$1" 2>/dev/null | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' |
        tr '\n' ' ' | sed 's/ $//')
    glibc=$(readelf -V "$1" 2>/dev/null | grep -o 'GLIBC_[0-9.]*' | sort -u -V | tail -n 1)
    printf '%s, %s MiB, NEEDED %s, newest symbol version %s, built %s' "${1#"$src"/}" \
        "$(awk "BEGIN { printf \"%.2f\", $bytes / 1048576 }")" "${needed:-none}" \
        "${glibc:-none}" "$(date -u -r "$1" '+%Y-%m-%d %H:%M UTC')"
}

# The release program: one file that needs only the C library, measured in the same rounds.
release=""
release_info=""
case "${BENCH_RELEASE:-build}" in
0 | no | off) ;;
build)
    echo "Building the release program (scripts/build-release.sh)" >&2
    "$src/scripts/build-release.sh" >&2
    release="$src/build-release/bootstrapper"
    ;;
existing) release="$src/build-release/bootstrapper" ;;
*) release=$(cd "$(dirname "$BENCH_RELEASE")" && pwd)/$(basename "$BENCH_RELEASE") ;;
esac
if [ -n "$release" ]; then
    if [ ! -x "$release" ]; then
        echo "No release program at $release (BENCH_RELEASE=0 to go without)" >&2
        exit 1
    fi
    release_info=$(describe "$release")
fi

# The arm64 release program, when it was made beside it and this machine can run it (qemu-user),
# with the C library of the sysroot it was built against.
arm64="" arm64_root="" arm64_info=""
release_cache=${QZ_RELEASE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmor-release}
if [ -n "$release" ] && [ -x "$(dirname "$release")/aarch64/bootstrapper" ]; then
    if "$src/scripts/arm64-emulation.sh" >&2; then
        arm64="$(dirname "$release")/aarch64/bootstrapper"
        arm64_root="$release_cache/sysroot-bullseye-arm64"
        arm64_info=$(describe "$arm64")
    else
        echo "No arm64 rows: this machine cannot run arm64 programs" >&2
    fi
fi

# The GTK draw counter, an LD_PRELOAD library of the benchmark's own.
counter="$build/bench/libgtk_draw_counter.so"
mkdir -p "$build/bench"
g++ -O2 -std=c++20 -shared -fPIC -o "$counter" "$here/gtk_draw_counter.cpp" -ldl

python=/usr/bin/python3
[ -x "$python" ] || python=python3
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
gtk=$(sed -n 's/^QZ_WITH_GTK:[A-Z]*=//p' "$build/CMakeCache.txt")
commit=$(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git -C "$src" status --porcelain --untracked-files=no -- src 2>/dev/null)" ]; then
    commit="$commit with local changes in src/"
fi

exec "$python" "$here/bench.py" \
    --bootstrapper "$build/src/bootstrapper" \
    --draw-counter "$counter" ${nogtk:+"$nogtk"} \
    ${release:+--release-bootstrapper "$release" --release-info "$release_info"} \
    ${arm64:+--arm64-bootstrapper "$arm64" --arm64-root "$arm64_root" --arm64-info "$arm64_info"} \
    --build-info "$build_type, QZ_WITH_GTK=$gtk, commit $commit" \
    --out "$here/results.md" "$@"
