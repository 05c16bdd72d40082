#!/usr/bin/env bash
# make demo: installs what is missing, builds build/, stages the install into build/stage and
# shows requests end to end in throw-away sandboxes (scripts/demo.py). The host is not changed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh build
DESTDIR="$PWD/build/stage" cmake --install build --prefix /usr >/dev/null
VORNEX_STAGE="$PWD/build/stage" VORNEX_NATIVE="$PWD/build/tests/system/native" \
    exec /usr/bin/python3 scripts/demo.py
