"""The authentication stage over accounts that share a uid, with and without the file that
disables the search."""

import pytest

from sandbox import decode_record, user_dir
from test_auth_support import (ERR, ROOT_COMMAND, UID, alert, assert_accepted,
                               assert_rejected, lines, no_auth_log, now, record, write_record)

# The password database lists them in this order, all with uid 1005; "nodir" has no per-user
# directory, like a system account that shares the uid.
ORDER = ["nodir", "alpha", "site1", "beta", "gamma"]
TOKENS = {"alpha": "a-token", "site1": "secret", "beta": "b-token", "gamma": "g-token"}
OTHER_UID = 1006


def log_path(name):
    return f"{user_dir(name, UID)}/.ferrymate.log"


def lock_path(name):
    return log_path(name) + ".lock"


def token_path(name):
    return f"{user_dir(name, UID)}/.vornex/.vornex.token"


def no_lock(name):
    return (ERR, f"Can`t open auth lock file {lock_path(name)} for user {name}")


def no_dir(result, name="nodir"):
    """The lines of a name without a per-user directory: neither its lock file nor the
    temporary auth log can be created, so its token file is never looked at."""
    return [no_lock(name), no_auth_log(name, f"{log_path(name)}.{result.pid}")]


@pytest.fixture
def shared(sb):
    for name in ORDER:
        sb.add_user(name, UID, group=name == "site1")
        if name in TOKENS:
            sb.token(name, UID, TOKENS[name] + "\n")
    # Another uid whose token file holds beta's token: never tried for site1.
    sb.add_user("other", OTHER_UID)
    sb.token("other", OTHER_UID, "b-token\n")
    sb.install_validator(0)
    sb.install_probe()
    sb.marker()
    sb.commands(ROOT_COMMAND)
    return sb


def snapshot(sb):
    """Every file of every per-user directory, byte for byte."""
    files = {}
    for name, uid in [(n, UID) for n in ORDER] + [("other", OTHER_UID)]:
        base = user_dir(name, uid)
        for entry in sb.listdir(base):
            files[f"{base}/{entry}"] = sb.read(f"{base}/{entry}")
    return files


def changed(sb, before):
    after = snapshot(sb)
    return sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))


def counted_once(sb, name, t0, t1):
    last, blocked, failures, blocks = decode_record(sb.read(log_path(name)))
    assert t0 <= last <= t1 and (blocked, failures, blocks) == (0, 1, 0), name


def test_token_of_a_later_entry_is_accepted(shared):
    before = snapshot(shared)
    t0 = now()
    result = shared.run(token=b"b-token")
    t1 = now()
    assert_accepted(shared, result)
    assert lines(result) == [*no_dir(result), alert("alpha"), alert("site1")]
    counted_once(shared, "alpha", t0, t1)
    counted_once(shared, "site1", t0, t1)
    assert shared.read(log_path("beta")) == bytes(24)
    # The search ends at the match: gamma is never tried, nodir gains no files.
    assert changed(shared, before) == sorted(
        [log_path(n) for n in ("alpha", "site1", "beta")] +
        [lock_path(n) for n in ("alpha", "site1", "beta")])
    assert shared.listdir(user_dir("nodir", UID)) == []


def test_own_token_is_accepted_after_the_entries_before_it(shared):
    before = snapshot(shared)
    t0 = now()
    result = shared.run(token=b"secret")
    t1 = now()
    assert_accepted(shared, result)
    assert lines(result) == [*no_dir(result), alert("alpha")]
    counted_once(shared, "alpha", t0, t1)
    assert shared.read(log_path("site1")) == bytes(24)
    assert changed(shared, before) == sorted(
        [log_path("alpha"), log_path("site1"), lock_path("alpha"), lock_path("site1")])


@pytest.mark.parametrize("kind, content", [("file", b""), ("file", b"0\n"), ("dir", None)])
@pytest.mark.parametrize("token, accepted", [(b"b-token", False), (b"secret", True),
                                             (b"a-token", False), (b"wrong", False)])
def test_disable_file_limits_the_stage_to_one_check(shared, kind, content, token, accepted):
    shared.flag("proxy.disable.duid", kind)
    if content:
        shared.write_file("/etc/vornex/proxy.disable.duid", content)
    before = snapshot(shared)
    t0 = now()
    result = shared.run(token=token)
    t1 = now()
    if accepted:
        assert_accepted(shared, result)
        assert lines(result) == []
        assert shared.read(log_path("site1")) == bytes(24)
    else:
        assert_rejected(shared, result)
        assert lines(result) == [alert("site1")]
        counted_once(shared, "site1", t0, t1)
    assert changed(shared, before) == [log_path("site1"), lock_path("site1")]


