"""The Debian packages (build-deb/, or VORNEX_DEBS), installed with dpkg in a sandbox whose /usr,
/etc and /var are overlays over the host's own trees: dpkg runs the maintainer scripts and
writes only the overlay's copy of its database."""

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
CONF = "/etc/vornex/proxy.commands"
LIB = "/usr/lib/" + subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"],
                                   capture_output=True, text=True, check=True).stdout.strip()
FILE, EXE, LINK = "644 regular file", "755 regular file", "777 symbolic link"

# package: path -> mode and type once installed (every one owned by root:root)
FILES = {
    "vornex": {"/usr/libexec/vornex/vornex-command-server": EXE, "/usr/sbin/vornexctl": EXE,
               "/usr/share/man/man8/vornex-command-server.8.gz": FILE,
               "/usr/share/man/man5/vornex.commands.5.gz": FILE,
               "/usr/share/man/man8/vornexctl.8.gz": FILE, CONF: FILE,
               "/var/vornex": "755 directory",
               "/usr/bin/vornex": EXE, "/usr/libexec/vornex/vornexd": EXE,
               "/usr/libexec/vornex/vornex-frontend": EXE,
               "/usr/share/man/man1/vornex.1.gz": FILE, "/usr/share/man/man8/vornexd.8.gz": FILE,
               "/lib/systemd/system/vornex.socket": FILE,
               "/lib/systemd/system/vornex.service": FILE,
               "/usr/share/bash-completion/completions/vornex": FILE,
               "/usr/share/bash-completion/completions/vornexctl": FILE},
    "vornex-platform": {f"{LIB}/libqor.so.0": LINK, f"{LIB}/libqor.so.0.1.0": FILE,
                        f"{LIB}/libtholmet.so.0": LINK, f"{LIB}/libtholmet.so.0.1.0": FILE,
                        "/usr/libexec/vornex/vornex-check-params": EXE,
                        "/usr/share/vornex/check_params.py": LINK,
                        "/usr/share/man/man5/vornex.rules.5.gz": FILE,
                        "/etc/vornex/params.rules": FILE},
}

USER_DIR = ["/var/vornex", "/var/vornex/05", "/var/vornex/05/site1"]
USER_FILES = ["/var/vornex/05/site1/.ferrymate.log", "/var/vornex/05/site1/.vornex",
              "/var/vornex/05/site1/.vornex/.vornex.token"]
# name: what lies under /var/vornex before the purge, what `find` lists there after it
PURGES = {
    "nothing": (lambda sb: None, []),
    "empty prefix dirs": (lambda sb: [sb.mkdir(f"/var/vornex/{nn}") for nn in ("05", "99")], []),
    "empty user dir": (lambda sb: sb.user_dir("site1", 1005), USER_DIR),
    "token, auth log": (lambda sb: (sb.token("site1", 1005, "x"), sb.mkdir("/var/vornex/07"),
                                    sb.write_auth_log("site1", 1005, bytes(24))),
                        USER_DIR + USER_FILES),
}


def root_shell(sb: Sandbox, script: str) -> subprocess.CompletedProcess:
    # the system's PATH, since dpkg runs ldconfig; no terminal to ask questions on; a /run of
    # its own, which the maintainer scripts clean
    return sb.shell("mount -t tmpfs -o mode=0755 tmpfs /run && mkdir /run/lock && " + script
                    + " </dev/null", 180, {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})


def dpkg(sb: Sandbox, *args: str) -> str:
    done = root_shell(sb, "dpkg " + shlex.join(args))
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout.decode()


def install(sb: Sandbox) -> None:
    debs = [glob.glob(f"{DEBS}/{name}_*.deb") for name in FILES]
    if any(len(found) != 1 for found in debs):
        pytest.fail(f"want one vornex and one vornex-platform package in {DEBS}: make deb")
    dpkg(sb, "-i", *[found[0] for found in debs])


@pytest.fixture
def sb():
    if unavailable_reason() is not None:
        pytest.skip(unavailable_reason())
    box = Sandbox(staged=False)
    try:
        box.hide("/var/lib/man-db/auto-update")  # no manual page index rebuilt per install
        install(box)
        yield box
    finally:
        box.close()


def test_dpkg_lists_the_files_with_owner_and_mode(sb):
    for package, files in FILES.items():
        listed = dpkg(sb, "-L", package).splitlines()
        stat = root_shell(sb, "stat -c '%n|%U:%G %a %F' " + shlex.join(files)).stdout.decode()
        found = dict(line.split("|") for line in stat.splitlines())
        assert {path: (path in listed, found.get(path)) for path in files} == {
            path: (True, "root:root " + want) for path, want in files.items()}


