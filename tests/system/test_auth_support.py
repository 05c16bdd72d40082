"""Shared pieces of the token authentication tests: the paths of site1's per-user files,
the expected log lines, and the lockout arithmetic as the server must apply it."""

import time

from sandbox import IDENT, PRI_AUTHPRIV_ALERT, PRI_DAEMON_ERR, PRI_DAEMON_WARNING
from sandbox import decode_record, encode_record

NAME = "site1"
UID = 1005
DIR = "/var/vornex/05/site1"
LOG = DIR + "/.ferrymate.log"
LOCK = DIR + "/.ferrymate.log.lock"
TOKEN = DIR + "/.vornex/.vornex.token"

# The probe runs as root: the launch then adds no lines of its own to an accepted request's.
ROOT_COMMAND = "probe=root:/usr/local/bin/probe\n"

ERR = PRI_DAEMON_ERR  # <27>
WARNING = PRI_DAEMON_WARNING  # <28>
ALERT = PRI_AUTHPRIV_ALERT  # <81>

BLOCK_SECONDS = 30
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


def alert(name=NAME, uid=UID):
    return (ALERT, f"Invalid ferrymate command token for user: {name} (UID: {uid})")


def no_auth_log(name=NAME, path=LOG):
    return (ERR, f"Can`t open auth log file {path} for user {name}")


def temp_path(pid, log=LOG):
    return f"{log}.{pid}"


def wrap32(value):
    return (value + 2**31) % 2**32 - 2**31


def apply_outcome(record, success, now, block_now=None):
    """The record after one check at time `now`, with C's wrapping and signed remainder."""
    last, blocked, failures, blocks = record
    if success:
        return (last, blocked, 0, blocks)
    failures = wrap32(failures + 1)
    if abs(failures) % 3 == 0:
        blocked = (now if block_now is None else block_now) + BLOCK_SECONDS
        blocks = wrap32(blocks + 1)
    return (now, blocked, failures, blocks)


def assert_updated(data, old, success, t0, t1):
    """`data` is the whole record that one check made of `old` between t0 and t1."""
    assert data is not None and len(data) == 24, data
    got = decode_record(data)
    if success:
        assert got == apply_outcome(old, True, 0), (got, old)
        return got
    now = got[0]
    assert t0 <= now <= t1, (got, t0, t1)
    block_now = None
    if abs(wrap32(old[2] + 1)) % 3 == 0:
        # The block's start is read anew, so it may lie a second after the failure's time.
        assert now + BLOCK_SECONDS <= got[1] <= t1 + BLOCK_SECONDS, (got, t0, t1)
        block_now = got[1] - BLOCK_SECONDS
    expected = apply_outcome(old, False, now, block_now)
    assert got == expected, (got, expected, old)
    return got


def record(last=0, blocked=0, failures=0, blocks=0):
    return (last, blocked, failures, blocks)


def write_record(sb, rec, name=NAME, uid=UID):
    sb.write_auth_log(name, uid, encode_record(*rec))


def now():
    return int(time.time())


def timed(sb, **kwargs):
    """Runs one request; gives the result and the whole seconds that enclose it."""
    t0 = now()
    result = sb.run(**kwargs)
    return result, t0, now()


def lines(result):
    """(priority, text) of every line of the run, all logged by the server process itself."""
    assert all(r.ident == IDENT and r.pid == result.pid for r in result.logs), result.logs
    return result.lines()


def assert_accepted(sb, result, reports_before=0):
    """The token was accepted: the request went on to the command, the probe."""
    assert result.rc == 0 and result.stderr == b"", result
    assert len(sb.probe_reports("probe")) == reports_before + 1, result


def assert_rejected(sb, result, reports_before=0):
    result.assert_failed()
    assert result.stdout == b""
    assert len(sb.probe_reports("probe")) == reports_before, result


def leftovers(sb, directory=DIR):
    """Names in the per-user directory other than the token dir, the auth log and the lock."""
    return [n for n in sb.listdir(directory)
            if n not in (".vornex", ".ferrymate.log", ".ferrymate.log.lock")]
