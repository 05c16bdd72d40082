"""The listener under the socket activator, in the sandbox: the bounds it keeps before any
front-end starts, a flood of one uid beside another's requests, the count of live requests
across a restart, and its end when idle."""

import signal
import subprocess
import time

from sandbox import FRONTEND_IDENT, LOG_AUTHPRIV, SOCKET, Frontend
from test_frontend import comm, wait_for, way_in  # noqa: F401 (the fixture)

PRI_WARNING = LOG_AUTHPRIV * 8 + 4
BUSY = b"vornex: refused: too many requests of this user at once\n"

# Connects and closes as fast as it can for argv[2] seconds; prints the count when done.
FLOOD = """
import socket, sys, time
end, count = time.monotonic() + float(sys.argv[2]), 0
while time.monotonic() < end:
    s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    try:
        s.connect(sys.argv[1])
        count += 1
    except OSError:
        pass
    s.close()
    if count == 100:
        print("flooding", flush=True)
print(count, flush=True)
"""


def listener_lines(fe, records):
    return [(r.pri, r.text) for r in records if r.ident == FRONTEND_IDENT and r.pid == fe.pid]


def hold_eight(fe, user):
    """Eight live requests of `user`, each a sleep until killed."""
    running = [fe.start(["sleep", "60"], user) for _ in range(8)]
    wait_for(lambda: sum(comm(p) == "sleep" for p in fe.namespace_pids()) == 8)
    return running


def release(fe, running):
    for proc in running:
        proc.send_signal(signal.SIGTERM)
    assert [fe.collect(p, settle=False).rc for p in running] == [-signal.SIGTERM] * 8


def front_ends(fe):
    return sum(comm(p) == "vornex-frontend" for p in fe.namespace_pids())


def test_ninth_live_request_is_refused_by_the_listener(way_in):
    fe, user = way_in.frontend, way_in.site1
    running = hold_eight(fe, user)
    try:
        assert front_ends(fe) == 8
        result = fe.collect(fe.start(["whoami"], user), settle=False)
        assert (result.rc, result.stderr) == (1, BUSY)
        # no front-end started for it: the refusal is the listener's own line, the only one
        assert front_ends(fe) == 8
        assert [(r.pid, r.text) for r in result.logs if r.ident == FRONTEND_IDENT] == [
            (fe.pid, "uid=1005 outcome=refused:busy")]
    finally:
        release(fe, running)
    assert fe.settle() == []


def test_flood_of_one_uid_leaves_others_served(way_in):
    fe, flooder, user = way_in.frontend, way_in.site2, way_in.site1
    flood = fe.start(["-c", FLOOD, SOCKET, "5"], flooder, program="/usr/bin/python3")
    assert flood.stdout.readline() == b"flooding\n"
    served = [fe.collect(fe.start(["whoami"], user), settle=False) for _ in range(3)]
    still_flooding = flood.poll() is None
    out, _ = flood.communicate(timeout=30)
    assert still_flooding, "the flood ended before the other uid's requests did"
    assert [(r.rc, r.stdout) for r in served] == [(0, b"site1\n")] * 3
    assert int(out) > 100 and fe.proc.poll() is None
    # refusals during the flood are logged a line at a time, not one per connection
    logs = [r for result in served for r in result.logs] + way_in.logs()
    refusals = [text for _, text in listener_lines(fe, logs)]
    assert len(refusals) <= 1, refusals
    # the flooder's own connections still queued are worked off, then it is served again
    wait_for(lambda: fe.collect(fe.start(["whoami"], flooder), settle=False).rc == 0)


def test_live_count_survives_a_listener_restart(way_in):
    fe, user = way_in.frontend, way_in.site1
    running = hold_eight(fe, user)
    try:
        fe.restart()
        result = fe.collect(fe.start(["whoami"], user), settle=False)
        assert (result.rc, result.stderr) == (1, BUSY)
        assert front_ends(fe) == 8
        other = fe.collect(fe.start(["whoami"], way_in.site2), settle=False)
        assert (other.rc, other.stdout) == (0, b"site2\n")
    finally:
        release(fe, running)
    # the slots of the first listener's front-ends are seen free again
    wait_for(lambda: fe.collect(fe.start(["whoami"], user), settle=False).rc == 0)


def test_listener_ends_when_idle_and_not_before(way_in):
    way_in.frontend.close()
    fe = way_in.frontend = Frontend(way_in, ["--idle-exit", "1"])
    proc = fe.start(["cat"], way_in.site1, stdin=subprocess.PIPE)
    wait_for(lambda: any(comm(p) == "cat" for p in fe.namespace_pids()))
    time.sleep(1.5)
    assert fe.proc.poll() is None  # a live request keeps it
    proc.stdin.close()
    proc.stdin = None
    assert fe.collect(proc, settle=False).rc == 0
    assert fe.proc.wait(15) == 0