def test_a_request_runs_and_a_reinstall_keeps_the_edited_command_file(sb):
    check = root_shell(sb, "/usr/sbin/vornexctl check")
    assert check.returncode == 0, check.stdout.decode() + check.stderr.decode()
    sb.add_user("site1", 1005)
    sb.token("site1", 1005, "secret\n")
    sb.marker()  # the stand-in container library would write the host's cgroup tree
    sb.commands("# edited\nwhoami=/usr/bin/id\n")
    result = sb.run(user="site1", alias="whoami")
    assert (result.rc, result.stderr) == (0, b""), result
    assert result.stdout.startswith(b"uid=1005(site1) gid=1005(site1)")
    install(sb)
    assert (sb.read(CONF), sb.listdir("/etc/vornex")) == (
        b"# edited\nwhoami=/usr/bin/id\n", ["params.rules", "proxy.commands"])


@pytest.mark.parametrize("name", PURGES)
def test_purge_keeps_per_user_files(sb, name):
    setup, kept = PURGES[name]
    setup(sb)
    dpkg(sb, "--purge", "vornex")
    left = root_shell(sb, "find /var/vornex " + CONF).stdout.decode()
    assert sorted(left.splitlines()) == sorted(kept)


def test_remove_cleans_run_vornex(sb):
    done = root_shell(sb, "mkdir -m 0755 /run/vornex && : >/run/vornex/uid-1005.0.lock && "
                          "dpkg -r vornex >/dev/null && ls -A /run")
    assert (done.returncode, done.stdout.decode().split()) == (0, ["lock"]), done


OLD_LOCK = "/var/vornex/05/site1/.ferrymate.log.lock"  # left 0644 by an earlier version
LINKED_LOCK = "/var/vornex/06/site2/.ferrymate.log.lock"  # root 0600 with a second link
LINK_LOCK = "/var/vornex/07/site3/.ferrymate.log.lock"  # a symbolic link to a root file
GOOD_LOCK = "/var/vornex/08/site4/.ferrymate.log.lock"  # as the server leaves it
DIR_LOCK = "/var/vornex/09/site5/.ferrymate.log.lock"  # a directory: left alone


def var_tree(sb: Sandbox) -> dict[str, str]:
    """Every path below /var/vornex and /etc/vornex: type, owner, mode, links, inode, content."""
    listing = root_shell(sb, "find /var/vornex /etc/vornex -printf '%p|%y %U:%G %m %n %i\\n'")
    tree = {}
    for line in listing.stdout.decode().splitlines():
        path, facts = line.split("|")
        data = sb.read(path) if facts.startswith("f ") else None
        tree[path] = facts + (f" {data!r}" if data is not None else "")
    return tree


def test_install_replaces_lock_files_that_others_could_hold(sb):
    sb.token("site1", 1005, "secret\n")
    sb.write_auth_log("site1", 1005, bytes(range(24)))
    sb.write_file(OLD_LOCK, "", 0o644)
    sb.write_file(LINKED_LOCK, "", 0o600)
    os.link(sb.host_path(LINKED_LOCK), sb.host_path("/var/vornex/06/site2/kept"))
    sb.write_file("/etc/vornex/victim", "a root file\n", 0o644)
    sb.symlink(LINK_LOCK, "/etc/vornex/victim")
    sb.write_file(GOOD_LOCK, "", 0o600)
    sb.mkdir(DIR_LOCK)
    before = var_tree(sb)
    # Someone holds the old lock throughout: the install waits for it only a moment.
    debs = [glob.glob(f"{DEBS}/{name}_*.deb")[0] for name in FILES]
    done = root_shell(sb, f"(exec 9<{OLD_LOCK} && flock 9 && exec sleep 900) >/dev/null 2>&1 & "
                          f"sleep 0.5; dpkg -i {shlex.join(debs)}; status=$?; kill $!; exit $status")
    assert done.returncode == 0, done.stderr.decode()
    after = var_tree(sb)
    replaced = [OLD_LOCK, LINKED_LOCK, LINK_LOCK]
    for path in replaced:
        assert after[path].split()[:4] == ["f", "0:0", "600", "1"], after[path]
        assert after[path].endswith(" b''") and after[path] != before[path]
    assert after["/var/vornex/06/site2/kept"].split()[3] == "1"
    unchanged = {p: f for p, f in before.items() if p not in replaced}
    unchanged["/var/vornex/06/site2/kept"] = unchanged["/var/vornex/06/site2/kept"].replace(
        " 600 2 ", " 600 1 ")
    assert {p: f for p, f in after.items() if p not in replaced} == unchanged
    # A second configure finds nothing to replace: every inode stays.
    install(sb)
    assert var_tree(sb) == after
