#!/usr/bin/env bash
# The self-test program run on a Windows build tree laid out as an unpacked release (the
# deliverables and README.txt in a release folder, the trial programs in its selftest folder),
# then its installation check on the same folder. The release stage runs both on the shipped
# zips; this run is for coverage builds, whose counts then include the self-test program.
# Usage: build_tree_selftest.sh BUILD-DIR README.txt; WINEPREFIX as the wine fixture's.
set -euo pipefail
build=$1 readme=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
release=$work/release
mkdir -p "$release/selftest"
cp "$build"/bin/*.exe "$build"/bin/*.dll "$readme" "$release/"
for f in quill_record_host.exe TestNested.dll quill_ts_generate.exe quill_share_probe.exe \
    proxy_send.exe selftest_util.exe; do
  cp "$build/tests/$f" "$release/selftest/"
done
cd "$release/selftest"
wine selftest_util.exe </dev/null
wine selftest_util.exe /check "Z:${release//\//\\}" </dev/null
