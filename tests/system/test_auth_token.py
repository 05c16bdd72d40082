"""The token file check seen from the outside: owner and mode rules, the first line and its
line ending, and the token file that is missing."""

import pytest

from sandbox import decode_record
from test_auth_support import (ERR, LOCK, LOG, NAME, ROOT_COMMAND, TOKEN, UID, alert,
                               assert_accepted, assert_rejected, assert_updated, leftovers,
                               lines, no_auth_log, now, record, timed, write_record)

OWNER_MESSAGE = "owner of file {}:{} and data from socket site1:1005 are different, user: site1"
MODE_MESSAGE = "file {} mode should be 0400 (octal), but it is {}, user: site1"


@pytest.fixture
def site1(site1):
    site1.commands(ROOT_COMMAND)
    return site1


def set_token_file(sb, content, mode=0o400, owner=UID, group=None):
    sb.token(NAME, UID, content, mode=mode, owner=owner, group=group)


@pytest.mark.parametrize("mode, owner, group, message", [
    (0o400, UID, None, None),
    (0o4400, UID, None, None),
    (0o2400, UID, None, None),
    (0o1400, UID, None, None),
    (0o7400, UID, None, None),
    (0o400, UID, 0, None),  # the group is not examined
    (0o600, UID, None, MODE_MESSAGE.format(TOKEN, "600")),
    (0o440, UID, None, MODE_MESSAGE.format(TOKEN, "440")),
    (0o444, UID, None, MODE_MESSAGE.format(TOKEN, "444")),
    (0o404, UID, None, MODE_MESSAGE.format(TOKEN, "404")),
    (0o500, UID, None, MODE_MESSAGE.format(TOKEN, "500")),
    (0o000, UID, None, MODE_MESSAGE.format(TOKEN, "0")),
    (0o4600, UID, None, MODE_MESSAGE.format(TOKEN, "600")),
    (0o400, 0, None, OWNER_MESSAGE.format(TOKEN, 0)),
    (0o400, 1006, None, OWNER_MESSAGE.format(TOKEN, 1006)),
    # The owner rule comes first: a file that breaks both gives the owner message only.
    (0o644, 0, None, OWNER_MESSAGE.format(TOKEN, 0)),
])
def test_owner_and_mode_rules(site1, mode, owner, group, message):
    set_token_file(site1, "secret\n", mode, owner, group)
    site1.flag()
    result, t0, t1 = timed(site1)
    if message is None:
        assert_accepted(site1, result)
        assert lines(result) == [no_auth_log()]
        assert decode_record(site1.read(LOG)) == record()
    else:
        # The token was right, but a file that breaks a rule counts as a failed attempt.
        assert_rejected(site1, result)
        assert lines(result) == [no_auth_log(), (ERR, message), alert()]
        assert_updated(site1.read(LOG), record(), False, t0, t1)


@pytest.mark.parametrize("mode, owner", [(0o600, UID), (0o400, 0)])
def test_rule_messages_need_the_debug_flag(site1, mode, owner):
    set_token_file(site1, "secret\n", mode, owner)
    result, t0, t1 = timed(site1)
    assert_rejected(site1, result)
    assert lines(result) == [alert()]
    assert_updated(site1.read(LOG), record(), False, t0, t1)


LONG = "a" * 1023


