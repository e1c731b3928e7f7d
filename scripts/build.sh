#!/usr/bin/env bash
# Configures and builds into build/<preset> (default: "release").
#   scripts/build.sh [release|asan|tsan|fuzz]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
target=()
case "$kind" in
  release) opts=() ;;
  asan) opts=(-DWY_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  tsan) opts=(-DWY_TSAN=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  # Only the fuzz targets and what they link: no tests, no programs.
  fuzz) opts=(-DWY_FUZZ=ON -DWY_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
              -DCMAKE_BUILD_TYPE=Debug)
        target=(--target fuzzers) ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac
cmake -S . -B "build/$kind" "${opts[@]}" >/dev/null
cmake --build "build/$kind" -j "$(nproc)" "${target[@]}"
