"""Failures and crashes during an update of the auth log: every failure row logs its exact
lines, and whatever happens the auth log is the old whole record or the new one.

Faults come from the preload: VORNEX_FAULT fails the n-th call of a name, VORNEX_FAULT_KILL
kills the server with SIGKILL just before it, both counted only on the files whose path holds
".ferrymate.log." (the lock file and the temporary auth log, in that order of opening)."""

import random
import re
import time

import pytest

from sandbox import decode_record, encode_record
from test_auth_support import (BLOCK_SECONDS, ERR, LOCK, LOG, ROOT_COMMAND, WARNING, alert,
                               assert_updated, lines, no_auth_log, now, record,
                               temp_path, write_record)

PAST = 1_000_000
OLD = record(PAST, PAST, 1, 0)
SCOPE = ".ferrymate.log."


@pytest.fixture
def site1(site1):
    site1.commands(ROOT_COMMAND)
    return site1


def faulty(sb, token, fault=None, kill=None, scope=SCOPE, debug=False):
    env = {"VORNEX_FAULT_PATH": scope}
    if fault:
        env["VORNEX_FAULT"] = fault
    if kill:
        env["VORNEX_FAULT_KILL"] = kill
    t0 = now()
    result = sb.run(token=token, env=env, preload=sb.fault_preload)
    return result, t0, now()


def temp_files(sb):
    return [n for n in sb.listdir("/var/vornex/05/site1") if n.startswith(".ferrymate.log.")
            and n != ".ferrymate.log.lock"]


def write_failed(tmp, _log):
    return [(ERR, f"Can`t write to auth log file {tmp} for user site1")]


def flush_failed(tmp, _log):
    return [(ERR, f"Can`t flush to auth log file {tmp} for user site1"),
            (WARNING, f"temporary auth log {tmp} was removed not renamed")]


def sync_failed(tmp, _log):
    return [(ERR, f"fdatasync failed for auth log file {tmp} for user site1")]


def rename_failed(tmp, log):
    return [(ERR, f"failed to rename auth log file from {tmp} to {log} for user site1"),
            (WARNING, f"temporary auth log {tmp} was removed not renamed")]


def remove_failed(tmp, log):
    return [(ERR, f"failed to rename auth log file from {tmp} to {log} for user site1"),
            (ERR, f"failed to remove temporary auth log {tmp}")]


def temp_open_failed(tmp, _log):
    return [(ERR, f"Can`t open auth log file {tmp} for user site1")]


# fault, lines before the alert, lines after it, the auth log afterwards ("old" or "new"),
# the temporary file left behind (None, "empty", "short" or "new"), whether the alert is
# logged.
ROWS = {
    "write": ("fwrite:1", None, write_failed, "old", "empty", True),
    "short write": ("fwrite:1@short", None, write_failed, "old", "short", True),
    "flush": ("fflush:1", None, flush_failed, "old", None, True),
    "every flush": ("fflush", None, flush_failed, "old", None, True),
    # After a failed flush the file is neither forced nor renamed: those calls would fail
    # with lines of their own.
    "flush, then nothing": ("fflush:1,fdatasync,rename", None, flush_failed, "old", None, True),
    "fdatasync": ("fdatasync:1", None, sync_failed, "new", None, True),
    "rename": ("rename:1", None, rename_failed, "old", None, True),
    # The first unlink clears the temporary name before the exclusive create.
    "rename and remove": ("rename:1,unlink:2", None, remove_failed, "old", "new", True),
    "temporary open": ("open:2", temp_open_failed, None, "old", None, False),
    "temporary name not cleared": ("unlink:1", temp_open_failed, None, "old", None, False),
    "lock open": ("open:1", lambda t, l: [(ERR, f"Can`t open auth lock file {LOCK} for user "
                                               "site1")], None, "new", None, True),
    "lock": ("flock:1", lambda t, l: [(ERR, f"Lock file ({LOCK}) error: No locks available")],
             None, "new", None, True),
    "unlock, quiet": ("flock:2", None, None, "new", None, True),
}
# Rows whose outcome never reaches the auth log's file system: the check is refused, a right
# token included, so that a full or read-only file system never lets guesses go uncounted.
FAILS_CLOSED = {"write", "short write", "flush", "every flush", "flush, then nothing",
                "temporary open", "temporary name not cleared"}


