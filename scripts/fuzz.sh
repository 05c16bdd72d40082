#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) into build-fuzz/ and runs each for
# FUZZ_SECONDS (default 30) on a copy of its seed corpus; the checked-in corpus is never written.
# A crash, a leak or a broken invariant fails the run; the input that caused it is kept in
# build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-30}
targets=(fuzz_command_file fuzz_auth fuzz_wire fuzz_rules fuzz_schedule)

CC=clang CXX=clang++ TARGETS="${targets[*]}" scripts/build.sh "$build" \
    -DVORNEX_FUZZ=ON -DVORNEX_SANITIZE=ON -DVORNEX_BUILD_TESTS=OFF

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts="$build/artifacts"
mkdir -p "$artifacts"

failed=()
for target in "${targets[@]}"; do
    corpus_name=${target#fuzz_}
    mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
    cp -R "fuzz/corpus/$corpus_name/." "$work/$target/corpus/"
    echo "fuzz: $target for ${seconds}s on $(find "$work/$target/corpus" -type f | wc -l) seeds"
    status=0
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" \
        "$work/$target/corpus" >"$work/$target/log" 2>&1 || status=$?
    found=$(find "$work/$target/artifacts" -type f | wc -l)
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ *DONE)' \
        "$work/$target/log" | sed "s/^/fuzz: $target: /" || true
    if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
        tail -n 60 "$work/$target/log"
        cp "$work/$target/artifacts/"* "$artifacts/" 2>/dev/null || true
        echo "fuzz: $target FAILED (status $status); inputs kept in $artifacts/;" \
             "reproduce with $build/fuzz/$target $artifacts/<file>" >&2
        failed+=("$target")
    fi
done

if [ "${#failed[@]}" -ne 0 ]; then
    echo "fuzz: failed: ${failed[*]}" >&2
    exit 1
fi
echo "fuzz: ${#targets[@]} targets, ${seconds}s each, no crash"
