#!/bin/sh
# Takes the pictures of the GTK download window in docs/: downloading, failed (and failed with a
# longer reason) and handing over, and downloading in German.
#   docs/screenshots.sh [BUILD_DIR]     (default: build; it must be built with GTK)
# Needs Xvfb, xdotool, zip, unzip, minisign and ImageMagick's import.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
for tool in Xvfb xdotool import zip unzip minisign; do
    command -v "$tool" >/dev/null || { echo "screenshots.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$build/tests/qz-test-server" ] || { echo "screenshots.sh: build $build first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qz-shots.XXXXXX")
xvfb=""
server=""
cleanup() {
    for pid in $server $xvfb; do
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# wait_for TENTHS COMMAND...: waits up to TENTHS tenths of a second for COMMAND to succeed.
wait_for() {
    tenths=$1
    shift
    until "$@"; do
        tenths=$((tenths - 1))
        [ "$tenths" -ge 0 ] || { echo "screenshots.sh: timed out waiting for: $*" >&2; exit 1; }
        sleep 0.1
    done
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
wait_for 100 test -s "$work/display"
DISPLAY=":$(cat "$work/display")"
export DISPLAY

# An install agent large enough to watch it download.
mkdir -p "$work/agent" "$work/bin"
printf '#!/bin/sh\necho "install agent started"\n' >"$work/agent/install"
chmod 755 "$work/agent/install"
head -c 4000000 /dev/urandom >"$work/agent/payload.bin"
(cd "$work/agent" && zip -q -X ../InstallAgent.zip install payload.bin)

# An unzip that takes its time, so the hand-over can be seen.
real_unzip=$(command -v unzip)
printf '#!/bin/sh\ntouch "%s/unzipping"\nsleep 2\nexec "%s" "$@"\n' "$work" "$real_unzip" \
    >"$work/bin/unzip"
chmod 755 "$work/bin/unzip"

start_server() { # STATUS CHUNK DELAY_MS
    if [ -n "$server" ]; then
        kill "$server"
        wait "$server" 2>/dev/null || true
    fi
    rm -f "$work/port"
    "$build/tests/qz-test-server" --file "$work/InstallAgent.zip" --status "$1" --chunk "$2" \
        --delay-ms "$3" --port-file "$work/port" >/dev/null &
    server=$!
    wait_for 100 test -s "$work/port"
}

run=0
start_installer() { # [LANGUAGE]
    run=$((run + 1))
    dir="$work/run$run"
    mkdir -p "$dir/installer" "$dir/home" "$dir/tmp"
    cp "$build/src/bootstrapper" "$dir/installer/setup"
    cp -R "$build/src/locale" "$dir/installer/"
    cp docs/splash.png "$dir/installer/"
    echo "http://127.0.0.1:$(cat "$work/port")/InstallAgent.zip" >"$dir/installer/installAgentURL.txt"
    if [ -n "${key:-}" ]; then
        cp "$key" "$dir/installer/installAgentKey.pub"
    fi
    rm -f "$work/unzipping"
    PATH="$work/bin:$PATH" HOME="$dir/home" TMPDIR="$dir/tmp" NO_AT_BRIDGE=1 LC_ALL=C.UTF-8 \
        LANGUAGE="${1:-en}" "$dir/installer/setup" >"$dir/out" 2>"$dir/err" &
    installer=$!
    window=$(timeout 10 xdotool search --sync --onlyvisible --pid "$installer" | head -n 1)
}

shoot() { # NAME
    import -window "$window" "docs/window-$1.png"
    echo "docs/window-$1.png"
}

finish_installer() {
    kill "$installer" 2>/dev/null || true
    wait "$installer" 2>/dev/null || true
}

# Downloading: part of the archive is in after four seconds.
start_server 200 16384 40
start_installer
sleep 4
shoot downloading
finish_installer

# The same in German.
start_installer de
sleep 4
shoot downloading-de
finish_installer

# Failed: the server answers 404; the window stays until closed.
start_server 404 0 0
start_installer
wait_for 100 grep -q "Download failed" "$dir/err"
sleep 0.5
shoot failed
finish_installer

# Failed with a longer reason: the installer carries a key and the signature is not there.
minisign -G -W -p "$work/key.pub" -s "$work/key.sec" >/dev/null
key="$work/key.pub"
start_installer
wait_for 100 grep -q "Download failed" "$dir/err"
sleep 0.5
shoot failed-signature
finish_installer
key=""

# Handing over: the archive is being unpacked into the cache.
start_server 200 0 0
start_installer
wait_for 100 test -e "$work/unzipping"
sleep 0.5
shoot handing-over
wait "$installer"
