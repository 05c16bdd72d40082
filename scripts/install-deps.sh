#!/usr/bin/env bash
# Installs the Debian packages that building, testing, the demo and the benchmark need.
# Idempotent: only missing packages are installed, and the package lists are refreshed only
# when something is missing. Installing needs root; a complete machine needs nothing.
set -euo pipefail

packages=(
    # building
    build-essential cmake ninja-build g++ clang
    # format and static checks, the fuzzers' runtime (libFuzzer, sanitizers)
    clang-format clang-tidy libclang-rt-14-dev
    # tests
    googletest libgtest-dev python3 python3-pytest libcap-dev valgrind
    # unshare, setpriv, runuser (the system tests' sandbox)
    util-linux
    # the benchmark and the programs it compares against
    strace gnuplot-nox opendoas sudo
    # the Debian packages (make deb) and their check
    debhelper dpkg-dev lintian
    # the manual pages' lint
    mandoc
    # the front-end under the real service manager (systemd-nspawn); the socket activator
    systemd-container systemd
)

is_installed() {
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = "installed" ]
}

missing=()
for package in "${packages[@]}"; do
    is_installed "$package" || missing+=("$package")
done

if [ "${#missing[@]}" -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

echo "install-deps: missing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install them (apt-get needs it)" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"

still_missing=()
for package in "${missing[@]}"; do
    is_installed "$package" || still_missing+=("$package")
done
if [ "${#still_missing[@]}" -ne 0 ]; then
    echo "install-deps: still missing after install: ${still_missing[*]}" >&2
    exit 1
fi
echo "install-deps: installed ${#missing[@]} package(s)"