@pytest.mark.parametrize("success", [False, True], ids=["wrong", "right"])
@pytest.mark.parametrize("row", list(ROWS))
def test_failure_rows(site1, row, success):
    fault, before_alert, after_alert, outcome, left, alerted = ROWS[row]
    write_record(site1, OLD)
    old_bytes = site1.read(LOG)
    result, t0, t1 = faulty(site1, b"secret" if success else b"wrong", fault)
    # Otherwise the outcome of the check does not depend on whether its update was renamed.
    if success and row not in FAILS_CLOSED:
        assert result.rc == 0 and result.stderr == b"", result
    else:
        result.assert_failed()
    tmp = temp_path(result.pid)
    expected = before_alert(tmp, LOG) if before_alert else []
    if alerted and not success:
        expected.append(alert())
    expected += after_alert(tmp, LOG) if after_alert else []
    assert lines(result) == expected
    if outcome == "old":
        assert site1.read(LOG) == old_bytes
    else:
        assert_updated(site1.read(LOG), OLD, success, t0, t1)
    if left is None:
        assert temp_files(site1) == []
        return
    assert temp_files(site1) == [tmp.rsplit("/", 1)[1]]
    data = site1.read(tmp)
    if left == "empty":
        assert data == b""
    elif left == "short":
        # The new record but its last byte, the top byte of a block_count of 0.
        assert len(data) == 23
        assert_updated(data + b"\0", OLD, success, t0, t1)
    else:
        assert_updated(data, OLD, success, t0, t1)


def test_unlock_failure_is_logged_with_debug(site1):
    site1.flag()
    write_record(site1, OLD)
    result, t0, t1 = faulty(site1, b"wrong", "flock:2")
    result.assert_failed()
    got = lines(result)
    assert got[:2] == [(ERR, "Token is incorrect for user site1"), alert()]
    [(pri, text)] = got[2:]
    assert pri == ERR
    assert re.fullmatch(r"Unlock auth log file \(fileno: \d+\) error: No locks available", text)
    assert_updated(site1.read(LOG), OLD, False, t0, t1)


def test_unreadable_auth_log_holds_no_record(site1):
    # Opens counted: the lock file, then the auth log.
    site1.flag()
    write_record(site1, OLD)
    result, t0, t1 = faulty(site1, b"wrong", "open:2", scope="/.ferrymate.log")
    result.assert_failed()
    assert lines(result) == [no_auth_log(), (ERR, "Token is incorrect for user site1"),
                             alert()]
    assert_updated(site1.read(LOG), record(), False, t0, t1)


@pytest.mark.parametrize("fault", ["fflush:1", "fflush", "fwrite:1@short", "fwrite:1"])
def test_failed_write_never_lifts_a_block(site1, fault):
    # A record that may not be whole never replaces the auth log: after the failed update of
    # the check that would block, the two failures still stand, so the next failure blocks.
    # Had an empty or short file replaced the auth log, it would read as no record.
    old = record(PAST, PAST, 2, 4)
    write_record(site1, old)
    before = site1.read(LOG)
    result, _, _ = faulty(site1, b"wrong", fault)
    result.assert_failed()
    assert site1.read(LOG) == before
    for name in temp_files(site1):
        site1.remove(f"/var/vornex/05/site1/{name}")
    result, t0, t1 = faulty(site1, b"wrong")
    blocked = assert_updated(site1.read(LOG), old, False, t0, t1)
    assert (blocked.failure_count, blocked.block_count) == (3, 5)
    assert blocked.blocked_until >= t0 + BLOCK_SECONDS
    result = site1.run()
    assert result.logs == [] and result.rc == 1


# Kill points in the order the update reaches them, with the auth log they leave and the
# temporary file ("empty" or "new") that stays behind.
KILLS = [
    (None, "open:1", "old", None),  # opening the lock file
    (None, "flock:1", "old", None),
    (None, "unlink:1", "old", None),  # clearing the temporary name
    (None, "open:2", "old", None),  # creating the temporary auth log
    (None, "fwrite:1", "old", "empty"),
    (None, "fflush:1", "old", "empty"),
    (None, "fdatasync:1", "old", "new"),
    (None, "fflush:2", "old", "new"),  # closing the temporary auth log
    (None, "rename:1", "old", "new"),
    (None, "flock:2", "new", None),  # unlocking
    (None, "fflush:3", "new", None),  # closing the lock file
    ("rename:1", "unlink:2", "old", "new"),
    ("fflush:1", "unlink:2", "old", "empty"),
]


def assert_crash_outcome(sb, result, old, success, t0, t1, outcome, left):
    """Checks one killed update; gives the record it left."""
    data = sb.read(LOG)
    if outcome == "old":
        assert data == encode_record(*old), (decode_record(data), old)
        got = old
    else:
        got = assert_updated(data, old, success, t0, t1)
    names = temp_files(sb)
    if left is None:
        assert names == []
    else:
        assert names == [f".ferrymate.log.{result.pid}"]
        tmp = sb.read(temp_path(result.pid))
        if left == "empty":
            assert tmp == b""
        else:
            assert_updated(tmp, old, success, t0, t1)
    return got


