#!/usr/bin/env bash
# Builds the release server and the benchmark's own programs, then runs the benchmark as root.
#
#   bench/run.sh [--quick] [--stage DIR]
#
# --quick   a few rounds of every candidate (seconds, no figures asserted), results under
#           build-bench/bench-quick/ instead of bench/; still fails when a candidate fails.
# --stage   use an existing staged install instead of building build-bench/.
# Environment: BENCH_BUILD (default build-bench), CC (default cc), JOBS (default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BENCH_BUILD:-build-bench}
jobs=${JOBS:-2}
cc=${CC:-cc}

quick=()
stage=
while [ $# -gt 0 ]; do
    case $1 in
        --quick) quick=(--quick) ;;
        --stage) stage=$2; shift ;;
        *) echo "usage: bench/run.sh [--quick] [--stage DIR]" >&2; exit 2 ;;
    esac
    shift
done

if [ "$(id -u)" -ne 0 ]; then
    echo "bench: must run as root (mount namespaces, the privilege switches)" >&2
    exit 1
fi

if [ -z "$stage" ]; then
    # The prefix /usr puts the libraries in the multiarch directory, where they are installed.
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORNEX_BUILD_TESTS=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
    cmake --build "$build" -j"$jobs"
    rm -rf "$build/stage"
    DESTDIR="$build/stage" cmake --install "$build" >/dev/null
    stage=$build/stage
fi

tools=$build/bench-tools
mkdir -p "$tools"
flags=(-std=c11 -O2 -Wall -Wextra -Wconversion -Wsign-conversion -Wshadow -Wformat=2
       -Wmissing-declarations -Wmissing-prototypes -Wcast-qual -Wundef -Werror)
"$cc" "${flags[@]}" -o "$tools/runner" bench/runner.c
"$cc" "${flags[@]}" -o "$tools/pwenum" bench/pwenum.c
# Static: no dynamic loading in the least possible switch nor in the trivial validator.
"$cc" "${flags[@]}" -static -o "$tools/bare_switch" bench/bare_switch.c
"$cc" "${flags[@]}" -static -o "$tools/true_validator" bench/true_validator.c

exec /usr/bin/python3 bench/bench.py "${quick[@]}" --stage "$stage" --tools "$tools" \
    --command "bench/run.sh${quick:+ --quick}"
