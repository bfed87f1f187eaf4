#!/bin/sh
# Sets up, builds and runs the demo installers.
set -eu
cd "$(dirname "$0")/.."

scripts/setup-debian.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build

demo_home=$(mktemp -d "${TMPDIR:-/tmp}/qz-demo.XXXXXX")
trap 'rm -rf "$demo_home"' EXIT INT TERM

echo
echo "== An installer whose folder carries the install agent =="
echo "\$ build/demo/installer/setup --dest $demo_home/product"
build/demo/installer/setup --dest "$demo_home/product"
"$demo_home/product/velmor-demo/bin/hello"
