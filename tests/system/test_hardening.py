"""The installed programs and the libraries they load as root are built hardened: read from
the files themselves with readelf."""

import glob
import os
import subprocess

import pytest

STAGE = os.environ.get("VORNEX_STAGE", "")
SANITIZED = os.environ.get("VORNEX_SANITIZED") == "1"
PROGRAMS = ["usr/libexec/vornex/vornex-command-server", "usr/sbin/vornexctl",
            "usr/libexec/vornex/vornex-check-params"]
LIBRARIES = ["libqor.so.0", "libtholmet.so.0"]
COMPILER_OPTIONS = ["-fstack-protector-strong", "-fstack-clash-protection", "-fcf-protection"]


def installed():
    files = [os.path.join(STAGE, p) for p in PROGRAMS]
    for name in LIBRARIES:
        found = glob.glob(os.path.join(STAGE, "usr/lib*", "**", name), recursive=True)
        assert len(found) == 1, (name, found)
        files += found
    return files


def readelf(*args):
    done = subprocess.run(["readelf", "-W", *args], capture_output=True, text=True, check=True)
    return done.stdout


@pytest.mark.skipif(not STAGE, reason="no staged install")
@pytest.mark.parametrize("index", range(len(PROGRAMS) + len(LIBRARIES)))
def test_installed_file_is_hardened(index):
    path = installed()[index]
    dynamic = readelf("-d", path)
    flags_1 = [line for line in dynamic.splitlines() if "(FLAGS_1)" in line]
    assert "GNU_RELRO" in readelf("-l", path), path
    assert "BIND_NOW" in dynamic or "NOW" in " ".join(flags_1), path
    if index < len(PROGRAMS):
        assert "PIE" in " ".join(flags_1), path
    assert "__stack_chk_fail" in readelf("--dyn-syms", path), path
    recorded = readelf("-p", ".GCC.command.line", path)
    for option in COMPILER_OPTIONS:
        assert option in recorded, (path, option)
    if not SANITIZED:
        # The sanitizers replace the fortified calls; elsewhere the level must be 3.
        assert "fortify 3" in readelf("-p", ".vornex.hardening", path), path
