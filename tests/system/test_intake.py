"""Request intake: the refusals on the request's face, the token's removal from the
environment, the requesting account's checks and the flag files, against the installed server.

Every refusal and failure is checked as a whole: status 1, the one line on standard error,
and the exact list of lines logged under "vornex.command.server" at <27> (daemon, error).
"""

import pytest

from sandbox import (IDENT, PRI_DAEMON_ERR, SERVER, VALIDATOR, LOG_DAEMON, LOG_ERR, FAILED,
                     REFUSED)

PROBE = "/usr/local/bin/probe"
EMPTY = "Empty arguments are not allowed: user: {}, cwd: {}, command: {}, pid: {}"
BAD_PID = "Only valid numbers allowed as pid value, pid: {}"
NO_TOKEN = "VORNEX_TOKEN environment variable is missing or empty, value: {}"
HOSTILE = b"%n%s%x%p%%\x80\xff\xc3\x28\xe2\x82 ;$(id)`\\"


def logged(result):
    """The server's lines as (pri, bytes), in order; records of other idents fail."""
    assert all(r.ident == IDENT for r in result.logs), result.logs
    return [(r.pri, r.text_bytes) for r in result.logs]


def err(*texts):
    return [(PRI_DAEMON_ERR, t.encode() if isinstance(t, str) else t) for t in texts]


def auth_misses(name, uid_prefix):
    """What a check of a name without token file and auth log logs with the debug flag on."""
    base = f"/var/vornex/{uid_prefix}/{name}"
    return err(f"Can`t open auth log file {base}/.ferrymate.log for user {name}",
               f"File {base}/.vornex/.vornex.token not exists, user: {name}")


def accepted(sb, **kwargs):
    """Runs a request that must get through to the command, with the recording doubles of
    the platform libraries (the real quota call needs a capability this host may lack);
    returns the command's report."""
    result = sb.run(library_path=sb.doubles_dir, **kwargs)
    assert (result.rc, result.stderr, result.logs) == (0, b"", []), result
    reports = sb.probe_reports("probe")
    assert len(reports) == 1, reports
    return reports[0]


# -- argument count -------------------------------------------------------------------------

@pytest.mark.parametrize("argv, lines", [
    (["x"], ["Less then 5 arguments passed"]),
    (["x", "frontend"], ["Less then 5 arguments passed"]),
    (["x", "frontend", "site1"], ["Less then 5 arguments passed", "User -> site1"]),
    (["x", "frontend", ""], ["Less then 5 arguments passed", "User -> "]),
    (["x", "", "%n%s%x", "/"], ["Less then 5 arguments passed", "User -> %n%s%x"]),
    (["x", "f", "site1", "/home/site1", "probe"],
     ["Less then 5 arguments passed", "User -> site1"]),
])
@pytest.mark.parametrize("token", [b"secret", None])
def test_fewer_than_six_entries_are_refused_first(sb, argv, lines, token):
    # The count is judged before the token: a missing token does not change the lines.
    result = sb.run(raw_argv=argv, token=token)
    result.assert_refused()
    assert logged(result) == err(*lines)


def test_six_entries_are_enough(site1):
    report = accepted(site1, raw_argv=[SERVER, "f", "site1", "/home/site1", "probe", "7"])
    assert report["argv"] == [PROBE]


# -- token ----------------------------------------------------------------------------------

@pytest.mark.parametrize("token, shown", [(None, "(null)"), (b"", "")])
@pytest.mark.parametrize("tail", [
    ["frontend", "site1", "/home/site1", "probe", "1"],
    ["frontend", "", "", "", ""],        # the token is judged before empty arguments
    ["frontend", "site1", "/", "probe", "x1"],  # and before the pid
])
def test_missing_or_empty_token_is_refused(sb, token, shown, tail):
    result = sb.run(tail, token=token)
    result.assert_refused()
    assert logged(result) == err(NO_TOKEN.format(shown))


def test_token_is_gone_from_the_validator_and_command_environment(site1):
    report = accepted(site1)
    [validator] = site1.probe_reports("check_params.py")
    for seen in (report, validator):
        assert "VORNEX_TOKEN" not in seen["environ"]
        assert seen["environ"]["PROBE_DIR"] == site1.probe_dir  # the rest is inherited


def test_token_is_gone_also_when_the_request_fails_later(site1):
    site1.install_validator(2)
    result = site1.run(library_path=site1.doubles_dir)
    result.assert_failed()
    assert logged(result) == err(f"Can't start program {PROBE}")
    [validator] = site1.probe_reports("check_params.py")
    assert "VORNEX_TOKEN" not in validator["environ"]
    assert validator["argv"] == [VALIDATOR, "site1", "/home/site1", PROBE]
    assert site1.probe_reports("probe") == []


