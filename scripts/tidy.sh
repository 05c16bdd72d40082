#!/usr/bin/env bash
# Runs clang-tidy (the repo's .clang-tidy) over the sources of src/ and platform/, with the
# compile commands of the given build directory (default build/, configured if needed).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
if [ ! -f "$build/compile_commands.json" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi

mapfile -t files < <(scripts/sources.sh src platform | grep -E '\.(c|cc|cpp)$' || true)
if [ "${#files[@]}" -eq 0 ]; then
    echo "tidy: no sources under src/ or platform/"
    exit 0
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export build out
# One clang-tidy per file, two at a time; each leaves its findings in a file of its own, and a
# marker when it failed.
printf '%s\n' "${files[@]}" | xargs -d '\n' -n 1 -P 2 sh -c '
    name=$(printf "%s" "$1" | tr / _)
    if ! clang-tidy -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option "$1" \
            >"$out/$name.log" 2>&1; then
        echo "$1" >"$out/$name.failed"
    fi' sh || true

cat "$out"/*.log | grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' || true
failed=$(cat "$out"/*.failed 2>/dev/null | sort | tr '\n' ' ' || true)
if [ -n "$failed" ]; then
    echo "tidy: findings in $(echo "$failed" | wc -w) of ${#files[@]} files: $failed" >&2
    exit 1
fi
echo "tidy: ${#files[@]} files clean"
