"""The failed-attempt log and the lockout: the auth log's exact bytes after each kind of
check, the block, and the lines logged with the debug flag on and off."""

import os

import pytest

from sandbox import encode_record, decode_record
from test_auth_support import (ALERT, BLOCK_SECONDS, DIR, ERR, INT32_MAX, INT32_MIN, LOCK, LOG,
                               NAME, ROOT_COMMAND, TOKEN, UID, alert, assert_accepted,
                               assert_rejected, assert_updated, leftovers, lines, no_auth_log,
                               now, record, temp_path, timed, write_record)

PAST = 1_000_000


@pytest.fixture
def site1(site1):
    site1.commands(ROOT_COMMAND)
    return site1


def check(sb, success, old, **kwargs):
    """One request with the right or a wrong token; asserts its outcome and the new record."""
    reports = len(sb.probe_reports("probe"))
    result, t0, t1 = timed(sb, token=b"secret" if success else b"wrong", **kwargs)
    if success:
        assert_accepted(sb, result, reports)
    else:
        assert_rejected(sb, result, reports)
    return result, assert_updated(sb.read(LOG), old, success, t0, t1)


def test_first_failure_creates_the_auth_log(site1):
    result, t0, t1 = timed(site1, token=b"wrong")
    assert_rejected(site1, result)
    data = site1.read(LOG)
    assert len(data) == 24
    last = decode_record(data).last_failure_time
    assert t0 <= last <= t1
    assert data == encode_record(last, 0, 1, 0)
    status = site1.lstat(LOG)
    assert (status.st_mode & 0o7777, status.st_uid, status.st_gid) == (0o644, 0, 0)
    lock = site1.lstat(LOCK)
    assert (lock.st_mode & 0o7777, lock.st_uid, lock.st_size) == (0o600, 0, 0)
    assert leftovers(site1) == []


def test_the_alert_line(site1):
    result = site1.run(token=b"wrong")
    [line] = result.logs
    assert (line.pri, line.facility, line.severity) == (81, 10, 1)
    assert line.ident == "vornex.command.server" and line.pid == result.pid
    assert line.text == "Invalid ferrymate command token for user: site1 (UID: 1005)"
    assert result.stderr == b"Error occurred during execution of this program\n"
    assert result.rc == 1


def test_record_layout_is_little_endian(site1):
    # last_failure_time i64, blocked_until i64 (1993, in the past), failure_count i32,
    # block_count i32: a success clears only the third field.
    site1.write_auth_log(NAME, UID, bytes.fromhex(
        "0807060504030201" "7856341200000000" "05000000" "24232221"))
    assert_accepted(site1, site1.run())
    assert site1.read(LOG) == bytes.fromhex(
        "0807060504030201" "7856341200000000" "00000000" "24232221")


def test_success_without_a_record_writes_a_zero_record(site1):
    result = site1.run()
    assert_accepted(site1, result)
    assert site1.read(LOG) == bytes(24)


def test_failures_then_success_then_failure(site1):
    rec = record()
    for success, failures in [(False, 1), (False, 2), (True, 0), (False, 1), (True, 0),
                              (True, 0), (False, 1), (False, 2)]:
        _, got = check(site1, success, rec)
        assert got.failure_count == failures
        assert got.blocked_until == 0 and got.block_count == 0
        rec = got


def test_third_failure_blocks_and_the_block_refuses_everything(site1):
    site1.flag()
    _, rec = check(site1, False, record())
    _, rec = check(site1, False, rec)
    result, rec = check(site1, False, rec)
    assert rec.failure_count == 3 and rec.block_count == 1
    assert rec.blocked_until in (rec.last_failure_time + BLOCK_SECONDS,
                                 rec.last_failure_time + BLOCK_SECONDS + 1)
    before = site1.read(LOG)
    log_status, lock_status = site1.lstat(LOG), site1.lstat(LOCK)
    # Within the block neither the right token nor a wrong one is checked, counted or logged.
    for token in (b"secret", b"wrong", b"secret"):
        result = site1.run(token=token)
        assert_rejected(site1, result)
        assert result.logs == []
        assert site1.read(LOG) == before
        assert site1.lstat(LOG).st_ino == log_status.st_ino
        assert site1.lstat(LOG).st_mtime_ns == log_status.st_mtime_ns
        assert site1.read(LOCK) == b"" and site1.lstat(LOCK).st_ino == lock_status.st_ino
        assert leftovers(site1) == []


@pytest.mark.parametrize("offset, blocked", [
    (-3600, False), (-1, False), (0, False), (5, True), (3600, True), (10**9, True)])
