#!/usr/bin/env bash
# Verifies the package's systemd units (debian/vornex.socket, debian/vornex.service) with
# systemd-analyze. The units name the installed listener, so the verification runs in a
# private mount namespace in which the staged install lies over /usr; the host's /usr is not
# written. Any line systemd-analyze prints is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
stage="$PWD/$build/stage"
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp debian/vornex.socket debian/vornex.service "$work/"
output=$(unshare -m --propagation private sh -c \
    'mount -t overlay overlay -o "lowerdir=$0/usr:/usr" /usr &&
     exec systemd-analyze verify --man=no "$1/vornex.socket" "$1/vornex.service"' \
    "$stage" "$work" 2>&1) || { echo "$output"; echo "units: verify failed" >&2; exit 1; }
if [ -n "$output" ]; then
    echo "$output"
    echo "units: systemd-analyze reported the lines above" >&2
    exit 1
fi
echo "units: vornex.socket and vornex.service verify cleanly"
