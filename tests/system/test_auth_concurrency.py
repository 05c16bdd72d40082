"""Many servers started together for one name: the auth lock makes every read, change and
rewrite of the record one step, so no update is lost, the auth log is always one whole
record and no temporary file is left."""

import threading
import time

import pytest

from sandbox import ERROR_LINE, decode_record
from test_auth_support import (BLOCK_SECONDS, ERR, LOCK, LOG, ROOT_COMMAND, alert, leftovers,
                               no_auth_log, now, record, write_record)

PAST = 1_000_000
INCORRECT = (ERR, "Token is incorrect for user site1")
PROCESSES = 64


@pytest.fixture
def site1(site1):
    site1.commands(ROOT_COMMAND)
    site1.flag()  # every counted check leaves two lines, a blocked one none
    return site1


class Sampler:
    """Reads the auth log from the upper dir over and over while the servers run."""

    def __init__(self, sb):
        self.sb = sb
        self.sizes = {}
        self.records = set()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            data = self.sb.read(LOG)
            size = None if data is None else len(data)
            self.sizes[size] = self.sizes.get(size, 0) + 1
            if size == 24:
                self.records.add(data)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def run_together(sb, tokens):
    with Sampler(sb) as sampler:
        t0 = now()
        start = time.monotonic()
        results, _ = sb.run_many([{"token": t} for t in tokens], timeout=120)
        elapsed = time.monotonic() - start
        t1 = now()
    return results, sampler, t0, t1, elapsed


def classify(result, token, had_log):
    """What one server did, told by its status and its own lines."""
    got = result.lines()
    if not had_log and got[:1] == [no_auth_log()]:
        got = got[1:]
        first = True
    else:
        first = False
    if token == b"secret" and result.rc == 0 and result.stderr == b"" and got == []:
        return "accepted", first
    assert result.rc == 1 and result.stderr == ERROR_LINE, result
    if token != b"secret" and got == [INCORRECT, alert()]:
        return "counted", first
    assert got == [] and not first, result
    return "blocked", first


def sequential(old, failures, t0, t1, got):
    """Asserts that `got` is what `failures` failures in a row make of `old` at [t0, t1]."""
    expected_failures = old[2] + failures
    crossed = expected_failures // 3 - old[2] // 3
    assert (got.failure_count, got.block_count) == (expected_failures, old[3] + crossed), got
    if failures:
        assert t0 <= got.last_failure_time <= t1, got
    if crossed:
        assert t0 + BLOCK_SECONDS <= got.blocked_until <= t1 + BLOCK_SECONDS, got
    else:
        assert got.blocked_until == old[1], got


def assert_clean(sb, sampler, had_log):
    assert set(sampler.sizes) <= ({24} if had_log else {None, 24}), sampler.sizes
    assert len(sb.read(LOG)) == 24
    assert sb.read(LOCK) == b""
    assert leftovers(sb) == []


@pytest.mark.parametrize("old", [None, record(PAST, PAST, 1, 0), record(PAST, PAST, 5, 1)])
def test_wrong_tokens_together(site1, old):
    if old is not None:
        write_record(site1, old)
    tokens = [b"wrong-%d" % i for i in range(PROCESSES)]
    results, sampler, t0, t1, elapsed = run_together(site1, tokens)
    kinds = [classify(r, t, old is not None) for r, t in zip(results, tokens)]
    counted = sum(1 for kind, _ in kinds if kind == "counted")
    blocked = sum(1 for kind, _ in kinds if kind == "blocked")
    assert counted + blocked == PROCESSES
    # Only the first holder of the lock finds no auth log.
    assert sum(1 for _, first in kinds if first) == (1 if old is None else 0)
    start = old or record()
    got = decode_record(site1.read(LOG))
    sequential(start, counted, t0, t1, got)
    if elapsed < BLOCK_SECONDS - 5:
        # In turn, the checks stop being counted at the block: the next multiple of 3.
        assert counted == 3 - start[2] % 3, kinds
    # Every record seen on the way is one of those the failures made in turn.
    for data in sampler.records:
        seen = decode_record(data)
        assert start[2] <= seen.failure_count <= got.failure_count, seen
    assert_clean(site1, sampler, old is not None)


@pytest.mark.parametrize("every", [2, 4, 8])
def test_right_and_wrong_tokens_together(site1, every):
    old = record(PAST, PAST, 0, 5)
    write_record(site1, old)
    tokens = [b"wrong" if i % every == 0 else b"secret" for i in range(PROCESSES)]
    results, sampler, t0, t1, elapsed = run_together(site1, tokens)
    kinds = [classify(r, t, True)[0] for r, t in zip(results, tokens)]
    accepted, counted, blocked = (kinds.count(k) for k in ("accepted", "counted", "blocked"))
    assert accepted + counted + blocked == PROCESSES
    assert len(site1.probe_reports("probe")) == accepted
    got = decode_record(site1.read(LOG))
    assert got.failure_count <= counted
    if got.block_count == 6:
        # Only a third failure in a row blocks, and after it nothing else is checked. The
        # third may also be the last server to take the lock, and then none finds the block.
        assert got.failure_count == 3, (got, kinds)
        assert t0 + BLOCK_SECONDS <= got.blocked_until <= t1 + BLOCK_SECONDS
        assert counted >= 3
    else:
        assert blocked == 0, (got, kinds)
        assert got.failure_count < 3 and got.block_count == 5 and got.blocked_until == PAST
    if counted:
        assert t0 <= got.last_failure_time <= t1
    else:
        assert got == old
    for data in sampler.records:
        seen = decode_record(data)
        assert seen.block_count in (5, 6) and 0 <= seen.failure_count <= 3, seen
    assert_clean(site1, sampler, True)
