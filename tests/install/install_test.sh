#!/usr/bin/env bash
# cmake --install into an empty prefix gives the layout hosts rely on, and a launcher's own
# project finds the package, builds the sample host against it and drives the installed module.
#   install_test.sh <build-dir> <source-dir>
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for file in include/lumo/lumo_downloader.h include/zdl/zdl_engine.h lib/liblumodownload.so \
  lib/libzdlcore.so bin/lumoget lib/cmake/lumodownload/lumodownloadConfig.cmake \
  lib/cmake/lumodownload/lumodownloadConfigVersion.cmake share/doc/lumodownload/host-guide.md; do
  [ -f "$work/prefix/$file" ] || { echo "missing after install: $file" >&2; exit 1; }
done

cmake -S "$source/docs/sample" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null

# The installed module loads, initialises, refuses nothing and ends: a URL nobody serves fails
# the job (exit 1), a usage error is 2.
set +e
"$work/consumer/sample_host" "$work/downloads" "http://127.0.0.1:9/nothing.bin" >"$work/out" 2>&1
status=$?
"$work/consumer/sample_host" >/dev/null 2>&1
usage=$?
set -e
[ "$status" = 1 ] || { cat "$work/out"; echo "sample host exit $status, expected 1" >&2; exit 1; }
[ "$usage" = 2 ] || { echo "sample host usage exit $usage, expected 2" >&2; exit 1; }
# lumoget from bin/ finds the module in ../lib.
"$work/prefix/bin/lumoget" --help >/dev/null
echo "install test: ok"
