"""Symlinks and FIFOs planted in a per-user directory: root never follows a link or waits on
a FIFO where it creates or truncates a file (the auth lock file, the temporary auth log), and
the token file's owner and mode rules are decided on the file that was opened."""

import os
import re
import shlex

import pytest

from sandbox import encode_record
from test_auth_support import (DIR, ERR, LOCK, LOG, ROOT_COMMAND, TOKEN, UID, alert,
                               assert_accepted, assert_rejected, assert_updated, lines, now,
                               record, temp_path, write_record)

VICTIM = "/etc/vornex/victim"
VICTIM_TEXT = b"a root file that must stay as it is\n"
CREATED = "/etc/vornex/created"
NO_LOCK = (ERR, f"Can`t open auth lock file {LOCK} for user site1")
TIMEOUT = 15  # a server waiting on a FIFO fails the run instead of hanging the tests


@pytest.fixture
def site1(site1):
    site1.commands(ROOT_COMMAND)
    site1.write_file(VICTIM, VICTIM_TEXT, 0o644)
    return site1


def plant(sb, path, kind):
    if kind == "symlink":
        sb.symlink(path, VICTIM)
    elif kind == "dangling symlink":
        sb.symlink(path, CREATED)
    elif kind == "fifo":
        sb.mkfifo(path, 0o666)
    elif kind == "directory":
        sb.mkdir(path)


def assert_untouched(sb, path, kind):
    assert sb.read(VICTIM) == VICTIM_TEXT
    assert sb.lstat(CREATED) is None
    mode = sb.lstat(path).st_mode
    expected = {"symlink": 0o120000, "dangling symlink": 0o120000, "fifo": 0o010000,
                "directory": 0o040000}[kind]
    assert mode & 0o170000 == expected


@pytest.mark.parametrize("kind", ["symlink", "dangling symlink", "fifo", "directory"])
@pytest.mark.parametrize("success", [False, True], ids=["wrong", "right"])
def test_planted_lock_file(site1, kind, success):
    plant(site1, LOCK, kind)
    t0 = now()
    result = site1.run(token=b"secret" if success else b"wrong", timeout=TIMEOUT)
    t1 = now()
    # The check goes on without the lock, and its update is made.
    if success:
        assert_accepted(site1, result)
        assert lines(result) == [NO_LOCK]
    else:
        assert_rejected(site1, result)
        assert lines(result) == [NO_LOCK, alert()]
    assert_updated(site1.read(LOG), record(), success, t0, t1)
    assert_untouched(site1, LOCK, kind)


VAR_VICTIM = "/var/vornex/victim"  # on the per-user directory's file system: a hard link works
SERVER = "/usr/libexec/vornex/vornex-command-server frontend site1 /home/site1 probe 4242"

TEMP_PLANTS = {
    # what stands at the temporary auth log's name "$t": (shell, whether the check goes on)
    "symlink": (f'ln -s {VAR_VICTIM} "$t"', True),
    "dangling symlink": (f'ln -s {CREATED} "$t"', True),
    "hard link": (f'ln {VAR_VICTIM} "$t"', True),
    "fifo": ('mkfifo -m 666 "$t"', True),
    "directory": ('mkdir "$t"', False),
    "mount point": (f'touch "$t" && mount --bind {VAR_VICTIM} "$t"', False),
}