@pytest.mark.parametrize("content, token, accepted", [
    (b"secret\r\n", b"secret", True),
    (b"secret\n", b"secret", True),
    (b"secret\r", b"secret", True),
    (b"secret", b"secret", True),
    (b"secret\n\r", b"secret", True),
    (b"secret\n\n", b"secret", True),
    (b"secret\nother\n", b"secret", True),
    (b"other\nsecret\n", b"secret", False),
    (b"other\nsecret\n", b"other\nsecret", False),
    (b"", b"secret", False),
    (b"\n", b"secret", False),
    (b"\nsecret\n", b"secret", False),
    # Only a cut line ending lets the byte before it be examined.
    (b"secret\rX", b"secret", False),
    (b"secret\rX", b"secret\rX", True),
    (b"secret\nX", b"secret", True),
    (b"secre\rt\n", b"secre\rt", True),
    (b"secret\r\r\n", b"secret\r", True),
    (b"secret\r\r\n", b"secret", False),
    (b" secret\n", b"secret", False),
    (b"secret \n", b"secret", False),
    (b"SECRET\n", b"secret", False),
    (b"secreT\n", b"secret", False),
    (b"xecret\n", b"secret", False),
    (b"secret\n", b"secre", False),
    (b"secret\n", b"secrett", False),
    # At most 1023 bytes of the first line are read.
    (LONG.encode() + b"bbbb\n", LONG.encode(), True),
    (LONG.encode() + b"bbbb\n", LONG.encode() + b"bbbb", False),
    (b"a" * 1024, b"a" * 1024, False),
    (b"a" * 1022 + b"\r\n", b"a" * 1022, True),
])
def test_first_line_rules(site1, content, token, accepted):
    set_token_file(site1, content)
    write_record(site1, record(5, 6, 1, 0))
    result, t0, t1 = timed(site1, token=token)
    if accepted:
        assert_accepted(site1, result)
        assert lines(result) == []
        assert decode_record(site1.read(LOG)) == record(5, 6, 0, 0)
    else:
        assert_rejected(site1, result)
        assert lines(result) == [alert()]
        assert_updated(site1.read(LOG), record(5, 6, 1, 0), False, t0, t1)


def test_wrong_token_lines_with_debug(site1):
    site1.flag()
    result, t0, t1 = timed(site1, token=b"wrong")
    assert_rejected(site1, result)
    assert lines(result) == [no_auth_log(), (ERR, "Token is incorrect for user site1"), alert()]
    assert_updated(site1.read(LOG), record(), False, t0, t1)


@pytest.mark.parametrize("debug", [False, True])
@pytest.mark.parametrize("old", [None, record(7, 8, 2, 0)])
def test_missing_token_file_is_not_counted(site1, debug, old):
    site1.remove(TOKEN)
    if debug:
        site1.flag()
    if old is not None:
        write_record(site1, old)
    before = site1.read(LOG)
    result = site1.run(token=b"secret")
    assert_rejected(site1, result)
    expected = [(ERR, f"File {TOKEN} not exists, user: site1")] if debug else []
    if debug and old is None:
        expected.insert(0, no_auth_log())
    assert lines(result) == expected
    # Two failures stand in the record: a counted third one would have blocked the name.
    assert site1.read(LOG) == before
    assert site1.read(LOCK) == b""
    assert leftovers(site1) == []


@pytest.mark.parametrize("uid, prefix", [(1007, "07"), (1100, "00"), (1199, "99"),
                                         (4294967294, "94")])
def test_user_prefix_selects_the_directory(site1, uid, prefix):
    site1.add_user("other", uid)
    site1.token("other", uid, "secret\n")
    result = site1.run(user="other")
    assert_accepted(site1, result)
    assert site1.read(f"/var/vornex/{prefix}/other/.ferrymate.log") == bytes(24)


def test_largest_uid_is_printed_signed(site1):
    # No file can belong to uid 4294967295 (chown reads it as "leave unchanged"), so the
    # token file stays root's and the check counts a failure under the prefix 95.
    site1.add_user("umax", 4294967295)
    site1.token("umax", 4294967295, "secret\n")
    site1.flag()
    base = "/var/vornex/95/umax"
    t0 = now()
    result = site1.run(user="umax")
    assert_rejected(site1, result)
    assert lines(result) == [
        no_auth_log("umax", base + "/.ferrymate.log"),
        (ERR, f"owner of file {base}/.vornex/.vornex.token:0 and data from socket umax:-1 are "
              "different, user: umax"),
        alert("umax", -1)]
    assert_updated(site1.read(base + "/.ferrymate.log"), record(), False, t0, now())