@pytest.mark.parametrize("success", [False, True], ids=["wrong", "right"])
@pytest.mark.parametrize("fault, kill, outcome, left", KILLS)
def test_killed_update_leaves_a_whole_record(site1, fault, kill, outcome, left, success):
    for old in (record(), record(PAST, PAST, 2, 3), record(7, 8, 1, 0)):
        write_record(site1, old)
        for name in temp_files(site1):
            site1.remove(f"/var/vornex/05/site1/{name}")
        result, t0, t1 = faulty(site1, b"secret" if success else b"wrong", fault, kill)
        assert result.rc == -9, result
        got = assert_crash_outcome(site1, result, old, success, t0, t1, outcome, left)
        # The next check finds whatever was left and goes on from it.
        left_bytes = site1.read(LOG)
        t0 = now()
        after = site1.run(token=b"wrong")
        after.assert_failed()
        if got[1] > t0:
            assert after.logs == [] and site1.read(LOG) == left_bytes
        else:
            assert_updated(site1.read(LOG), got, False, t0, now())


# Kinds of runs of the long chain below.
CHAIN_FAULTS = [("fwrite:1", "old", True), ("fwrite:1@short", "old", True),
                ("fflush:1", "old", True), ("fdatasync:1", "new", False),
                ("rename:1", "old", False), ("rename:1,unlink:2", "old", False),
                ("open:2", "old", True), ("open:1", "new", False), ("flock:1", "new", False)]


def test_many_updates_with_kills_and_failures(site1):
    """One name goes through a long chain of updates; a third of them are killed at a chosen
    point, a third fail a call, a third are killed from outside at a random moment. After
    each the auth log is the old or the new whole record, and the next update starts from
    it. Blocks are lifted between runs by moving blocked_until into the past."""
    rng = random.Random(20261207)
    state = record()
    write_record(site1, state)
    tally = {"runs": 0, "kills": 0, "faults": 0, "outside kills": 0, "old": 0, "new": 0,
             "completed": 0, "outside kills, old left": 0,
             "outside kills, temporary file left": 0}
    for step in range(300):
        if state[1] > now() - 2:
            state = (state[0], now() - 2, state[2], state[3])
            write_record(site1, state)
        for name in temp_files(site1):
            site1.remove(f"/var/vornex/05/site1/{name}")
        success = rng.random() < 0.5
        token = b"secret" if success else b"wrong"
        kind = step % 3
        tally["runs"] += 1
        if kind == 0:
            fault, kill, outcome, left = rng.choice(KILLS)
            result, t0, t1 = faulty(site1, token, fault, kill)
            assert result.rc == -9, result
            tally["kills"] += 1
            state = assert_crash_outcome(site1, result, state, success, t0, t1, outcome,
                                         left)
            tally[outcome] += 1
        elif kind == 1:
            fault, outcome, fails_closed = rng.choice(CHAIN_FAULTS)
            before = site1.read(LOG)
            result, t0, t1 = faulty(site1, token, fault)
            assert result.rc == (0 if success and not fails_closed else 1), result
            tally["faults"] += 1
            if outcome == "new":
                state = assert_updated(site1.read(LOG), state, success, t0, t1)
                tally["new"] += 1
            else:
                assert site1.read(LOG) == before
                tally["old"] += 1
        else:
            t0 = now()
            running = site1.start(token=token)
            time.sleep(rng.uniform(0.004, 0.02))
            running.kill()
            result = running.finish()
            t1 = now()
            tally["outside kills"] += 1
            data = site1.read(LOG)
            previous = state
            if result.rc == -9 and data == encode_record(*state):
                tally["old"] += 1
                tally["outside kills, old left"] += 1
            else:
                # A run that ended by itself has always made its update.
                assert result.rc in (-9, 0 if success else 1), result
                state = assert_updated(data, state, success, t0, t1)
                tally["new"] += 1
            if result.rc != -9:
                tally["completed"] += 1
            for name in temp_files(site1):
                tally["outside kills, temporary file left"] += 1
                assert name == f".ferrymate.log.{result.pid}", name
                # Killed between the creation of the temporary file and its rename.
                tmp = site1.read(f"/var/vornex/05/site1/{name}")
                if tmp != b"":
                    assert_updated(tmp, previous, success, t0, t1)
        assert len(site1.read(LOG)) == 24
    print("chain:", tally)
    assert tally["old"] and tally["new"]