@pytest.mark.parametrize("success", [False, True], ids=["wrong", "right"])
@pytest.mark.parametrize("kind", list(TEMP_PLANTS))
def test_planted_temporary_auth_log(site1, kind, success):
    plant, goes_on = TEMP_PLANTS[kind]
    old = record(5, 6, 1, 0)
    write_record(site1, old)
    before = site1.read(LOG)
    site1.write_file(VAR_VICTIM, VICTIM_TEXT, 0o644)
    # The name is planted by the very process that then becomes the server: its pid is known.
    inner = f't={LOG}.$$ && echo pid=$$ && {plant} && exec {SERVER}'
    t0 = now()
    done = site1.shell(f"sh -c {shlex.quote(inner)}; echo status=$?", timeout=TIMEOUT,
                       env=site1.environment(b"secret" if success else b"wrong"))
    t1 = now()
    logs = site1.logs()
    pid = int(re.search(rb"pid=(\d+)", done.stdout).group(1))
    assert site1.read(VAR_VICTIM) == VICTIM_TEXT and site1.read(VICTIM) == VICTIM_TEXT
    assert site1.lstat(CREATED) is None
    if not goes_on:
        # Refused without counting: the row of a temporary auth log that cannot be created.
        assert done.stdout.endswith(b"status=1\n"), done
        assert [(r.pri, r.text) for r in logs] == [
            (ERR, f"Can`t open auth log file {temp_path(pid)} for user site1")]
        assert site1.read(LOG) == before
        return
    assert done.stdout.endswith(b"status=0\n" if success else b"status=1\n"), done
    assert [(r.pri, r.text) for r in logs] == ([] if success else [alert()])
    assert_updated(site1.read(LOG), old, success, t0, t1)
    assert site1.lstat(temp_path(pid)) is None


def test_fifo_as_auth_log_reads_as_no_record(site1):
    site1.mkfifo(LOG, 0o644)
    t0 = now()
    result = site1.run(token=b"wrong", timeout=TIMEOUT)
    assert_rejected(site1, result)
    assert lines(result) == [alert()]
    # The rename replaces the FIFO with a regular file holding the new record.
    assert os.path.isfile(site1.upper(LOG)) and not os.path.islink(site1.upper(LOG))
    assert_updated(site1.read(LOG), record(), False, t0, now())


def test_symlink_as_auth_log_is_replaced_not_written_through(site1):
    site1.write_file(VICTIM, encode_record(5, 6, 1, 0), 0o644)
    victim = site1.read(VICTIM)
    site1.symlink(LOG, VICTIM)
    t0 = now()
    result = site1.run(token=b"wrong", timeout=TIMEOUT)
    assert_rejected(site1, result)
    # The record is read through the link; the rename replaces the link itself.
    assert_updated(site1.read(LOG), record(5, 6, 1, 0), False, t0, now())
    assert not os.path.islink(site1.upper(LOG))
    assert site1.read(VICTIM) == victim


def test_dangling_symlink_as_auth_log(site1):
    site1.symlink(LOG, CREATED)
    result = site1.run(timeout=TIMEOUT)
    assert_accepted(site1, result)
    assert site1.read(LOG) == bytes(24) and site1.lstat(CREATED) is None


OWNER_ROOT = f"owner of file {TOKEN}:0 and data from socket site1:1005 are different, user: site1"


def link_token(sb, target, content=b"secret\n", mode=0o400, owner=UID):
    sb.write_file(target, content, mode, owner, owner)
    sb.remove(TOKEN)
    sb.symlink(TOKEN, target)


def test_token_file_symlink_to_the_users_own_file_is_followed(site1):
    link_token(site1, DIR + "/.vornex/real-token")
    site1.flag()
    result = site1.run()
    assert_accepted(site1, result)


@pytest.mark.parametrize("target", ["/etc/vornex/root-token", "/etc/shadow", "/etc/passwd"])
def test_token_file_symlink_to_a_root_file(site1, target):
    if target == "/etc/vornex/root-token":
        site1.write_file(target, b"secret\n", 0o400)
    site1.remove(TOKEN)
    site1.symlink(TOKEN, target)
    site1.flag()
    t0 = now()
    result = site1.run(timeout=TIMEOUT)
    assert_rejected(site1, result)
    assert lines(result)[1:] == [(ERR, OWNER_ROOT), alert()]
    assert_updated(site1.read(LOG), record(), False, t0, now())


@pytest.mark.parametrize("mode, message", [
    (0o400, "Token is incorrect for user site1"),
    (0o644, f"file {TOKEN} mode should be 0400 (octal), but it is 644, user: site1")])
