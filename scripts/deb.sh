#!/usr/bin/env bash
# The Debian packages vornex and vornex-platform.
#
#   scripts/deb.sh        (make deb) installs the build dependencies, copies the tracked files
#                         (with their uncommitted changes) to build-deb/src, so that the working
#                         tree never sees a build product, builds there with
#                         dpkg-buildpackage and checks the result with lintian, which must
#                         report no error and no warning. The .deb, .changes and .buildinfo
#                         files are left in build-deb/.
#   scripts/deb.sh test   installs the built packages with dpkg in the system tests' sandbox
#                         (tests/package), then runs the whole system test suite against the
#                         packages' files, unpacked into build-deb/stage, with the native test
#                         helpers of the gcc build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build-deb
pytest=(/usr/bin/python3 -m pytest -q -p no:cacheprovider)

build() {
    scripts/install-deps.sh
    rm -rf "$out"
    mkdir -p "$out/src"
    git ls-files -z | tar --null --ignore-failed-read -T - -c | tar -x -C "$out/src"
    (cd "$out/src" && dpkg-buildpackage -b -us -uc -j2)
    echo "deb: built $(cd "$out" && echo ./*.deb)"
    lintian --fail-on error,warning --display-info --pedantic "$out"/vornex_*.changes
    echo "deb: lintian reports no error and no warning"
}

run_tests() {
    local debs=("$out"/vornex_*.deb "$out"/vornex-platform_*.deb)
    local deb status=0
    for deb in "${debs[@]}"; do
        [ -f "$deb" ] || { echo "deb: $deb is missing; run make deb first" >&2; return 1; }
    done
    if [ ! -x build/tests/system/native/probe ]; then
        echo "deb: the native test helpers of build/ are missing; run make build first" >&2
        return 1
    fi
    "${pytest[@]}" tests/package || status=1
    rm -rf "$out/stage"
    for deb in "${debs[@]}"; do
        dpkg-deb -x "$deb" "$out/stage"
    done
    VORNEX_STAGE="$PWD/$out/stage" VORNEX_NATIVE="$PWD/build/tests/system/native" \
        VORNEX_BUILD="$PWD/build" "${pytest[@]}" tests/system || status=1
    return "$status"
}

case "${1:-build}" in
    build) build ;;
    test) run_tests ;;
    *)
        echo "usage: scripts/deb.sh [build|test]" >&2
        exit 2
        ;;
esac