# -- arguments present, not empty, pid --------------------------------------------------------

@pytest.mark.parametrize("fields", [
    ("", "/home/site1", "probe", "1"),
    ("site1", "", "probe", "1"),
    ("site1", "/home/site1", "", "1"),
    ("site1", "/home/site1", "probe", ""),
    ("", "", "", ""),
    ("site1", "", "probe", "12a"),  # empty arguments are judged before the pid
])
def test_empty_arguments_are_refused(sb, fields):
    result = sb.run(["frontend", *fields])
    result.assert_refused()
    assert logged(result) == err(EMPTY.format(*fields))


@pytest.mark.parametrize("pid", [
    "12a", "-5", "+5", " 5", "5 ", "5\n", "\t5", "0x1", "1.0", "1e3", "\u0663", "\u00b2",
    b"1\xff", "%d", "x"])
def test_pid_must_be_all_digits(sb, pid):
    result = sb.run(["frontend", "site1", "/home/site1", "probe", pid])
    result.assert_refused()
    shown = pid if isinstance(pid, bytes) else pid.encode()
    assert logged(result) == err(BAD_PID.encode().replace(b"{}", shown))


@pytest.mark.parametrize("pid", ["0", "0123", "1" * 20, "1" * 40])
def test_pids_with_leading_zeros_and_many_digits_go_on(site1, pid):
    accepted(site1, pid=pid)
    pid_file = site1.read(f"/home/site1/.vornex/tmp/.vornex.proxy.{pid}")
    assert pid_file is not None and pid_file.isdigit()


@pytest.mark.parametrize("argv1", ["", "anything at all", "%s%n", b"\xff\xfe", "z" * 20000])
def test_position_one_is_never_read(site1, argv1):
    assert accepted(site1, argv1=argv1)["argv"] == [PROBE]


# -- values quoted as received ----------------------------------------------------------------

@pytest.mark.parametrize("argv, line", [
    ([b"x", b"f", HOSTILE, b"/"], b"User -> " + HOSTILE),
    ([SERVER, b"f", HOSTILE, HOSTILE, HOSTILE, b""],
     b"Empty arguments are not allowed: user: " + HOSTILE + b", cwd: " + HOSTILE
     + b", command: " + HOSTILE + b", pid: "),
    ([SERVER, b"f", b"site1", b"/", b"probe", HOSTILE],
     b"Only valid numbers allowed as pid value, pid: " + HOSTILE),
    ([SERVER, b"f", HOSTILE, b"/", HOSTILE, b"1"],
     b"Can't find alias: user: " + HOSTILE + b", command: " + HOSTILE),
    ([SERVER, b"f", HOSTILE, b"/", b"probe", b"1"], b"Can't get user info " + HOSTILE),
])
def test_hostile_bytes_are_logged_verbatim(sb, argv, line):
    sb.commands("probe=/usr/local/bin/probe\n")
    result = sb.run(raw_argv=argv)
    assert result.rc == 1
    assert result.stderr_line() in (REFUSED, FAILED)
    if argv[0] == b"x":
        assert logged(result) == err("Less then 5 arguments passed", line)
    else:
        assert logged(result) == err(line)


@pytest.mark.parametrize("size", [1023, 1024, 5000, 20000])
def test_long_fields_are_logged_whole(sb, size):
    long = "a" * size
    sb.commands("probe=/usr/local/bin/probe\n")
    cases = [
        (["x", "f", long], ["Less then 5 arguments passed", f"User -> {long}"], REFUSED),
        (["f", long, long, long, ""], [EMPTY.format(long, long, long, "")], REFUSED),
        (["f", "u", "/", "p", "1" * size + "x"], [BAD_PID.format("1" * size + "x")], REFUSED),
        (["f", long, "/", long, "1" * size],
         [f"Can't find alias: user: {long}, command: {long}"], FAILED),
        (["f", long, "/", "probe", "1"], [f"Can't get user info {long}"], FAILED),
    ]
    for tail, lines, message in cases:
        result = sb.run(raw_argv=tail) if tail[0] == "x" else sb.run(tail)
        assert result.rc == 1 and result.stderr_line() == message
        assert logged(result) == err(*lines)


def test_extra_arguments_reach_validator_and_command_verbatim(site1):
    extra = [HOSTILE, b"", b"-", b"y" * 20000, b"--token=x"]
    report = accepted(site1, extra=extra)
    assert report["argv_bytes"] == [PROBE.encode()] + extra
    [validator] = site1.probe_reports("check_params.py")
    assert validator["argv_bytes"] == [VALIDATOR.encode(), b"site1", b"/home/site1",
                                       PROBE.encode()] + extra


