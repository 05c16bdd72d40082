"""Refusals on the request's face, the account checks and the flag files."""

import pytest

from sandbox import LOG_DAEMON, LOG_ERR

EMPTY = "Empty arguments are not allowed: user: {}, cwd: {}, command: {}, pid: {}"


def assert_daemon_err(result):
    for record in result.logs:
        assert (record.facility, record.severity) == (LOG_DAEMON, LOG_ERR), record
        assert record.ident == "vornex.command.server", record


@pytest.mark.parametrize("argv, lines", [
    (["x"], ["Less then 5 arguments passed"]),
    (["x", "frontend"], ["Less then 5 arguments passed"]),
    (["x", "frontend", "site1"], ["Less then 5 arguments passed", "User -> site1"]),
    (["x", "", "%n%s%x", "/"], ["Less then 5 arguments passed", "User -> %n%s%x"]),
    (["x", "f", "site1", "/home", "probe"], ["Less then 5 arguments passed", "User -> site1"]),
])
def test_too_few_arguments(sb, argv, lines):
    result = sb.run(raw_argv=argv)
    result.assert_refused()
    assert result.texts() == lines
    assert_daemon_err(result)


@pytest.mark.parametrize("token, shown", [(None, "(null)"), (b"", "")])
def test_missing_token_is_refused_before_the_arguments(sb, token, shown):
    result = sb.run(["frontend", "", "", "", ""], token=token)
    result.assert_refused()
    assert result.texts() == [
        "VORNEX_TOKEN environment variable is missing or empty, value: " + shown]


@pytest.mark.parametrize("fields", [
    ("", "/home/site1", "probe", "1"), ("site1", "", "probe", "1"),
    ("site1", "/home/site1", "", "1"), ("site1", "/home/site1", "probe", ""),
])
def test_empty_arguments_are_refused(sb, fields):
    result = sb.run(["frontend", *fields])
    result.assert_refused()
    assert result.texts() == [EMPTY.format(*fields)]


@pytest.mark.parametrize("pid", ["12a", "-5", "+5", " 5", "5 ", "0x1", "\u0663"])
def test_pid_must_be_digits(sb, pid):
    result = sb.run(["frontend", "site1", "/home/site1", "probe", pid])
    result.assert_refused()
    assert result.texts() == ["Only valid numbers allowed as pid value, pid: " + pid]


@pytest.mark.parametrize("pid", ["0123", "1" * 40])
def test_long_and_zero_padded_pids_pass(site1, pid):
    result = site1.run(pid=pid)
    assert result.rc == 0, result
    assert not any(t.startswith("Only valid numbers") for t in result.texts())


@pytest.mark.parametrize("argv1", ["", "anything at all", "%s%n"])
def test_position_one_is_never_read(site1, argv1):
    assert site1.run(argv1=argv1).rc == 0


def test_hostile_bytes_are_logged_verbatim(sb):
    hostile = b"%n%s%x\x80\xff\xc3"
    result = sb.run([b"frontend", hostile, hostile, hostile, b"1"])
    result.assert_failed()
    assert [r.bytes for r in result.logs][-1] == \
        b"Can't find alias: user: " + hostile + b", command: " + hostile


@pytest.mark.parametrize("size", [1023, 1024, 5000, 20000])
def test_long_fields(sb, size):
    long = "a" * size
    result = sb.run(["frontend", long, long, long, "1" * size])
    result.assert_failed()
    assert result.texts()[-1] == f"Can't find alias: user: {long}, command: {long}"


def test_token_is_gone_from_the_environment(site1):
    assert site1.run().rc == 0
    for basename in ("probe", "check_params.py"):
        [report] = site1.probe_reports(basename)
        assert not any(e.startswith("VORNEX_TOKEN") for e in report["env"])


def test_alias_lookup_comes_before_the_account(sb):
    sb.commands("a=/bin/true\n")
    for user in ("root", "nobody-here"):
        result = sb.run(["frontend", user, "/", "missing", "1"])
        result.assert_failed()
        assert result.texts()[-1] == f"Can't find alias: user: {user}, command: missing"


@pytest.mark.parametrize("user, uid, gid, line", [
    ("nosuch", None, None, "Can't get user info nosuch"),
    ("root", None, None, "Can't run program as root"),
    ("zero", 0, 1, "Can't run program as root"),
    ("wheel0", 1200, 0, "Can't run program as root"),
])
def test_account_checks(sb, user, uid, gid, line):
    if uid is not None:
        sb.add_user(user, uid, gid, group=False)
    sb.commands("probe=/usr/local/bin/probe\n")
    result = sb.run(["frontend", user, "/", "probe", "1"])
    result.assert_failed()
    assert result.texts() == [line]
    assert_daemon_err(result)


def test_entry_larger_than_the_buffer(sb):
    sb.add_user("big", 1300, gecos="g" * 17000)
    sb.commands("probe=/usr/local/bin/probe\n")
    result = sb.run(["frontend", "big", "/", "probe", "1"])
    result.assert_failed()
    assert result.texts() == ["getpwnam_r: Numerical result out of range"]


def test_empty_home_passes_the_account_checks(sb):
    sb.add_user("nohome", 1301, home="", make_home=False)
    sb.commands("probe=/usr/local/bin/probe\n")
    sb.flag("proxy.debug")
    result = sb.run(["frontend", "nohome", "/", "probe", "1"])
    result.assert_failed()
    assert "File /var/vornex/01/nohome/.vornex/.vornex.token not exists, user: nohome" in \
        result.texts()


@pytest.mark.parametrize("kind, debug", [
    ("file", True), ("dir", True), ("link", True), ("dangling", False), ("none", False)])
def test_debug_flag_file(sb, kind, debug):
    sb.add_user("site1", 1005)
    sb.commands("probe=/usr/local/bin/probe\n")
    path = "/etc/vornex/proxy.debug"
    if kind == "file":
        sb.flag("proxy.debug")
    elif kind == "dir":
        sb.mkdir(path)
    elif kind == "link":
        sb.write_file("/etc/vornex/target", b"")
        sb.symlink(path, "/etc/vornex/target")
    elif kind == "dangling":
        sb.symlink(path, "/etc/vornex/missing")
    result = sb.run()
    result.assert_failed()
    line = "File /var/vornex/05/site1/.vornex/.vornex.token not exists, user: site1"
    assert (line in result.texts()) == debug
