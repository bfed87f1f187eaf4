#!/bin/sh
# Checks that a release program runs from Debian 11 on and carries everything but the C library:
# no shared library beyond the C library's own, no symbol version newer than GLIBC_2.31, no C++
# runtime from the system, stripped and at most 8 MiB. The GTK module inside it is held to the
# same C library versions (it may need GTK and GLib, which it is loaded for). The program's ELF
# header says its machine, x86-64 or 64-bit ARM, and so which dynamic loader it may name.
#   scripts/check-release.sh [build-release/bootstrapper | build-release/aarch64/bootstrapper]
set -eu

program=${1:-build-release/bootstrapper}
newest_glibc=2.31
max_size=$((8 * 1024 * 1024))
allowed_needed="libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1"

failures=0
fail() {
    echo "  FAILED: $*"
    failures=$((failures + 1))
}

[ -f "$program" ] || { echo "check-release: no program at $program" >&2; exit 2; }
for tool in readelf objdump grep od dd; do
    command -v "$tool" >/dev/null 2>&1 || { echo "check-release: $tool is missing" >&2; exit 2; }
done

# check_versions FILE: the symbol versions FILE asks of the libraries it needs.
check_versions() {
    versions=$(objdump -T "$1" | grep -o '\(GLIBC\|GLIBCXX\|CXXABI\|GCC\)_[A-Z0-9_.]*' | sort -u)
    glibc=$(echo "$versions" | grep '^GLIBC_[0-9.]*$' | sed 's/^GLIBC_//' | sort -V | tail -n 1)
    echo "  newest C library symbol version: GLIBC_${glibc:-none}"
    newer=$(printf '%s\n%s\n' "${glibc:-0}" "$newest_glibc" | sort -V | tail -n 1)
    if [ "$newer" != "$newest_glibc" ]; then
        fail "needs GLIBC_$glibc, newer than GLIBC_$newest_glibc:" \
            "$(objdump -T "$1" | grep -o "(GLIBC_$glibc) .*" | tr '\n' ' ')"
    fi
    others=$(echo "$versions" | grep -v '^GLIBC_[0-9.]*$' || true)
    [ -z "$others" ] ||
        fail "needs versions of the system's C++ runtime or others: $(echo "$others" | tr '\n' ' ')"
}

# needed FILE: the shared libraries FILE names.
needed() {
    readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
}

machine=$(readelf -h "$program" 2>/dev/null | sed -n 's/^ *Machine: *//p')
case "$machine" in
*X86-64) loader=ld-linux-x86-64.so.2 ;;
AArch64) loader=ld-linux-aarch64.so.1 ;;
*) echo "check-release: $program is not an x86-64 or AArch64 program (${machine:-not ELF})" >&2
    exit 2 ;;
esac
allowed_needed="$allowed_needed $loader"

echo "Checking $program ($machine)"
needs=$(needed "$program")
echo "  needs: $(echo "$needs" | tr '\n' ' ')"
for library in $needs; do
    case " $allowed_needed " in
    *" $library "*) ;;
    *) fail "needs $library, which is not part of the C library" ;;
    esac
done
check_versions "$program"
if readelf -S "$program" | grep -q '\.symtab'; then
    fail "not stripped"
fi
size=$(stat -c %s "$program")
echo "  size: $size bytes ($(awk "BEGIN { printf \"%.2f\", $size / 1048576 }") MiB, at most 8 MiB)"
[ "$size" -le "$max_size" ] || fail "larger than 8 MiB"

# The GTK module is an ELF shared object inside the program's read-only data: found by its magic
# number past the program's own header, and cut out where its section headers end.
module=$(mktemp)
trap 'rm -f "$module"' EXIT
found=""
# shellcheck disable=SC2013 # offsets, one word each
for offset in $(grep -obUaP '\x7fELF\x02\x01' "$program" | cut -d: -f1); do
    [ "$offset" -gt 0 ] || continue
    number() { od -An -t "u$2" -j $((offset + $1)) -N "$2" "$program" | tr -d ' '; }
    [ "$(number 16 2)" = 3 ] || continue # ET_DYN: a shared object
    end=$(($(number 40 8) + $(number 58 2) * $(number 60 2)))
    dd if="$program" of="$module" bs=4096 iflag=skip_bytes,count_bytes skip="$offset" \
        count="$end" status=none
    if readelf -h "$module" >/dev/null 2>&1; then
        found=$offset
        break
    fi
done
if [ -z "$found" ]; then
    echo "Checking the GTK module: none inside (a build without GTK)"
else
    echo "Checking the GTK module inside it (at byte $found, $(stat -c %s "$module") bytes)"
    module_machine=$(readelf -h "$module" | sed -n 's/^ *Machine: *//p')
    [ "$module_machine" = "$machine" ] || fail "the GTK module is for $module_machine"
    module_needs=$(needed "$module")
    echo "  needs: $(echo "$module_needs" | tr '\n' ' ')"
    for library in $module_needs; do
        case "$library" in
        libstdc++* | libgcc_s*) fail "needs the system's C++ runtime ($library)" ;;
        esac
    done
    check_versions "$module"
fi

if [ "$failures" -gt 0 ]; then
    echo "check-release: $program: $failures check(s) failed" >&2
    exit 1
fi
echo "check-release: $program passed"
