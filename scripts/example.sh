#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds tarn and copies the example tree
# that ships with the project, then lists the copy; both runs print their
# report.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release
tarn=build/release/src/opt/tarn/tarn
out=$(mktemp -d /tmp/tarn_example.XXXXXX)
echo "== tarn mode=cp if=examples/tree of=$out/copy"
"$tarn" mode=cp if=examples/tree of="$out/copy" level=dbg
echo "== tarn mode=ls if=$out/copy olist=$out/list.txt"
"$tarn" mode=ls if="$out/copy" olist="$out/list.txt" level=dbg
echo "== $out/list.txt"
cat "$out/list.txt"
rm -rf "$out"
