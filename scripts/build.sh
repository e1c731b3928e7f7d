#!/usr/bin/env bash
# Configures and builds into build/<preset> (default: "release").
#   scripts/build.sh [release|asan|tsan|fuzz]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
case "$kind" in
  release) opts=() ;;
  asan) opts=(-DWY_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  tsan) opts=(-DWY_TSAN=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  fuzz) opts=(-DWY_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug) ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac
cmake -S . -B "build/$kind" "${opts[@]}" >/dev/null
cmake --build "build/$kind" -j "$(nproc)"
