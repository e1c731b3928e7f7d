#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds and runs the whole test suite.
#   scripts/test.sh [release|asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
scripts/setup.sh
scripts/build.sh "$kind"
cd "build/$kind"
ctest --output-on-failure -j "$(nproc)"
