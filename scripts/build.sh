#!/usr/bin/env bash
# Configures (Ninja for a new build directory) and builds one build tree, two jobs at a time.
# Usage: scripts/build.sh DIR [CMAKE_ARGS...]; CC and CXX pick the compilers as usual, and
# TARGETS (blank-separated) limits the build to those targets.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${1:?usage: scripts/build.sh DIR [CMAKE_ARGS...]}
shift
generator=()
# An existing tree keeps the generator that it was configured with.
[ -f "$dir/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
targets=()
for target in ${TARGETS:-}; do
    targets+=(--target "$target")
done
cmake --build "$dir" -j2 "${targets[@]}"
