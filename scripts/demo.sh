#!/bin/sh
# Sets up, builds and runs the demo installers.
set -eu
cd "$(dirname "$0")/.."

scripts/setup-debian.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_WITH_GTK=AUTO >/dev/null
cmake --build build

demo_home=$(mktemp -d "${TMPDIR:-/tmp}/qz-demo.XXXXXX")
trap 'rm -rf "$demo_home"' EXIT INT TERM

echo
echo "== An installer whose folder carries the install agent =="
echo "\$ build/demo/installer/setup --dest $demo_home/product"
build/demo/installer/setup --dest "$demo_home/product"
"$demo_home/product/velmor-demo/bin/hello"

echo
echo "== An installer that downloads the install agent =="
port_file="$demo_home/port"
build/tests/qz-test-server --file build/demo/InstallAgent.zip --etag '"demo-1"' \
    --port-file "$port_file" >/dev/null &
server=$!
trap 'kill $server 2>/dev/null; rm -rf "$demo_home"' EXIT INT TERM
while [ ! -s "$port_file" ]; do
    kill -0 $server 2>/dev/null || { echo "the demo server did not start" >&2; exit 1; }
    sleep 0.1
done
installer=build/demo/download-installer
echo "http://127.0.0.1:$(cat "$port_file")/InstallAgent.zip" > "$installer/installAgentURL.txt"
echo "(serving the install agent at $(cat "$installer/installAgentURL.txt"))"

echo
echo "\$ HOME=$demo_home/home $installer/setup --dest $demo_home/product2    # first run: downloads"
HOME="$demo_home/home" "$installer/setup" --dest "$demo_home/product2"
echo
echo "\$ HOME=$demo_home/home $installer/setup --dest $demo_home/product3    # second run: cache hit"
HOME="$demo_home/home" "$installer/setup" --dest "$demo_home/product3"
echo
echo "The cached install agent: $(ls "$demo_home/home/.velmor/app_installer_cache/V1904c/maci64/installagent")"
