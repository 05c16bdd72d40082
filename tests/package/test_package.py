"""The Debian packages, installed for real with dpkg in the system tests' sandbox.

The sandbox here has no staged layer: /usr, /etc and /var are overlays over the host's own
trees, so dpkg unpacks into them, runs the maintainer scripts and records the packages in the
overlay's copy of its database; the host's is never written. The packages come from
build-deb/ (make deb), or from VORNEX_DEBS.
"""

import glob
import os
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "system"))

from sandbox import REPO, Sandbox, unavailable_reason  # noqa: E402

DEBS = os.environ.get("VORNEX_DEBS", str(REPO / "build-deb"))
CONFFILE = "/etc/vornex/proxy.commands"
MULTIARCH = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], capture_output=True,
                           text=True, check=True).stdout.strip()

# package, path, what `stat -c '%U:%G %a %F'` says about it once installed
FILES = [
    ("vornex", "/usr/libexec/vornex/vornex-command-server", "root:root 755 regular file"),
    ("vornex", "/usr/sbin/vornexctl", "root:root 755 regular file"),
    ("vornex", "/usr/share/man/man8/vornex-command-server.8.gz", "root:root 644 regular file"),
    ("vornex", "/usr/share/man/man5/vornex.commands.5.gz", "root:root 644 regular file"),
    ("vornex", "/usr/share/man/man8/vornexctl.8.gz", "root:root 644 regular file"),
    ("vornex", CONFFILE, "root:root 644 regular file"),
    ("vornex", "/var/vornex", "root:root 755 directory"),
    ("vornex-platform", f"/usr/lib/{MULTIARCH}/libqor.so.0", "root:root 777 symbolic link"),
    ("vornex-platform", f"/usr/lib/{MULTIARCH}/libqor.so.0.1.0", "root:root 644 regular file"),
    ("vornex-platform", f"/usr/lib/{MULTIARCH}/libtholmet.so.0", "root:root 777 symbolic link"),
    ("vornex-platform", f"/usr/lib/{MULTIARCH}/libtholmet.so.0.1.0",
     "root:root 644 regular file"),
    ("vornex-platform", "/usr/share/vornex/check_params.py", "root:root 755 regular file"),
]

TOKEN = "/var/vornex/05/site1/.vornex/.vornex.token"
AUTH_LOG = "/var/vornex/05/site1/.ferrymate.log"
KEPT_USER_DIR = ["/var/vornex", "/var/vornex/05", "/var/vornex/05/site1"]

# what the token component and the server left under /var/vornex before the purge, and what
# `find /var/vornex` lists after it
PURGES = [
    ("nothing", lambda sb: None, []),
    ("empty prefix dirs", lambda sb: (sb.mkdir("/var/vornex/05"), sb.mkdir("/var/vornex/99")),
     []),
    ("empty per-user dir", lambda sb: sb.user_dir("site1", 1005), KEPT_USER_DIR),
    ("token and auth log", lambda sb: (sb.token("site1", 1005, "secret\n"),
                                       sb.write_auth_log("site1", 1005, bytes(24)),
                                       sb.mkdir("/var/vornex/07")),
     KEPT_USER_DIR + [AUTH_LOG, "/var/vornex/05/site1/.vornex", TOKEN]),
]


def packages() -> list[str]:
    found = [glob.glob(os.path.join(DEBS, f"{name}_*.deb")) for name in
             ("vornex-platform", "vornex")]
    if any(len(debs) != 1 for debs in found):
        pytest.fail(f"want one vornex and one vornex-platform package in {DEBS}: make deb")
    return [debs[0] for debs in found]


def root_shell(sb: Sandbox, script: str) -> subprocess.CompletedProcess:
    """A root shell in the sandbox with the system's PATH (dpkg needs ldconfig) and no
    terminal to ask questions on."""
    return sb.shell(script + " </dev/null", timeout=180,
                    env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})


def dpkg(sb: Sandbox, *args: str) -> str:
    done = root_shell(sb, "dpkg " + shlex.join(args))
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout.decode()


@pytest.fixture
def installed():
    reason = unavailable_reason()
    if reason is not None:
        pytest.skip(reason)
    sb = Sandbox(staged=False)
    try:
        sb.hide("/var/lib/man-db/auto-update")  # no manual page index rebuilt per install
        dpkg(sb, "-i", *packages())
        yield sb
    finally:
        sb.close()


def test_dpkg_lists_the_files_with_owner_and_mode(installed):
    listed = {pkg: dpkg(installed, "-L", pkg).splitlines()
              for pkg in ("vornex", "vornex-platform")}
    stat = root_shell(installed, "stat -c '%n|%U:%G %a %F' " +
                      shlex.join(path for _, path, _ in FILES))
    found = dict(line.split("|") for line in stat.stdout.decode().splitlines())
    got = [(pkg, path, path in listed[pkg], found.get(path)) for pkg, path, _ in FILES]
    assert got == [(pkg, path, True, want) for pkg, path, want in FILES]


def test_shipped_command_file_passes_check_and_a_request_runs(installed):
    check = root_shell(installed, "/usr/sbin/vornexctl check")
    assert check.returncode == 0, check.stdout.decode() + check.stderr.decode()
    installed.add_user("site1", 1005)
    installed.token("site1", 1005, "secret\n")
    installed.marker()  # the stand-in container library would write the host's cgroup tree
    installed.commands("whoami=/usr/bin/id\n")
    result = installed.run(user="site1", alias="whoami")
    assert (result.rc, result.stderr) == (0, b""), result
    assert result.stdout.startswith(b"uid=1005(site1) gid=1005(site1)")


def test_reinstall_keeps_an_edited_command_file(installed):
    edited = b"# the administrator's own\nwhoami=/usr/bin/id\n"
    installed.commands(edited)
    dpkg(installed, "-i", *packages())
    assert installed.read(CONFFILE) == edited
    assert installed.listdir("/etc/vornex") == ["proxy.commands"]


@pytest.mark.parametrize("setup,kept", [row[1:] for row in PURGES], ids=[r[0] for r in PURGES])
def test_purge_keeps_per_user_files(installed, setup, kept):
    setup(installed)
    dpkg(installed, "--purge", "vornex")
    left = root_shell(installed, "find /var/vornex " + CONFFILE)
    assert sorted(left.stdout.decode().splitlines()) == sorted(kept)
