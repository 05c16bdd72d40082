#!/usr/bin/env bash
# Builds the release server and the benchmark's own programs, then runs the benchmark as root.
#
#   bench/run.sh [--quick] [--way-in [--before DIR]] [--stage DIR]
#
# --quick   the benchmark's own tests, then a few rounds of every candidate (seconds, no
#           figures asserted), results under build-bench/bench-quick/ instead of bench/;
#           fails when a candidate fails to run.
# --way-in  only the whole way in (client, front-end, server) against its peers; replaces
#           that section of the results.
# --before  with --way-in: the client and front-end of another staged install (an older
#           build's, say) run the way in too, paired in the same set.
# --stage   use an existing staged install instead of building build-bench/.
# Environment: BENCH_BUILD (default build-bench), CC (default cc), JOBS (default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BENCH_BUILD:-build-bench}
jobs=${JOBS:-2}
cc=${CC:-cc}

quick=()
way_in=()
before=()
stage=
while [ $# -gt 0 ]; do
    case $1 in
        --quick) quick=(--quick) ;;
        --way-in) way_in=(--way-in) ;;
        --before) before=(--before "$2"); shift ;;
        --stage) stage=$2; shift ;;
        *) echo "usage: bench/run.sh [--quick] [--way-in [--before DIR]] [--stage DIR]" >&2; exit 2 ;;
    esac
    shift
done

if [ "$(id -u)" -ne 0 ]; then
    echo "bench: must run as root (mount namespaces, the privilege switches)" >&2
    exit 1
fi

# One benchmark at a time per build directory: a second run (make check's quick one, say)
# would rebuild the stage and the programs under the first one's feet. The lock is held by
# the benchmark itself, to which this shell hands its descriptor with exec.
mkdir -p "$build"
exec 9>"$build/.bench.lock"
if ! flock -n 9; then
    echo "bench: waiting for the other benchmark run in $build" >&2
    flock 9
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
# compile NAME EXTRA...: bench/NAME.c into $tools/NAME.
compile() {
    local name=$1
    shift
    "$cc" "${flags[@]}" -o "$tools/$name" "bench/$name.c" "$@"
}
compile runner
compile pwenum
# Static: no dynamic loading in the least possible switch nor in the trivial validator.
compile bare_switch -static
compile true_validator -static
# Linked as the server is, against the staged platform libraries (found by soname at run time).
compile platform_libs -Iplatform/qor -Iplatform/tholmet -fPIE -pie -Wl,-z,now -Wl,--no-as-needed \
    -L"$stage/usr/lib/x86_64-linux-gnu" -L"$stage/usr/lib" -l:libqor.so.0 -l:libtholmet.so.0

export PYTHONDONTWRITEBYTECODE=1
if [ ${#quick[@]} -gt 0 ]; then
    /usr/bin/python3 -m pytest -q -p no:cacheprovider bench
fi

exec /usr/bin/python3 bench/bench.py "${quick[@]}" "${way_in[@]}" "${before[@]}" --stage "$stage" --tools "$tools" \
    --command "bench/run.sh${quick:+ --quick}"