@pytest.mark.parametrize("success", [True, False])
def test_block_boundaries(site1, offset, blocked, success):
    # At the second that blocked_until names the name is free again; the server's clock can
    # only be later than the test's.
    old = record(PAST, now() + offset, 3, 1)
    write_record(site1, old)
    before = site1.read(LOG)
    if blocked:
        result = site1.run(token=b"secret" if success else b"wrong")
        assert_rejected(site1, result)
        assert result.logs == []
        assert site1.read(LOG) == before
    else:
        result, _ = check(site1, success, old)
        assert lines(result) == ([] if success else [alert()])


@pytest.mark.parametrize("blocked_until", [2**63 - 1, 2**62])
def test_far_future_block_refuses_the_right_token(site1, blocked_until):
    write_record(site1, record(PAST, blocked_until, 0, 0))
    before = site1.read(LOG)
    result = site1.run()
    assert_rejected(site1, result)
    assert result.logs == [] and site1.read(LOG) == before


@pytest.mark.parametrize("blocked_until", [-1, -(2**63), 0])
def test_negative_or_zero_block_does_not_block(site1, blocked_until):
    old = record(PAST, blocked_until, 0, 0)
    write_record(site1, old)
    check(site1, True, old)


@pytest.mark.parametrize("old, failures, blocks", [
    (record(PAST, PAST + 30, 3, 1), 4, 1),  # 4th and 5th failure: counted, no block
    (record(PAST, PAST + 30, 4, 1), 5, 1),
    (record(PAST, PAST + 30, 5, 1), 6, 2),  # 6th and 9th: blocked again
    (record(PAST, PAST + 30, 8, 2), 9, 3),
    (record(PAST, 0, 1, 0), 2, 0),
    (record(PAST, 0, 2, 0), 3, 1),
    (record(PAST, PAST, 2, 7), 3, 8),
    # The stored counters wrap instead of overflowing, and the remainder keeps its sign.
    (record(PAST, PAST, INT32_MAX, 5), INT32_MIN, 5),  # remainder -2
    (record(PAST, PAST, INT32_MIN, 5), INT32_MIN + 1, 5),  # remainder -1
    (record(PAST, PAST, -4, 0), -3, 1),
    (record(PAST, PAST, -1, 0), 0, 1),
    (record(PAST, PAST, 2, INT32_MAX), 3, INT32_MIN),
])
def test_failure_arithmetic(site1, old, failures, blocks):
    write_record(site1, old)
    _, got = check(site1, False, old)
    assert (got.failure_count, got.block_count) == (failures, blocks)
    assert (got.blocked_until == old[1]) == (blocks == old[3])


@pytest.mark.parametrize("old", [record(123, PAST, 2, 7), record(5, 6, INT32_MIN, -1),
                                 record(0, 0, 0, 0)])
def test_success_clears_only_the_failure_count(site1, old):
    write_record(site1, old)
    check(site1, True, old)
    assert site1.read(LOG) == encode_record(old[0], old[1], 0, old[3])


@pytest.mark.parametrize("success", [True, False])
def test_bytes_after_the_record_disappear(site1, success):
    old = record(77, PAST, 1, 4)
    write_record(site1, old)
    with open(site1.upper(LOG), "ab") as f:
        f.write(b"\xff" * 16)
    assert len(site1.read(LOG)) == 40
    check(site1, success, old)
    assert len(site1.read(LOG)) == 24


@pytest.mark.parametrize("size", [0, 1, 16, 23])
@pytest.mark.parametrize("success", [True, False])
def test_short_file_holds_no_record(site1, size, success):
    # The bytes would read as a block far in the future, were they a record.
    site1.write_auth_log(NAME, UID, encode_record(1, 2**62, 2, 9)[:size])
    result, _ = check(site1, success, record())
    if not success:
        assert decode_record(site1.read(LOG)).failure_count == 1


def test_existing_auth_log_is_replaced_by_a_root_file(site1):
    site1.write_auth_log(NAME, UID, encode_record(1, 2, 1, 0), mode=0o600)
    os.chown(site1.upper(LOG), UID, UID)
    check(site1, False, record(1, 2, 1, 0))
    status = site1.lstat(LOG)
    assert (status.st_mode & 0o7777, status.st_uid) == (0o644, 0)


@pytest.mark.parametrize("links", [1, 2])
def test_lock_file_is_made_roots_but_never_truncated(site1, links):
    # An old lock file that another user could open (and so lock) becomes root's 0600; a
    # planted hard link to a victim file changes neither the victim's mode nor its content.
    site1.write_file(LOCK, b"left by someone", 0o644, UID, UID)
    if links == 2:
        os.link(site1.host_path(LOCK), site1.host_path(DIR + "/victim"))
    check(site1, True, record())
    status = site1.lstat(LOCK)
    expected = (0o600, 0) if links == 1 else (0o644, UID)
    assert (status.st_mode & 0o7777, status.st_uid) == expected
    assert site1.read(LOCK) == b"left by someone"
    if links == 1:
        took = site1.shell(f"setpriv --reuid={UID} --regid={UID} --clear-groups "
                           f"flock -n {LOCK} true")
        assert took.returncode != 0 and b"Permission denied" in took.stderr, took


