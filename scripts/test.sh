#!/bin/sh
# Sets up, checks the C++ files' format, then builds and runs every test: once in a normal build,
# once with AddressSanitizer and UndefinedBehaviorSanitizer, once with ThreadSanitizer (the
# unpacking runs on a worker thread).
# Warnings are errors; the ASan build links each layer as a shared library that must resolve every
# symbol, so a call from a layer to one above it fails the build.
# Then the release programs for x86-64 and arm64: built against Debian 11, checked for what they
# need when they load, and run in Debian 11, Debian 13 and Debian 11 desktop chroots of their
# architecture, arm64 under qemu (QZ_SKIP_RELEASE=1 leaves it out; where the machine cannot run
# arm64 programs, their chroot cases are skipped with a line saying why).
set -eu
cd "$(dirname "$0")/.."

scripts/setup-debian.sh test

# Every C++ file as the project's .clang-format writes it.
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_WITH_GTK=AUTO -DQZ_WERROR=ON \
    >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQZ_SANITIZE=ON -DQZ_WITH_GTK=AUTO \
    -DQZ_WERROR=ON -DBUILD_SHARED_LIBS=ON -DCMAKE_SHARED_LINKER_FLAGS=-Wl,--no-undefined >/dev/null
cmake --build build-sanitize
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    ctest --test-dir build-sanitize --output-on-failure -j2

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_TSAN=ON -DQZ_WITH_GTK=AUTO \
    -DQZ_WERROR=ON >/dev/null
cmake --build build-tsan
TSAN_OPTIONS=${TSAN_OPTIONS:-suppressions=$PWD/tests/tsan.supp:halt_on_error=1} \
    ctest --test-dir build-tsan --output-on-failure -j2

if [ "${QZ_SKIP_RELEASE:-0}" != 1 ]; then
    scripts/build-release.sh
    tests/release/run.sh build-release/bootstrapper
    if scripts/arm64-emulation.sh; then
        tests/release/run.sh build-release/aarch64/bootstrapper bullseye-arm64 trixie-arm64 \
            bullseye-arm64-desktop
    else
        echo "test: the arm64 chroot cases are skipped: this machine cannot run arm64 programs"
    fi
fi