def test_fifo_as_token_file(site1, mode, message):
    # Opened without waiting for a writer; a FIFO with nothing in it reads as an empty line.
    site1.remove(TOKEN)
    site1.mkfifo(TOKEN, mode, UID, UID)
    site1.flag()
    write_record(site1, record(5, 6, 0, 0))
    t0 = now()
    result = site1.run(timeout=TIMEOUT)
    assert_rejected(site1, result)
    assert lines(result) == [(ERR, message), alert()]
    assert_updated(site1.read(LOG), record(5, 6, 0, 0), False, t0, now())


def test_token_file_symlink_loop_is_not_counted(site1):
    site1.remove(TOKEN)
    site1.symlink(TOKEN, TOKEN)
    site1.flag()
    write_record(site1, record(5, 6, 2, 0))
    before = site1.read(LOG)
    result = site1.run(timeout=TIMEOUT)
    assert_rejected(site1, result)
    assert lines(result) == [(ERR, f"File {TOKEN} not exists, user: site1")]
    assert site1.read(LOG) == before


def serve_in_shell(sb, setup, after=""):
    """Runs `setup`, one request with the right token and `after` in one shell inside the
    mounts; gives the shell's output (the server's status last) and the server's records."""
    server = "/usr/libexec/vornex/vornex-command-server frontend site1 /home/site1 probe 4242"
    done = sb.shell(f"{setup}\n{server}; status=$?; {after}\necho status=$status",
                    timeout=TIMEOUT, env=sb.environment())
    return done, sb.logs()


@pytest.mark.parametrize("owner, mode", [(0, 0o400), (UID, 0o644)])
def test_token_link_to_a_fifo_that_breaks_the_rules_is_never_opened(site1, owner, mode):
    # The canary: a writer blocked on the FIFO gets through only if something opens it for
    # reading, even without waiting (O_NONBLOCK).
    fifo = "/etc/vornex/canary"
    site1.mkfifo(fifo, mode, owner, owner)
    site1.remove(TOKEN)
    site1.symlink(TOKEN, fifo)
    opened = os.path.join(site1.probe_dir, "opened")
    done, logs = serve_in_shell(site1, f"(exec 3>{fifo}; echo >{opened}) >/dev/null 2>&1 &\n"
                                       "writer=$! && sleep 0.2", "sleep 0.2; kill $writer")
    assert done.stdout.endswith(b"status=1\n"), done
    assert [(r.pri, r.text) for r in logs] == [alert()]
    assert not os.path.exists(opened)


@pytest.mark.parametrize("state, expected", [
    ("ro", lambda tmp: [NO_LOCK, (ERR, f"Can`t open auth log file {tmp} for user site1")]),
    ("full", lambda tmp: [(ERR, f"Can`t flush to auth log file {tmp} for user site1"),
                          (28, f"temporary auth log {tmp} was removed not renamed")]),
])
def test_state_directory_that_cannot_record_refuses_the_right_token(site1, state, expected):
    # A small file system of its own holds the per-user directory with a valid token file.
    fill = {"ro": f"mount -o remount,ro {DIR}",
            "full": f"dd if=/dev/zero of={DIR}/fill bs=1k 2>/dev/null; true"}[state]
    token = f"{DIR}/.vornex/.vornex.token"
    done, logs = serve_in_shell(site1, (
        f"mount -t tmpfs -o size=64k,mode=0755 tmpfs {DIR} && mkdir {DIR}/.vornex && "
        f"echo secret >{token} && chown {UID}:{UID} {token} && chmod 0400 {token} && "
        f"{fill}; ls -a {DIR}"))
    assert done.stdout.endswith(b"status=1\n"), done
    [pid] = {r.pid for r in logs}
    assert [(r.pri, r.text) for r in logs] == expected(temp_path(pid))
    assert b".ferrymate.log\n" not in done.stdout
    assert site1.probe_reports("probe") == []