def test_lock_file_replaced_while_waited_for_is_locked_again(site1):
    # The server waits on the old lock file; it is replaced (as the package's upgrade does)
    # and the new one is held; once the old one is free, the server waits for the new one.
    site1.write_file(LOCK, b"", 0o644)
    server = "/usr/libexec/vornex/vornex-command-server frontend site1 /home/site1 probe 4242"
    script = (f"exec 8<{LOCK} && flock 8 && {{ {server} >/dev/null 2>&1 8<&- & }} && sleep 0.5 && "
              f": >{LOCK}.new && mv {LOCK}.new {LOCK} && exec 9<{LOCK} && flock 9 && exec 8<&- "
              f"&& sleep 0.5 && {{ kill -0 $! && echo waiting; exec 9<&-; wait $!; "
              "echo status=$?; }")
    t0 = now()
    done = site1.shell(script, timeout=30, env=site1.environment(b"wrong"))
    assert done.stdout == b"waiting\nstatus=1\n", done
    assert_updated(site1.read(LOG), record(), False, t0, now())


def test_leftover_temporary_file_of_another_process_is_not_touched(site1):
    site1.write_file(LOG + ".1", b"x" * 24, 0o644)
    site1.write_file(LOG + ".99999999", b"y" * 5, 0o644)
    check(site1, False, record())
    check(site1, True, decode_record(site1.read(LOG)))
    assert site1.read(LOG + ".1") == b"x" * 24
    assert site1.read(LOG + ".99999999") == b"y" * 5
    assert leftovers(site1) == [".ferrymate.log.1", ".ferrymate.log.99999999"]


OWNER = f"owner of file {TOKEN}:0 and data from socket site1:1005 are different, user: site1"
MODE = f"file {TOKEN} mode should be 0400 (octal), but it is 600, user: site1"
MISSING = f"File {TOKEN} not exists, user: site1"
INCORRECT = "Token is incorrect for user site1"
NO_LOCK = f"Can`t open auth lock file {LOCK} for user site1"


def prepare(sb, case):
    if case in ("owner", "mode"):
        sb.token(NAME, UID, "secret\n", mode=0o600 if case == "mode" else 0o400,
                 owner=0 if case == "owner" else UID)
    elif case == "missing token file":
        sb.remove(TOKEN)
    elif case == "blocked":
        write_record(sb, record(PAST, 2**40, 3, 1))
    elif case == "no per-user directory":
        sb.remove(DIR)


NO_TEMP = "the temporary auth log cannot be created"

# Each case: the token, whether an auth log exists beforehand, the lines with the debug flag
# on, the lines with it off.
CASES = {
    "accepted, no auth log": (b"secret", False, [no_auth_log()], []),
    "accepted": (b"secret", True, [], []),
    "wrong token, no auth log": (b"wrong", False, [no_auth_log(), (ERR, INCORRECT), alert()],
                                 [alert()]),
    "wrong token": (b"wrong", True, [(ERR, INCORRECT), alert()], [alert()]),
    "missing token file": (b"secret", True, [(ERR, MISSING)], []),
    "missing token file, no auth log": (b"secret", False, [no_auth_log(), (ERR, MISSING)], []),
    "owner": (b"secret", True, [(ERR, OWNER), alert()], [alert()]),
    "mode": (b"secret", True, [(ERR, MODE), alert()], [alert()]),
    "blocked": (b"secret", False, [], []),
    # The outcome could not be recorded, so the token file is never looked at.
    "no per-user directory": (b"secret", False, [(ERR, NO_LOCK), no_auth_log(), NO_TEMP],
                              [(ERR, NO_LOCK), NO_TEMP]),
}


@pytest.mark.parametrize("debug", [True, False], ids=["debug", "quiet"])
@pytest.mark.parametrize("case", list(CASES))
def test_lines_with_and_without_debug(site1, case, debug):
    token, has_log, debug_lines, quiet_lines = CASES[case]
    if has_log:
        write_record(site1, record(PAST, PAST, 1, 0))
    prepare(site1, case.split(",")[0])
    if debug:
        site1.flag()
    result = site1.run(token=token)
    expected = [no_auth_log(path=temp_path(result.pid)) if line == NO_TEMP else line
                for line in (debug_lines if debug else quiet_lines)]
    assert lines(result) == expected
    if case.startswith("accepted"):
        assert_accepted(site1, result)
    else:
        assert_rejected(site1, result)
    for record_ in result.logs:
        expected = (10, 1) if record_.pri == ALERT else (3, 3)
        assert (record_.facility, record_.severity) == expected
