#!/usr/bin/env bash
# Lints what is shipped for people to read or to source: the manual pages with mandoc (every
# page under man/, or the pages given) and the bash completion files under completion/ with
# `bash -n`. A mandoc message above style level (warning, error, unsupported feature) fails
# the page; style suggestions are not reported. Exit status 0 when all is clean, 1 otherwise.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

pages=("$@")
shopt -s nullglob
if [ "${#pages[@]}" -eq 0 ]; then
    pages=(man/*.[1-9])
    completions=(completion/*)
else
    completions=()
fi
if [ "${#pages[@]}" -eq 0 ]; then
    echo "man-lint: no manual pages found" >&2
    exit 1
fi

failed=0
for page in "${pages[@]}"; do
    # -W warning: only warnings and worse are shown, and only they make the status non-zero.
    if ! mandoc -T lint -W warning "$page"; then
        echo "man-lint: $page: messages above style level (or unreadable)"
        failed=$((failed + 1))
    fi
done
for file in "${completions[@]}"; do
    if ! bash -n "$file"; then
        echo "man-lint: $file: not valid bash"
        failed=$((failed + 1))
    fi
done
if [ "$failed" -ne 0 ]; then
    echo "man-lint: $failed of $((${#pages[@]} + ${#completions[@]})) files failed"
    exit 1
fi
echo "man-lint: ${#pages[@]} pages and ${#completions[@]} completion files clean"
