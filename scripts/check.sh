#!/usr/bin/env bash
# The whole check, as CI runs it (make check): dependencies; a gcc build with its tests; a
# clang ASan + UBSan build with the same tests; the fuzzers; formatting; the manual pages'
# lint; clang-tidy; the Debian packages and their tests. Every phase runs even when an earlier
# one failed (a phase whose build failed is skipped), the last line sums up, and the exit
# status is non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

phases=()
results=()
durations=()
failed=()
unavailable=()

format_seconds() {
    printf '%dm%02ds' $(($1 / 60)) $(($1 % 60))
}

# run_phase NAME COMMAND...: runs one phase and records its outcome and duration.
run_phase() {
    local name=$1
    shift
    echo
    echo "==== check: $name"
    local start=$SECONDS
    local result=ok
    "$@" || result=FAILED
    local took=$((SECONDS - start))
    echo "==== check: $name $result in $(format_seconds "$took")"
    phases+=("$name")
    results+=("$result")
    durations+=("$took")
    [ "$result" = ok ] || failed+=("$name")
    [ "$result" = ok ]
}

skip_phase() {
    echo
    echo "==== check: $1 skipped ($2)"
    phases+=("$1")
    results+=(skipped)
    durations+=(0)
    failed+=("$1")
}

run_tests() {
    ctest --test-dir "$1" --output-on-failure -j2
}

check_format() {
    local files file
    local unformatted=()
    mapfile -t files < <(scripts/sources.sh)
    for file in "${files[@]}"; do
        clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
    done
    if [ "${#unformatted[@]}" -ne 0 ]; then
        printf 'format: not clang-formatted: %s\n' "${unformatted[@]}"
        echo "format: ${#unformatted[@]} of ${#files[@]} files; make format fixes them"
        return 1
    fi
    echo "format: ${#files[@]} files clean"
}

# unavailable_phase NAME REASON: a phase this machine cannot run at all. It is reported as
# skipped, with the reason, in its place and in the summary; it neither passes nor fails.
unavailable_phase() {
    echo
    echo "==== check: $1 skipped ($2)"
    phases+=("$1")
    results+=(skipped)
    durations+=(0)
    unavailable+=("$1: $2")
}

summary() {
    local total=$((SECONDS - check_start))
    echo
    echo "==== check: summary"
    local i
    for i in "${!phases[@]}"; do
        printf '  %-12s %-8s %s\n' "${phases[$i]}" "${results[$i]}" \
            "$(format_seconds "${durations[$i]}")"
    done
    for i in "${!unavailable[@]}"; do
        echo "  NOT RUN on this machine: ${unavailable[$i]}"
    done
    if [ "${#failed[@]}" -eq 0 ]; then
        echo "CHECK PASSED: ${#phases[@]} phases in $(format_seconds "$total")"
        exit 0
    fi
    echo "CHECK FAILED: ${failed[*]} (${#phases[@]} phases in $(format_seconds "$total"))"
    exit 1
}

check_start=$SECONDS

if ! run_phase deps scripts/install-deps.sh; then
    summary
fi

if run_phase gcc-build scripts/build.sh build -DVORNEX_WERROR=ON; then
    run_phase gcc-tests run_tests build
else
    skip_phase gcc-tests "gcc build failed"
fi

if run_phase asan-build env CC=clang CXX=clang++ \
        scripts/build.sh build-asan -DVORNEX_SANITIZE=ON -DVORNEX_WERROR=ON; then
    run_phase asan-tests run_tests build-asan
else
    skip_phase asan-tests "sanitizer build failed"
fi

run_phase fuzz scripts/fuzz.sh
# The benchmark once, in its short mode: it asserts nothing about times, only that every
# candidate runs.
run_phase bench-quick bench/run.sh --quick
run_phase format check_format
run_phase man-lint scripts/man-lint.sh
run_phase tidy scripts/tidy.sh build
# The socket and service units of the package, with systemd-analyze over the staged install.
run_phase units scripts/units.sh build
# The Debian packages, built from the tracked files and checked by lintian; then installed
# with dpkg in the sandbox, and the system tests once more against the packages' files.
if run_phase deb scripts/deb.sh; then
    run_phase deb-tests scripts/deb.sh test
    # The way in under the real service manager, in a container; where systemd-nspawn cannot
    # run, the phase is reported as not run, with the reason, and never counted as passed.
    if reason=$(scripts/service-check.sh --can-run); then
        run_phase service scripts/service-check.sh
    else
        unavailable_phase service "$reason"
    fi
else
    skip_phase deb-tests "package build failed"
fi

summary
