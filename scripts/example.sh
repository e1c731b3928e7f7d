#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds tarn and runs it on the example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release
build/release/src/opt/tarn/tarn -v