def test_blocked_requesting_user_is_accepted_through_another_account(shared):
    write_record(shared, record(1, 2**40, 3, 1), "site1", UID)
    before = snapshot(shared)
    result = shared.run(token=b"b-token")
    assert_accepted(shared, result)
    # The blocked name is passed over without a line and without a change of its record
    # (its lock file, missing so far, is created empty).
    assert lines(result) == [*no_dir(result), alert("alpha")]
    assert changed(shared, before) == sorted(
        [log_path("alpha"), log_path("beta"), lock_path("alpha"), lock_path("beta"),
         lock_path("site1")])
    assert shared.read(lock_path("site1")) == b""


def test_blocked_requesting_user_with_the_disable_file_is_refused(shared):
    write_record(shared, record(1, 2**40, 3, 1), "site1", UID)
    shared.flag("proxy.disable.duid")
    before = snapshot(shared)
    result = shared.run(token=b"secret")
    assert_rejected(shared, result)
    assert lines(result) == []
    assert changed(shared, before) == [lock_path("site1")]
    assert shared.read(lock_path("site1")) == b""


def test_token_that_matches_no_entry(shared):
    shared.flag()
    before = snapshot(shared)
    t0 = now()
    result = shared.run(token=b"nothing")
    t1 = now()
    assert_rejected(shared, result)
    expected = [no_lock("nodir"), no_auth_log("nodir", log_path("nodir")),
                no_dir(result)[1]]
    for name in ("alpha", "site1", "beta", "gamma"):
        expected += [no_auth_log(name, log_path(name)),
                     (ERR, f"Token is incorrect for user {name}"), alert(name)]
    assert lines(result) == expected
    for name in ("alpha", "site1", "beta", "gamma"):
        counted_once(shared, name, t0, t1)
    assert not any("other" in p for p in changed(shared, before))


def test_messages_of_another_entry_name_it_and_the_account(shared):
    shared.flag()
    shared.token("alpha", UID, "a-token\n", owner=0)
    shared.token("site1", UID, "secret\n", mode=0o600)
    write_record(shared, record(1, 1, 0, 0), "alpha", UID)
    write_record(shared, record(1, 1, 0, 0), "site1", UID)
    result = shared.run(token=b"b-token")
    assert_accepted(shared, result)
    assert lines(result)[3:] == [
        (ERR, f"owner of file {token_path('alpha')}:0 and data from socket site1:1005 are "
              "different, user: alpha"),
        alert("alpha"),
        (ERR, f"file {token_path('site1')} mode should be 0400 (octal), but it is 600, "
              "user: site1"),
        alert("site1"),
        no_auth_log("beta", log_path("beta")),
    ]


def test_entry_without_token_file_is_not_counted(shared):
    shared.remove(token_path("alpha"))
    before = snapshot(shared)
    result = shared.run(token=b"b-token")
    assert_accepted(shared, result)
    assert lines(result) == [*no_dir(result), alert("site1")]
    assert shared.read(log_path("alpha")) is None
    assert log_path("alpha") not in changed(shared, before)


def test_another_uid_is_never_tried(shared):
    before = snapshot(shared)
    result = shared.run(user="other", token=b"a-token")
    assert_rejected(shared, result)
    assert lines(result) == [alert("other", OTHER_UID)]
    assert [p for p in changed(shared, before)] == [
        f"{user_dir('other', OTHER_UID)}/.ferrymate.log",
        f"{user_dir('other', OTHER_UID)}/.ferrymate.log.lock"]


def test_blocks_are_per_name_in_the_search(shared):
    # Three wrong tokens block every name of the uid; then no token gets through, and no
    # further line is logged but those of the name without a directory.
    for _ in range(3):
        assert_rejected(shared, shared.run(token=b"nothing"))
    for name in ("alpha", "site1", "beta", "gamma"):
        rec = decode_record(shared.read(log_path(name)))
        assert (rec.failure_count, rec.block_count) == (3, 1), name
    before = snapshot(shared)
    for token in (b"a-token", b"secret", b"g-token"):
        result = shared.run(token=token)
        assert_rejected(shared, result)
        assert lines(result) == no_dir(result)
    assert changed(shared, before) == []
