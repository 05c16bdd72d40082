#!/usr/bin/env bash
# Builds the release server and the benchmark's own programs, then runs the benchmark as root.
#
#   bench/run.sh [--quick] [--stage DIR]
#
# --quick   the benchmark's own tests, then a few rounds of every candidate (seconds, no
#           figures asserted), results under build-bench/bench-quick/ instead of bench/;
#           fails when a candidate fails to run.
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
# Linked as the server is, against the staged platform libraries (found by soname at run time).
"$cc" "${flags[@]}" -Iplatform/qor -Iplatform/tholmet -fPIE -pie -Wl,-z,now -Wl,--no-as-needed \
    -L"$stage/usr/lib/x86_64-linux-gnu" -L"$stage/usr/lib" -o "$tools/platform_libs" \
    bench/platform_libs.c -l:libqor.so.0 -l:libtholmet.so.0

export PYTHONDONTWRITEBYTECODE=1
if [ ${#quick[@]} -gt 0 ]; then
    /usr/bin/python3 -m pytest -q -p no:cacheprovider bench
fi

exec /usr/bin/python3 bench/bench.py "${quick[@]}" --stage "$stage" --tools "$tools" \
    --command "bench/run.sh${quick:+ --quick}"
