#!/bin/sh
# Sets up and builds the project, then makes demo installers with tools/make-installer, signed with
# a key made for the demo, and runs them: one carrying its install agent, one downloading it from
# a local server, and the refusal of a tampered archive. Everything lies in one temporary folder,
# removed at the end.
set -eu
cd "$(dirname "$0")/.."

scripts/setup-debian.sh demo
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_WITH_GTK=AUTO >/dev/null
# Only what the demo runs: the program, its catalogs and the small server; not the tests.
cmake --build build --target bootstrapper catalogs qz-test-server

demo=$(mktemp -d "${TMPDIR:-/tmp}/qz-demo.XXXXXX")
server=""
cleanup() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
# The installers' scratch directories, too, go into the demo's folder.
mkdir "$demo/tmp"
export TMPDIR="$demo/tmp"

# show [NAME=VALUE...] COMMAND...: prints the command, with the demo's folder as $DEMO, then
# runs it with those variables set.
show() {
    line=""
    for word in "$@"; do
        case "$word" in
        *[!A-Za-z0-9_./=:-]*) word="\"$word\"" ;;
        esac
        line="$line $word"
    done
    printf '$%s\n' "$line" | sed "s|$demo|\$DEMO|g"
    env "$@"
}
section() {
    echo
    echo "== $* =="
}

section "A release key, made for the demo (in \$DEMO=$demo)"
show minisign -G -W -p "$demo/release.pub" -s "$demo/release.key" | sed "s|$demo|\$DEMO|g"
(cd demo/product && zip -q -X -r "$demo/bundle.zip" velmor-demo)
sign="--secret-key $demo/release.key --public-key $demo/release.pub --version 1"

section "An installer that carries its signed install agent"
# shellcheck disable=SC2086
show tools/make-installer --bootstrapper build/src/bootstrapper --translations build/src/locale \
    --agent demo/agent \
    --product "$demo/bundle.zip" --embed $sign --output "$demo/Velmor Demo.app"
echo "(Contents/Resources: $(ls "$demo/Velmor Demo.app/Contents/Resources" | paste -sd ' ' -))"
echo
show "$demo/Velmor Demo.app/Contents/MacOS/Velmor Demo" --dest "$demo/product"
show "$demo/product/velmor-demo/bin/hello"

section "An installer that downloads its signed install agent"
mkdir "$demo/www"
build/tests/qz-test-server --directory "$demo/www" --etag '"demo-1"' \
    --port-file "$demo/port" >/dev/null &
server=$!
while [ ! -s "$demo/port" ]; do
    kill -0 "$server" 2>/dev/null || { echo "the demo server did not start" >&2; exit 1; }
    sleep 0.1
done
url="http://127.0.0.1:$(cat "$demo/port")/velmor/InstallAgent.zip"
echo "(a local server publishes \$DEMO/www at http://127.0.0.1:$(cat "$demo/port")/)"
# shellcheck disable=SC2086
show tools/make-installer --bootstrapper build/src/bootstrapper --translations build/src/locale \
    --agent demo/agent \
    --product "$demo/bundle.zip" --splash docs/splash.png --url "$url" \
    --publish "$demo/www/velmor" $sign --output "$demo/Installer"
echo "(published: $(ls "$demo/www/velmor" | paste -sd ' ' -))"
echo
echo "First run: downloads the signature and the archive, checks them, caches the install agent"
show HOME="$demo/home" "$demo/Installer/setup" --dest "$demo/product2"
echo
echo "Second run: the server's ETag is unchanged, so the cached install agent is started"
show HOME="$demo/home" "$demo/Installer/setup" --dest "$demo/product3"
echo "(the cache: $(ls -A "$demo/home/.velmor/app_installer_cache/V1904c/maci64" | paste -sd ' ' -))"

section "A tampered archive is refused"
archive="$demo/www/velmor/InstallAgent.zip"
middle=$(($(wc -c <"$archive") / 2))
byte=$(od -An -tu1 -j "$middle" -N1 "$archive" | tr -d ' ')
# shellcheck disable=SC2059
printf "$(printf '\\%03o' $((byte ^ 1)))" |
    dd of="$archive" bs=1 seek="$middle" count=1 conv=notrunc 2>/dev/null
echo "(one bit of byte $middle of the published archive flipped; a user without a cache runs it)"
if show HOME="$demo/home-2" "$demo/Installer/setup" --dest "$demo/product4"; then
    echo "The tampered archive was not refused." >&2
    exit 1
else
    status=$?
    [ ! -e "$demo/product4" ] || { echo "The tampered install agent ran." >&2; exit 1; }
    echo "(exit status $status; the install agent did not run, \$DEMO/product4 was not made)"
fi