@pytest.mark.parametrize("umask", [0o000, 0o077, 0o027])
def test_umask_is_022_whatever_the_caller_had(site1, umask):
    assert accepted(site1, umask=umask)["umask"] == "0022"


# -- the requesting account -------------------------------------------------------------------

@pytest.mark.parametrize("user, entry, line", [
    ("nosuch", None, "Can't get user info nosuch"),
    ("site1 ", None, "Can't get user info site1 "),
    ("SITE1", None, "Can't get user info SITE1"),
    ("root", None, "Can't run program as root"),
    ("toor", (0, 0), "Can't run program as root"),
    ("zero", (0, 1000), "Can't run program as root"),
    ("wheel0", (1200, 0), "Can't run program as root"),
])
def test_account_checks(sb, user, entry, line):
    sb.add_user("site1", 1005)
    if entry is not None:
        sb.add_user(user, entry[0], entry[1], group=False)
    sb.commands("probe=/usr/local/bin/probe\n")
    result = sb.run(["frontend", user, "/", "probe", "1"])
    result.assert_failed()
    assert logged(result) == err(line)


@pytest.mark.parametrize("user", ["root", "nobody-here", "wheel0"])
def test_alias_lookup_comes_before_the_account(sb, user):
    sb.add_user("wheel0", 1200, 0, group=False)
    sb.commands("probe=/usr/local/bin/probe\n")
    result = sb.run(["frontend", user, "/", "missing", "1"])
    result.assert_failed()
    assert logged(result) == err(f"Can't find alias: user: {user}, command: missing")


def test_entry_larger_than_the_lookup_buffer(sb):
    sb.add_user("big", 1300, gecos="g" * 17000)
    sb.commands("probe=/usr/local/bin/probe\n")
    result = sb.run(["frontend", "big", "/", "probe", "1"])
    result.assert_failed()
    assert logged(result) == err("getpwnam_r: Numerical result out of range")


@pytest.mark.parametrize("name, uid, home, gecos", [
    ("wide", 1301, "/home/wide", "g" * 15000),  # still fits the buffer
    ("nohome", 1302, "", ""),                   # an empty home directory passes
])
def test_entries_that_pass_the_account_checks(sb, name, uid, home, gecos):
    # With no token file the request ends in the authentication, whose debug lines show
    # that the account checks were passed.
    sb.add_user(name, uid, home=home, gecos=gecos, make_home=False)
    sb.user_dir(name, uid)
    sb.commands("probe=/usr/local/bin/probe\n")
    sb.flag("proxy.debug")
    result = sb.run(["frontend", name, "/", "probe", "1"])
    result.assert_failed()
    assert logged(result) == auth_misses(name, f"{uid % 100:02d}")


# -- flag files -----------------------------------------------------------------------------

def make_debug_flag(sb, kind):
    path = "/etc/vornex/proxy.debug"
    if kind == "file":
        sb.flag("proxy.debug")
    elif kind == "unreadable file":
        sb.write_file(path, b"0", mode=0o000)
    elif kind == "dir":
        sb.mkdir(path, 0o700)
    elif kind == "fifo":
        sb.mkfifo(path)
    elif kind == "link to file":
        sb.write_file("/usr/share/flag-target", b"")
        sb.symlink(path, "/usr/share/flag-target")
    elif kind == "link to dir":
        sb.symlink(path, "/usr/share")
    elif kind == "dangling link":
        sb.symlink(path, "/etc/vornex/missing")
    elif kind == "link loop":
        sb.symlink(path, "/etc/vornex/proxy.debug")
    elif kind in ("proxy.debug ", "PROXY.debug", "proxy.debug~", "x.proxy.debug"):
        sb.flag(kind)
    else:
        assert kind == "none"


@pytest.mark.parametrize("kind, debug", [
    ("file", True), ("unreadable file", True), ("dir", True), ("fifo", True),
    ("link to file", True), ("link to dir", True), ("dangling link", False),
    ("link loop", False), ("none", False), ("proxy.debug ", False), ("PROXY.debug", False),
    ("proxy.debug~", False), ("x.proxy.debug", False),
])
def test_debug_flag_file(site1, kind, debug):
    site1.remove(site1.token_path("site1", 1005))
    make_debug_flag(site1, kind)
    result = site1.run()
    result.assert_failed()
    assert logged(result) == (auth_misses("site1", "05") if debug else [])


def test_lines_are_daemon_errors_under_the_server_ident(sb):
    result = sb.run(raw_argv=["x", "f", "site1"])
    assert [(r.facility, r.severity, r.ident, r.pid) for r in result.logs] == \
        [(LOG_DAEMON, LOG_ERR, IDENT, result.pid)] * 2
    assert all(r.raw.startswith(b"<27>") for r in result.logs)
