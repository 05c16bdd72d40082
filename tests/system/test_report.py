"""The report that a front-end may ask for: VORNEX_REPORT_FD naming its end of a socket pair,
the records the installed server sends on it, and values that are not a report at all."""

import os
import socket
import time

import pytest

from sandbox import FAILED, REFUSED, decode_report, encode_record

PROBE = "/usr/local/bin/probe"
MISSING = b"/usr/local/bin/missing"
TOKEN_FILE = b"/var/vornex/05/site1/.vornex/.vornex.token"


def reported(sb, value="3", fd3="pair", **run):
    """Runs the request with `value` in VORNEX_REPORT_FD and, as descriptor 3, the server's
    end of a socket pair, a pipe or a connected internet datagram socket; returns the result
    and the records that reached the test's end of either socket."""
    mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    udp, sink = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2))
    sink.bind(("127.0.0.1", 0))
    udp.connect(sink.getsockname())
    read_end, write_end = os.pipe()
    fd = {"pair": theirs.fileno(), "udp": udp.fileno(), "pipe": write_end}[fd3]
    env = dict(run.pop("env", {}), VORNEX_REPORT_FD=value)
    try:
        result = sb.run(fd3=fd, env=env, library_path=sb.doubles_dir, **run)
    finally:
        theirs.close()
        udp.close()
        os.close(read_end)
        os.close(write_end)
    mine.settimeout(10)  # every other end is closed: the queue ends at once
    sink.setblocking(False)
    with mine, sink:
        records = [decode_report(data) for data in iter(lambda: mine.recv(1 << 16), b"")]
        try:
            records.append(decode_report(sink.recv(1 << 16)))
        except BlockingIOError:
            pass
    return result, records


def block(sb):
    sb.write_auth_log("site1", 1005, encode_record(int(time.time()), int(time.time()) + 100, 3))


def use(line):
    return lambda sb: sb.commands(line + "\n")


# The setup, the run's fields, the status, the line on standard error (None: nothing), and
# the records after the announcement as (kind, number, text, detail); a range of numbers
# stands for the seconds that a block has left.
ROWS = {
    "refused": (None, {"pid": "12a"}, 1, REFUSED, [("refused", 0, b"", b"")]),
    "token-missing": (None, {"token": None}, 1, REFUSED, [("token-missing", 0, b"", b"")]),
    "alias-unknown": (None, {"alias": "nosuch"}, 1, FAILED, [("alias-unknown", 0, b"", b"")]),
    "no account": (None, {"user": "nosuch"}, 1, FAILED,
                   [("account", 0, b"", b"no such account")]),
    "root account": (None, {"user": "root"}, 1, FAILED, [("account", 0, b"", b"root")]),
    "token-file": (lambda sb: sb.token("site1", 1005, "secret\n", mode=0o600), {}, 1, FAILED,
                   [("token-file", 0, TOKEN_FILE, b"mode is not 0400")]),
    "token-wrong": (None, {"token": "wrong"}, 1, FAILED, [("token-wrong", 0, b"", b"")]),
    "blocked": (block, {}, 1, FAILED, [("blocked", range(90, 101), b"", b"")]),
    "validator": (lambda sb: sb.install_validator(2), {}, 1, FAILED,
                  [("validator", 0, b"", b"")]),
    "container": (lambda sb: sb.remove("/etc/sorvantine-edition-tavo"),
                  {"env": {"VORNEX_DOUBLE_FAIL": "init_qor"}}, 1, FAILED,
                  [("container", 0, b"", b"")]),
    "identity": (use(f"probe=nosuch:{PROBE}"), {}, 1, FAILED, [("identity", 0, b"", b"")]),
    "cwd": (None, {"cwd": "/home/nonexistent"}, 1, FAILED, [("cwd", 0, b"", b"")]),
    "exec": (use("probe=" + MISSING.decode()), {}, 1, FAILED,
             [("runs", 0, MISSING, b"site1"), ("exec", 0, MISSING, b"")]),
    "internal": (use("probe=usr/local/bin/probe"), {}, 1, FAILED, [("internal", 0, b"", b"")]),
    "crontab-check": (use(f"CRONTAB_CHECK={PROBE}"), {"alias": "CRONTAB_CHECK"}, 0, None,
                      [("crontab-check", 0, b"", b"")]),
    "served": (None, {}, 0, None, [("runs", 0, PROBE.encode(), b"site1")]),
    "served as root": (use(f"probe=root:{PROBE}"), {}, 0, None,
                       [("runs", 0, PROBE.encode(), b"root")]),
}


@pytest.mark.parametrize("row", ROWS)
def test_each_end_is_reported_after_the_announcement(site1, row):
    setup, run, status, line, expected = ROWS[row]
    if setup is not None:
        setup(site1)
    result, records = reported(site1, **run)
    assert result.rc == status, result
    assert result.stderr == (b"" if line is None else (line + "\n").encode()), result
    assert records[0] == ("announce", result.pid, b"", b""), records
    assert len(records) == len(expected) + 1, records
    for (kind, number, text, detail), want in zip(records[1:], expected):
        if isinstance(want[1], range) and number in want[1]:
            number = want[1]
        assert (kind, number, text, detail) == want, records


def test_neither_validator_nor_command_gets_the_report(site1):
    result, records = reported(site1)
    assert result.rc == 0 and [r[0] for r in records] == ["announce", "runs"], records
    for seen in site1.probe_reports("check_params.py") + site1.probe_reports("probe"):
        assert "VORNEX_REPORT_FD" not in seen["environ"]
        assert sorted(seen["fds"]) == ["0", "1", "2"]


@pytest.mark.parametrize("value, fd3", [
    ("3", "pipe"), ("3", "udp"),  # no socket, or not a Unix one
    ("4", "pair"),                # no open descriptor
    ("2", "pair"), ("0", "pair"), ("abc", "pair"), ("", "pair"), ("+3", "pair"),
    (" 3", "pair"), ("3x", "pair"), ("4294967299", "pair"),  # the last is 3 cut to 32 bits
])
def test_other_values_are_ignored(site1, value, fd3):
    site1.install_validator(2)  # a failure has a line on standard error and one in the log
    plain = site1.run(library_path=site1.doubles_dir)
    result, records = reported(site1, value, fd3)
    assert records == []
    assert (result.rc, result.stdout, result.stderr, result.texts()) == \
        (plain.rc, plain.stdout, plain.stderr, plain.texts()) == \
        (1, b"", (FAILED + "\n").encode(), [f"Can't start program {PROBE}"])
    first, second = site1.probe_reports("check_params.py")
    assert "VORNEX_REPORT_FD" not in second["environ"]
    assert sorted(second["fds"]) == sorted(first["fds"]) == ["0", "1", "2"]
