#!/usr/bin/env bash
# Lists the C and C++ sources of the tree, one per line, relative to its top: the tracked files
# and new files that .gitignore does not exclude. Optional arguments limit it to those paths.
set -euo pipefail
cd "$(git -C "$(dirname "$0")" rev-parse --show-toplevel)"
git ls-files --cached --others --exclude-standard -- "${@:-.}" \
    | grep -E '\.(c|cc|cpp|cxx|h|hh|hpp)$' \
    | while IFS= read -r file; do [ -f "$file" ] && printf '%s\n' "$file"; done \
    || true
