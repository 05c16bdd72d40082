"""vornexctl on the sandbox: the findings of check, and explain's prediction held against
what the real server does with the same request on the same files."""

import json
import os
import re
import shlex
import time

import pytest

from sandbox import (FAILED, IDENT, REFUSED, VALIDATOR, decode_record, encode_record,
                     user_dir)

CTL = "/usr/sbin/vornexctl"
PROBE = "/usr/local/bin/probe"
SITE1 = 1005
OTHER = 1006  # "other": an ordinary account for command-user mode


def ctl(sb, *args):
    return sb.run(program=CTL, raw_argv=[CTL, *args], token=None)


def ctl_json(sb, *args):
    result = ctl(sb, args[0], "--json", *args[1:])
    # Only reset writes to syslog.
    assert args[0] == "reset" or result.logs == [], result.logs
    return result.rc, json.loads(result.stdout)


def test_refuses_to_run_unless_root(sb):
    done = sb.shell(f"exec setpriv --reuid 65534 --regid 65534 --clear-groups {CTL} check")
    assert (done.returncode, done.stdout, done.stderr) == (
        2, b"", b"vornexctl: must be run as root\n")


@pytest.mark.parametrize("argv", [[], ["nosuch"], ["check", "x"], ["check", "--root"],
                                  ["check", "--bogus"], ["explain", "site1"],
                                  ["reset"], ["explain", "--bogus", "a", "b"]])
def test_usage_errors_end_with_status_2(sb, argv):
    result = ctl(sb, *argv)
    assert result.rc == 2 and result.stdout == b"" and result.stderr != b""


JSON_ANYWHERE = [
    # argv, JSON output, the request's arguments as explain's validator line ends
    (["status", "site1", "--json"], True, None),
    (["explain", "--pid", "7", "--json", "site1", "probe", "x"], True, None),
    (["explain", "site1", "probe", "--json", "--", "--json", "--"], True, ["--json", "--"]),
    (["explain", "site1", "probe", "--", "--json"], False, ["--json"]),
    (["--json", "explain", "site1", "probe", "x"], True, ["x"]),
]


@pytest.mark.parametrize("argv,is_json,args", JSON_ANYWHERE)
def test_json_counts_anywhere_before_a_double_dash(box, argv, is_json, args):
    result = ctl(box, *argv)
    assert result.rc == 0, result
    if is_json:
        document = json.loads(result.stdout)
        if args is not None:
            assert document["validator"][-len(args):] == args
    else:
        (line,) = [t for t in result.stdout.decode().splitlines() if t.startswith("validator")]
        assert line.split()[-len(args) - 1:] == [PROBE, *args]


# ---------------------------------------------------------------------------------------------
# check: one row per mistake; each row names the command files it writes (name -> text, or
# name -> (text, mode, uid)) and the findings (code, file name, line) beyond the notes that
# every sandbox has.

SCRIPT = "/usr/local/bin/tool.sh"
LONG = "a=/bin/true" + "x" * 1020  # 1031 bytes: the tail starts after byte 1023

CHECK_ROWS = {
    "clean": ({"proxy.commands": "probe=" + PROBE + "\n"}, [], 0),
    "blank in key": ({"proxy.commands": "ls =/bin/ls\n"}, [("key-blank", "proxy.commands", 1)], 0),
    "colon in key": ({"proxy.commands": "ls:x=/bin/ls\n"},
                     [("key-colon", "proxy.commands", 1)], 0),
    "hash is no comment": ({"proxy.commands": "# ls=/bin/ls\n"},
                           [("hash-line", "proxy.commands", 1),
                            ("key-blank", "proxy.commands", 1)], 0),
    "empty alias": ({"proxy.commands": ":x=/bin/ls\n"}, [("empty-alias", "proxy.commands", 1)], 0),
    "no path": ({"proxy.commands": "\n\nls=\nls2=site1:\n"},
                [("no-path", "proxy.commands", 3), ("no-path", "proxy.commands", 4)], 1),
    "empty user": ({"proxy.commands": "ls=:/bin/ls\n"}, [("empty-user", "proxy.commands", 1)], 1),
    "unknown user": ({"proxy.commands": "ls=nosuch:/bin/ls\n"},
                     [("unknown-user", "proxy.commands", 1)], 1),
    "root in other case": ({"proxy.commands": "ls=Root:/bin/ls\n"},
                           [("root-case", "proxy.commands", 1),
                            ("unknown-user", "proxy.commands", 1)], 1),
    "relative path": ({"proxy.commands": "ls=bin/ls\n"}, [("not-absolute", "proxy.commands", 1)],
                      1),
    "missing command": ({"proxy.commands": "ls=/no/such\n"}, [("missing", "proxy.commands", 1)],
                        1),
    "not executable": ({"proxy.commands": "ls=/etc/passwd\n"},
                       [("not-executable", "proxy.commands", 1)], 1),
    "script as root": ({"proxy.commands": f"a={SCRIPT}\nb=root:{SCRIPT}\nc=other:{SCRIPT}\n"},
                       [("script", "proxy.commands", 2), ("script", "proxy.commands", 3)], 0),
    "command paths not in plain form": (
        {"proxy.commands": "a=/usr//bin/id\nb=/usr/./bin/id\nc=/usr/bin/../bin/id\n"
                           "d=root:/usr/bin/\ne=/usr/bin/.\nf=/usr/bin/..\ng=/usr/bin/id\n"},
        [("path-form", "proxy.commands", n) for n in range(1, 7)]
        + [("not-executable", "proxy.commands", n) for n in (4, 5, 6)], 1),
    "interpreters as root or another account": (
        {"proxy.commands": "a=root:/bin/bash\nb=other:/usr/bin/python3\nc=/bin/sh\n"
                           "d=root:/usr/local/bin/shell\ne=root:/usr/bin/env\nf=root:/bin/id\n"},
        [("interpreter", "proxy.commands", n) for n in (1, 2, 4, 5)], 0,
        lambda sb: sb.symlink("/usr/local/bin/shell", "/bin/dash")),
    "shadowed": ({"proxy.commands": "ls=/bin/ls\nls=/bin/true\n",
                  "a.proxy.commands": "ls=/bin/ls\n"},
                 [("shadowed", "proxy.commands", 1), ("shadowed", "proxy.commands", 2)], 0),
    "split line": ({"proxy.commands": LONG + "tail=/bin/sh\n"},
                   [("split-line", "proxy.commands", 1), ("missing", "proxy.commands", 1)], 1),
    "1023 bytes is whole": ({"proxy.commands": "a=/bin/true" + " " * 1012 + "\n"}, [], 0),
    "writable": ({"proxy.commands": ("ls=/bin/ls\n", 0o664, 0)},
                 [("writable", "proxy.commands", None)], 1),
    "not root's": ({"proxy.commands": ("ls=/bin/ls\n", 0o644, SITE1)},
                   [("owner", "proxy.commands", None)], 1),
    "names": ({"proxy.commands.bak": "ls=/bin/ls\n", "Proxy.Commands": "x=/bin/ls\n"},
              [("main-missing", "proxy.commands", None), ("not-counted", "Proxy.Commands", None),
               ("not-counted", "proxy.commands.bak", None)], 0),
    "not regular files": ({"proxy.commands": "ls=/bin/ls\n"},
                          [("not-regular", "d.proxy.commands", None),
                           ("not-regular", "l.proxy.commands", None)], 0,
                          lambda sb: (sb.mkdir("/etc/vornex/d.proxy.commands"),
                                      sb.symlink("/etc/vornex/l.proxy.commands", "/nowhere"))),
    "linked through a directory others can write": (
        {"proxy.commands": "ls=/bin/ls\n"}, [("unsafe-link", "l.proxy.commands", None)], 1,
        lambda sb: (sb.write_file("/usr/share/open/cmds", "ls=/bin/ls\n", parent_mode=0o777),
                    sb.symlink("/etc/vornex/l.proxy.commands", "/usr/share/open/cmds"))),
    "directory writable": ({"proxy.commands": "ls=/bin/ls\n"},
                           [("dir-writable", "vornex", None)], 1,
                           lambda sb: sb.mkdir("/etc/vornex", 0o777)),
    "root command in a user's directory": (
        {"proxy.commands": "r=root:/home/site1/bin/tool\nu=/home/site1/bin/tool\n"},
        [("replaceable", "proxy.commands", 1)], 0,
        lambda sb: sb.write_file("/home/site1/bin/tool", "", 0o755)),
    "account command others can write": (
        {"proxy.commands": "t=other:/usr/local/bin/tool2\n"},
        [("replaceable", "proxy.commands", 1)], 0,
        lambda sb: sb.write_file("/usr/local/bin/tool2", "", 0o777)),
    "validator others can write": ({"proxy.commands": "ls=/bin/ls\n"},
                                   [("validator-replaceable", "check_params.py", None)], 0,
                                   lambda sb: sb.install_probe(VALIDATOR, mode=0o777)),
    "lines without an equals sign": (
        {"proxy.commands": "uptime:/usr/bin/uptime\n\n# a comment\n \t\ndate /bin/date\n"},
        [("no-equals", "proxy.commands", 1), ("no-equals", "proxy.commands", 5)], 0),
    "flag files": ({"proxy.commands": "ls=/bin/ls\n"},
                   [("flag", "proxy.debug", None), ("flag", "proxy.disable.duid", None)], 0,
                   lambda sb: (sb.flag("proxy.debug"), sb.flag("proxy.disable.duid"))),
    # The default validator's rules file, /etc/vornex/params.rules.
    "rules clean": ({"proxy.commands": f"probe={PROBE}\n", "params.rules": f"{PROBE} x *\n"},
                    [], 0, lambda sb: sb.use_installed_validator()),
    "rules missing": ({"proxy.commands": f"probe={PROBE}\n"},
                      [("rules-missing", "params.rules", None)], 0,
                      lambda sb: sb.use_installed_validator()),
    "rules of another validator": ({"proxy.commands": f"probe={PROBE}\n",
                                    "params.rules": f"{PROBE}\n"},
                                   [("rules-not-read", "params.rules", None)], 0),
    "rules syntax": ({"proxy.commands": f"probe={PROBE}\n",
                      "params.rules": f'{PROBE}\n{PROBE} "x\ndefault check\ndefault check\n'},
                     [("rules-syntax", "params.rules", 2), ("rules-syntax", "params.rules", 4)],
                     1, lambda sb: sb.use_installed_validator()),
    "rules unused, never matching": ({"proxy.commands": f"probe={PROBE}\n",
                                      "params.rules": f"/bin/ls\n{PROBE} [/] a/../*\n"},
                                     [("rules-unused", "params.rules", 1),
                                      ("rules-never-matches", "params.rules", 2),
                                      ("rules-never-matches", "params.rules", 2)], 0,
                                     lambda sb: sb.use_installed_validator()),
    "rules unknown names": ({"proxy.commands": f"probe={PROBE}\n",
                             "params.rules": f"nosuch,:nosuchgroup,site1 {PROBE}\n"},
                            [("rules-unknown-name", "params.rules", 1)] * 2, 0,
                            lambda sb: sb.use_installed_validator()),
    "rules default refuse": ({"proxy.commands": f"probe={PROBE}\nls=/bin/ls\n",
                              "params.rules": f"default refuse\n{PROBE}\n"},
                             [("rules-no-rule", "proxy.commands", 2)], 1,
                             lambda sb: sb.use_installed_validator()),
    "rules serve two identities": ({"proxy.commands": f"probe={PROBE}\np2=root:{PROBE}\n",
                                    "params.rules": f"{PROBE}\n{PROBE} x\n"},
                                   [("rules-identities", "params.rules", 1)], 0,
                                   lambda sb: sb.use_installed_validator()),
    "rules writable": ({"proxy.commands": f"probe={PROBE}\n",
                        "params.rules": (f"{PROBE}\n", 0o620, 0)},
                       [("rules-writable", "params.rules", None)], 1,
                       lambda sb: sb.use_installed_validator()),
    "rules not root's": ({"proxy.commands": f"probe={PROBE}\n",
                          "params.rules": (f"{PROBE}\n", 0o644, SITE1)},
                         [("rules-owner", "params.rules", None)], 1,
                         lambda sb: sb.use_installed_validator()),
}


@pytest.fixture
def box(sb):
    """site1 with its token, "other" for command-user mode, the probe as validator and as
    the command of "probe", and the container skipped."""
    sb.add_user("site1", SITE1)
    sb.add_user("other", OTHER)
    sb.token("site1", SITE1, "secret\n")
    sb.install_validator(0)
    sb.install_probe()
    sb.marker()
    sb.write_file(SCRIPT, "#!/bin/sh\nexit 0\n", 0o755)
    sb.commands("probe=" + PROBE + "\n")
    return sb


@pytest.mark.parametrize("row", list(CHECK_ROWS), ids=list(CHECK_ROWS))
def test_check_reports_each_mistake_with_file_and_line(box, row):
    files, expected, status, *setup = CHECK_ROWS[row]
    box.remove("/etc/vornex/proxy.commands")
    for step in setup:
        step(box)
    for name, content in files.items():
        text, mode, uid = content if isinstance(content, tuple) else (content, 0o644, 0)
        box.write_file(f"/etc/vornex/{name}", text, mode, uid)
    rc, report = ctl_json(box, "check")
    found = sorted((f["code"], os.path.basename(f["file"]), f["line"])
                   for f in report["findings"] if f["code"] not in ("counted", "marker"))
    assert (rc, found) == (status, sorted(expected)), report
    assert report["errors"] == sum(f["severity"] == "error" for f in report["findings"])
    text = ctl(box, "check")
    assert text.rc == status and text.stdout.decode().endswith(
        f"{report['errors']} error{'' if report['errors'] == 1 else 's'}, "
        f"{report['warnings']} warning{'' if report['warnings'] == 1 else 's'}\n")


def test_check_lists_the_files_in_the_servers_order(box):
    box.commands("x=/bin/ls\n", name="b.proxy.commands", mode=0o600)
    box.mkdir("/etc/vornex/d.proxy.commands")
    _, report = ctl_json(box, "check")
    files = [(os.path.basename(f["path"]), f["counted"], f["order"], f["mode"])
             for f in report["files"]]
    assert files[-1] == ("proxy.commands", True, 2, "0644")
    assert sorted(files[:-1]) == [("b.proxy.commands", True, 1, "0600"),
                                  ("d.proxy.commands", False, None, "0755")]


def test_check_names_the_alias_of_a_split_tail_and_list_shows_it(box):
    box.commands(LONG + "tail=/bin/sh\n" + "ls=/bin/ls\n" + "ls=/bin/true\n")
    _, report = ctl_json(box, "check")
    split = [f for f in report["findings"] if f["code"] == "split-line"]
    assert [f["tail_alias"] for f in split] == ["x" * 8 + "tail"]
    _, listing = ctl_json(box, "list", "site1")
    aliases = {a["alias"]: a for a in listing["aliases"]}
    assert (aliases["xxxxxxxxtail"]["line"], aliases["xxxxxxxxtail"]["command"]) == (1, "/bin/sh")
    assert [(s["line"], s["command"]) for s in aliases["ls"]["shadowed"]] == [(3, "/bin/true")]
    assert listing["user"]["uid"] == SITE1
    assert listing["user"]["pid_file"] == "/home/site1/.vornex/tmp/.vornex.proxy.<pid>"


LIST_ROWS = [
    # command file line, RUNS AS, CRONTAB
    (f"probe={PROBE}", "requesting user", "-"),
    (f"probe=root:{PROBE}", "root", "-"),
    (f"probe=other:{PROBE}", "account other", "-"),
    (f"CRONTAB_CHECK={PROBE}", "requesting user", "check (-l quietly, then -)"),
    (f"CRONTAB_LIST={PROBE}", "requesting user", "list (-l)"),
    (f"CRONTAB_SAVE=root:{PROBE}", "root", "save (-)"),
    (f"VORNEX_ENTER={PROBE}", "requesting user", "no pid file"),
]


@pytest.mark.parametrize("line,runs_as,crontab", LIST_ROWS)
def test_list_shows_how_each_alias_runs(box, line, runs_as, crontab):
    box.commands(line + "\n")
    header, row = ctl(box, "list").stdout.decode().splitlines()
    assert header.split()[:2] == ["ALIAS", "SOURCE"]
    assert row.split(None, 2)[:2] == [line.split("=")[0], "/etc/vornex/proxy.commands:1"]
    assert row[58:78].rstrip() == runs_as and row[108:] == crontab


def test_list_quotes_an_alias_with_blanks(box):
    box.commands(f"my tool={PROBE}\n\ttab={PROBE}\nplain={PROBE}\n")
    rows = ctl(box, "list").stdout.decode().splitlines()[1:]
    assert [r[:20].rstrip() for r in rows] == ['"my tool"', '"\\x09tab"', "plain"]


def test_json_escapes_every_byte_outside_printable_ascii(box):
    box.commands(b"k\xff\x01\"\\=/bin/ls\n")
    result = ctl(box, "list", "--json")
    assert result.stdout.isascii()
    aliases = json.loads(result.stdout)["aliases"]
    assert [a["alias"].encode("latin-1") for a in aliases] == [b"k\xff\x01\"\\"]
    assert b"k\\xff\\x01\\x22\\x5c" in ctl(box, "list").stdout


STAGED = "/home/site1/staged"
GIVEN_ROWS = {
    # name: (files to write, vornexctl check arguments, findings beyond the notes)
    "a file before it is deployed": (
        {"/home/site1/new.commands": ("ls =/bin/ls\nuptime:/usr/bin/uptime\nx=/no/such\n"
                                      "x=/bin/true\n", 0o666, SITE1)},
        ["/home/site1/new.commands"],
        [("key-blank", 1), ("no-equals", 2), ("missing", 3), ("shadowed", 4)]),
    "two files, each by itself": (
        {"/home/site1/a": ("x=/bin/true\n", 0o644, 0), "/home/site1/b": ("x=/bin/true\n",
                                                                      0o644, 0)},
        ["/home/site1/a", "/home/site1/b"], []),
    "a staged tree": (
        {STAGED + "/etc/vornex/proxy.commands": ("a=/opt/tool\nb=/bin/ls\n", 0o664, 0),
         STAGED + "/opt/tool": ("", 0o755, 0)},
        ["--root", STAGED + "/"],
        [("writable", None), ("missing", 2)]),
}


@pytest.mark.parametrize("row", list(GIVEN_ROWS), ids=list(GIVEN_ROWS))
def test_check_given_files_or_a_staged_tree(box, row):
    files, args, expected = GIVEN_ROWS[row]
    for path, (text, mode, uid) in files.items():
        box.write_file(path, text, mode, uid)
    box.commands("bad line\n", mode=0o666)  # the live files play no part
    rc, report = ctl_json(box, "check", *args)
    found = sorted((f["code"], f["line"]) for f in report["findings"]
                   if f["severity"] != "note")
    assert (rc, found) == (1 if any(c == "missing" for c, _ in expected) else 0,
                           sorted(expected)), report
    read = [f["path"] for f in report["files"]]
    if args[0] == "--root":
        assert read == [STAGED + "/etc/vornex/proxy.commands"]
        assert report["root"] == STAGED
    else:
        assert read == args and report["directory"] is None


# ---------------------------------------------------------------------------------------------
# explain against the server. Each row prepares the sandbox, then explain --json and the real
# server get the same request; the prediction must match what the server did.

def shadow_files(sb):
    sb.install_probe("/usr/local/bin/probe2")
    sb.commands("probe=/usr/local/bin/probe2\n", name="a.proxy.commands")


def split_alias(sb):
    sb.install_probe("/usr/local/bin/probe2")
    # "a=/bin/true" and the y's are 1023 bytes: "p2=..." is read as a line of its own.
    sb.commands(f"probe={PROBE}\n" + "a=/bin/true" + "y" * 1012 + "p2=/usr/local/bin/probe2\n")


def shared_uid(sb):
    sb.add_passwd_line(f"alias1:x:{SITE1}:{SITE1}::/home/site1:/bin/sh")
    sb.remove(user_dir("site1", SITE1))
    sb.token("alias1", SITE1, "secret\n")


def many_groups(sb):
    sb.add_group_line("\n".join(f"many{i}:x:{20000 + i}:site1" for i in range(1100)))


def closed_dir(sb):
    sb.mkdir("/home/site1/closed", 0o700)
    sb.mkdir("/home/site1/closed/open")
    sb.symlink("/home/site1/l", "/home/site1/closed/open")


PID_FILE = "/home/site1/.vornex/tmp/.vornex.proxy.4242"
VALIDATOR_IDENT = "vornex.check_params"


def rules(sb, text, mode=0o644):
    sb.use_installed_validator()
    sb.write_file("/etc/vornex/params.rules", text, mode)


def no_validator(sb):
    sb.write_file("/usr/share/vornex/check_params.py", "", 0o644)


EXPLAIN_ROWS = {
    # name: (setup, request overrides, debug flag)
    "reaches the command": (None, {}, False),
    "an additional file wins": (shadow_files, {}, False),
    "alias of a split tail": (split_alias, {"alias": "p2"}, False),
    "unknown alias": (None, {"alias": "nope"}, False),
    "unknown alias, no main file": (lambda sb: sb.remove("/etc/vornex/proxy.commands"),
                                    {"alias": "nope"}, False),
    "a directory named like a command file": (lambda sb: sb.mkdir("/etc/vornex/d.proxy.commands"),
                                              {}, False),
    "pid not digits": (None, {"pid": "12a"}, False),
    "empty cwd": (None, {"cwd": ""}, False),
    "unknown user": (None, {"user": "nosuch"}, False),
    "group 0": (lambda sb: sb.add_user("grp0", 1007, gid=0), {"user": "grp0"}, False),
    "relative command": (lambda sb: sb.commands("probe=bin/probe\n"), {}, False),
    "root mode": (lambda sb: sb.commands(f"probe=root:{PROBE}\n"), {}, False),
    "command user": (lambda sb: sb.commands(f"probe=other:{PROBE}\n"), {}, False),
    "unknown command user": (lambda sb: sb.commands(f"probe=gone:{PROBE}\n"), {}, False),
    "blocked": (lambda sb: sb.write_auth_log("site1", SITE1, encode_record(
        blocked_until=2**40, failures=3, blocks=1)), {}, True),
    "token missing": (lambda sb: sb.remove(sb.token_path("site1", SITE1)), {}, True),
    "token mode 0600": (lambda sb: sb.token("site1", SITE1, "secret\n", mode=0o600), {}, True),
    "token not the user's": (lambda sb: sb.token("site1", SITE1, "secret\n", owner=0), {}, True),
    "lock file is a link": (lambda sb: sb.symlink(user_dir("site1", SITE1)
                                                  + "/.ferrymate.log.lock", "/tmp/x"), {}, False),
    "no per-user directory": (lambda sb: sb.remove(user_dir("site1", SITE1)), {}, True),
    "shared uid": (shared_uid, {}, True),
    "search off": (lambda sb: (shared_uid(sb), sb.flag("proxy.disable.duid")), {}, False),
    "validator not executable": (no_validator, {}, False),
    "command missing": (lambda sb: sb.commands("probe=/usr/local/bin/gone\n"), {}, False),
    "command only root may run": (lambda sb: (sb.install_probe(mode=0o700)), {}, False),
    "no pid file directory": (lambda sb: sb.remove("/home/site1/.vornex/tmp"), {}, False),
    "crontab alias": (lambda sb: sb.commands(f"CRONTAB_LIST={PROBE}\n"),
                      {"alias": "CRONTAB_LIST"}, False),
    "VORNEX_ENTER writes no pid file": (lambda sb: (sb.commands(f"VORNEX_ENTER={PROBE}\n"),
                                                    sb.remove("/home/site1/.vornex/tmp")),
                                        {"alias": "VORNEX_ENTER"}, False),
    "a sharer's bad token file first": (lambda sb: (shared_uid(sb), sb.token(
        "site1", SITE1, "secret\n", mode=0o600)), {}, True),
    "command user may not enter cwd": (lambda sb: (sb.commands(f"probe=other:{PROBE}\n"),
                                                   sb.mkdir("/home/site1", 0o700, SITE1, SITE1)),
                                       {}, False),
    "root enters any cwd": (lambda sb: (sb.commands(f"probe=root:{PROBE}\n"),
                                        sb.mkdir("/home/site1", 0o700, SITE1, SITE1)), {}, False),
    "cwd missing": (None, {"cwd": "/home/site1/none"}, False),
    "cwd not enterable": (lambda sb: sb.mkdir("/home/site1/closed", 0o700), {
        "cwd": "/home/site1/closed"}, False),
    "token is a directory": (lambda sb: sb.mkdir(sb.token_path("site1", SITE1), 0o400, SITE1),
                             {}, True),
    "cwd missing in a closed directory": (closed_dir, {"cwd": "/home/site1/closed/none"}, False),
    "cwd through a link into a closed directory": (closed_dir, {"cwd": "/home/site1/l"}, False),
    "pid file name too long": (None, {"pid": "1" * 300}, False),
    "pid file path too long": (None, {"pid": "1" * 17000}, False),
    "pid file is a link to a root file": (lambda sb: sb.symlink(PID_FILE, "/etc/passwd"), {},
                                          False),
    "pid file is a directory": (lambda sb: sb.mkdir(PID_FILE, 0o755, SITE1, SITE1), {}, False),
    "more than 1024 groups": (many_groups, {}, False),
    "no command directory": (lambda sb: sb.remove("/etc/vornex"), {}, False),
    "validator missing": (lambda sb: sb.hide("/usr/share/vornex/check_params.py"), {}, False),
    "validator not a program": (lambda sb: sb.write_file("/usr/share/vornex/check_params.py",
                                                         "not a program\n", 0o755), {}, False),
    "validator's interpreter missing": (lambda sb: sb.write_file(
        "/usr/share/vornex/check_params.py", "#!/usr/bin/nothing -x\n", 0o755), {}, False),
    "crontab pre-check cannot start": (lambda sb: (sb.commands(f"CRONTAB_CHECK={SCRIPT}x\n"),
                                                   sb.write_file(SCRIPT + "x", "", 0o755)),
                                       {"alias": "CRONTAB_CHECK"}, False),
    "auth log is a directory": (lambda sb: sb.mkdir(user_dir("site1", SITE1) + "/.ferrymate.log"),
                                {}, True),
    "auth log is a directory, bad token file": (lambda sb: (
        sb.mkdir(user_dir("site1", SITE1) + "/.ferrymate.log"),
        sb.token("site1", SITE1, "secret\n", mode=0o600)), {}, False),
    "a command file others can write": (lambda sb: sb.commands(f"probe={PROBE}\n", mode=0o666),
                                        {}, False),
    "a command directory others can write": (lambda sb: sb.mkdir("/etc/vornex", 0o777), {},
                                             False),
    "a command file linked through a directory others can write": (lambda sb: (
        sb.write_file("/usr/share/open/cmds", f"probe={PROBE}\n", parent_mode=0o777),
        sb.symlink("/etc/vornex/l.proxy.commands", "/usr/share/open/cmds")), {}, False),
    "default validator, no rules file": (lambda sb: sb.use_installed_validator(), {}, False),
    "default validator, a rule admits": (lambda sb: rules(sb, f"{PROBE} y\n{PROBE} ?\n"), {},
                                         False),
    "default validator, no rule admits": (lambda sb: rules(sb, f"{PROBE} y\n"), {}, False),
    "default validator, default refuse": (lambda sb: rules(sb, "default refuse\n"), {}, False),
    "default validator, unsafe rules": (lambda sb: rules(sb, f"{PROBE} x\n", 0o646), {}, False),
    "default validator, bad line": (lambda sb: rules(sb, f"{PROBE} x\n[\n"), {}, False),
}


def upper_tree(sb):
    """Every path with its status in the sandbox's writable trees."""
    tree = {}
    for top in ("etc", "var", "home"):
        for root, dirs, files in os.walk(sb.upper(top)):
            for name in dirs + files:
                st = os.lstat(os.path.join(root, name))
                tree[os.path.join(root, name)] = (st.st_mode, st.st_size, st.st_mtime_ns)
    return tree


def prepare_explain_row(box, row):
    """Sets the sandbox up as the explain table's row says; the request it makes."""
    setup, overrides, debug = EXPLAIN_ROWS[row]
    if setup is not None:
        setup(box)
    if debug:
        box.flag("proxy.debug")
    return {"user": "site1", "alias": "probe", "pid": "4242", "cwd": "/home/site1", **overrides}


@pytest.mark.parametrize("row", list(EXPLAIN_ROWS), ids=list(EXPLAIN_ROWS))
def test_explain_predicts_the_server(box, row):
    request = prepare_explain_row(box, row)
    debug = EXPLAIN_ROWS[row][2]
    before = upper_tree(box)
    rc, plan = ctl_json(box, "explain", "--pid", request["pid"], "--cwd", request["cwd"],
                        request["user"], request["alias"], "x")
    assert upper_tree(box) == before, "explain changed a file"
    box.logs()
    result = box.run(extra=["x"], **request)
    expected = [(line["ident"], line["text"].replace(".<pid>", f".{result.pid}"))
                for line in plan["log"] if debug or not line["debug_only"]]
    # The quota capability is the platform library's business, and its failure only logged.
    logged = [(r.ident, r.text) for r in result.logs if r.ident in (IDENT, IDENT + ".forked")
              and not r.text.startswith("set CAP_SYS_RESOURCE failed")]
    assert logged == expected, plan["stages"]
    if plan["outcome"] == "reaches-command":
        assert rc == 0
        ran = plan["entry"]["command"]
        report = box.probe_reports(os.path.basename(ran))
        assert (result.rc, len(report)) == (0, 1), result
        identity = plan["identity"]
        assert (report[0]["uid"], report[0]["gid"][0]) == ([identity["uid"]] * 3, identity["gid"])
        assert sorted(report[0]["groups"]) == sorted(identity["groups"])
        assert report[0]["environ"]["HOME"] == plan["home"]
        assert report[0]["cwd"] == ("/" if plan["cwd_enter"] == "eacces-stays-in-root"
                                    else request["cwd"])
        if not plan["validator_verdict"]["predicted"]:
            (validator,) = box.probe_reports("check_params.py")
            assert validator["argv"] == plan["validator"]
        assert result.texts(VALIDATOR_IDENT) == []
        pid_file = f"/home/site1/.vornex/tmp/.vornex.proxy.{request['pid']}"
        if plan["pid_file_created"]:
            assert box.read(pid_file) == str(result.pid).encode()
        else:
            assert upper_tree(box).get(box.upper(pid_file)) == before.get(box.upper(pid_file))
        return
    assert (rc, result.rc) == (1, 1), result
    assert result.stderr_line() == plan["stderr"]
    # Every key is there, null when the request stops before its stage.
    assert (plan["validator_verdict"] is None) == (plan["validator"] is None), plan
    verdict = plan["validator_verdict"] or {}
    assert result.texts(VALIDATOR_IDENT) == ([verdict["log"]] if verdict.get("log") else [])
    assert plan["stderr"] == (REFUSED if plan["stage"] == "request" else FAILED)


# The same requests, explain's whole output held against the files under fixtures/explain
# (JSON and text). VORNEX_UPDATE_FIXTURES=1 writes them anew from what explain prints.
FIXTURES = os.path.join(os.path.dirname(__file__), "fixtures", "explain")
# What changes from run to run: the seconds a block has left.
VARIABLE = [(re.compile(rb'("blocked_seconds_left":) ?[1-9][0-9]*'), rb"\1 <seconds>"),
            (re.compile(rb"\([0-9]+ s more\)"), b"(<seconds> s more)")]


def masked(output):
    for pattern, replacement in VARIABLE:
        output = pattern.sub(replacement, output)
    return output


@pytest.mark.parametrize("row", list(EXPLAIN_ROWS), ids=list(EXPLAIN_ROWS))
def test_explain_output_is_kept(box, row):
    request = prepare_explain_row(box, row)
    argv = ["--pid", request["pid"], "--cwd", request["cwd"], request["user"], request["alias"],
            "x"]
    outputs = {".json": ctl(box, "explain", "--json", *argv), ".txt": ctl(box, "explain", *argv)}
    base = os.path.join(FIXTURES, re.sub(r"[^a-z0-9]+", "-", row.lower()).strip("-"))
    for suffix, result in outputs.items():
        assert result.rc in (0, 1) and result.stderr == b"", result
        if os.environ.get("VORNEX_UPDATE_FIXTURES") == "1":
            os.makedirs(FIXTURES, exist_ok=True)
            with open(base + suffix, "wb") as f:
                f.write(masked(result.stdout))
        with open(base + suffix, "rb") as f:
            assert masked(result.stdout) == f.read(), base + suffix


def test_explain_text_names_the_stage_and_the_line(box):
    result = ctl(box, "explain", "site1", "nope")
    assert result.rc == 1
    assert result.stdout.decode().splitlines()[-2:] == [
        f"result     refused at stage alias; standard error: {FAILED}",
        "           the server logs: Can't find alias: user: site1, command: nope"]


# ---------------------------------------------------------------------------------------------
# status and reset on an auth log in each state.

NOW = 1_700_000_000  # in the past
RECORDS = {
    # name: (auth log bytes or None, listed by a bare status, record after reset or None)
    "no auth log": (None, False, None),
    "short file": (b"\x01" * 23, False, None),
    "two failures": (encode_record(NOW, 0, 2, 0), True, (NOW, 0, 0, 0)),
    "blocked": (encode_record(NOW, 2**40, 3, 1), True, (NOW, 0, 0, 1)),
    "block over": (encode_record(NOW, NOW + 30, 6, 2), True, (NOW, 0, 0, 2)),
    "cleared": (encode_record(NOW, NOW + 30, 0, 4), False, None),
    "blocked without failures": (encode_record(NOW, 2**40, 0, 1), True, (NOW, 0, 0, 1)),
}


def local_time(seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds)) if seconds else "-"


@pytest.mark.parametrize("row", list(RECORDS), ids=list(RECORDS))
def test_status_and_reset_in_each_state(box, row):
    data, listed, after = RECORDS[row]
    if data is not None:
        box.write_auth_log("site1", SITE1, data)
    _, everyone = ctl_json(box, "status")
    assert [n["name"] for n in everyone["names"]] == (["site1"] if listed else [])
    rc, status = ctl_json(box, "status", "site1")
    (state,) = status["names"]
    (line,) = ctl(box, "status", "site1").stdout.decode().splitlines()[1:]
    assert line.split()[:3] == ["site1", str(SITE1), str(state["failure_count"])]
    assert ("s more)" in line) == state["blocked"]
    has_record = data is not None and len(data) >= 24
    assert (rc, state["record"]) == (0, has_record)
    if has_record:
        assert (state["last_failure_time"], state["blocked_until"], state["failure_count"],
                state["block_count"]) == decode_record(data)
        assert state["blocked"] == (decode_record(data)[1] > time.time())
    result = ctl(box, "reset", "--json", "site1")
    rc, (outcome,) = result.rc, json.loads(result.stdout)["names"]
    logs = [(r.pri, r.ident, r.text) for r in result.logs]
    if after is None:
        assert (rc, outcome["result"]) == (0, "nothing-to-reset")
        assert box.auth_log("site1", SITE1) == data and logs == []
        return
    assert (rc, outcome["result"]) == (0, "reset")
    assert box.auth_log("site1", SITE1) == encode_record(*after)
    before = decode_record(data)
    assert logs == [(10 * 8 + 5, "vornexctl",
                     f"Reset lockout of site1 (UID {SITE1}): failures {before[2]}, blocked until "
                     f"{local_time(before[1])}, blocks {before[3]}, last failure "
                     f"{local_time(before[0])}")]


def test_reset_refuses_a_name_without_directory_and_creates_nothing(box):
    rc, reset = ctl_json(box, "reset", "other", "nosuch")
    assert rc == 1
    assert [(n["name"], n["uid"], n["error"]) for n in reset["names"]] == [
        ("other", OTHER, "no per-user directory"), ("nosuch", None, "no such account")]
    assert box.lstat(user_dir("other", OTHER)) is None
    assert ctl(box, "status", "nosuch").rc == 1


def test_reset_waits_for_the_lock_of_a_running_check(box):
    box.write_auth_log("site1", SITE1, encode_record(NOW, 2**40, 3, 1))
    lock = user_dir("site1", SITE1) + "/.ferrymate.log.lock"
    done = box.shell(
        f"flock {lock} sleep 2 & sleep 0.5; "
        f"start=$(date +%s%N); {CTL} reset site1 >/dev/null; end=$(date +%s%N); "
        "wait; echo $(( (end - start) / 1000000 ))")
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) >= 1000, "reset did not wait for the lock"
    assert box.auth_log("site1", SITE1) == encode_record(NOW, 0, 0, 1)


def test_explain_probe_child_cannot_be_stopped_by_the_user(box):
    # site1 sends SIGSTOP and then SIGKILL to every process it may signal while explain tries
    # site1's identity in a child, ten times over. All of it runs in a pid namespace of its
    # own, so that the loop reaches no process outside it.
    runs = 10
    script = (
        "setpriv --reuid 1005 --regid 1005 --clear-groups sh -c "
        "'while :; do kill -STOP -1; kill -KILL -1; done 2>/dev/null' & "
        f"for i in $(seq {runs}); do timeout -s KILL 15 {CTL} explain --json site1 probe "
        ">/dev/null; echo rc=$?; done; kill $!")
    done = box.shell(f"unshare --pid --fork --mount-proc sh -c {shlex.quote(script)}",
                     timeout=runs * 15 + 30)
    assert done.stdout.decode().split() == ["rc=0"] * runs, done


def test_explain_tries_the_final_identity_when_started_with_sigchld_ignored(box):
    ignoring = ("import os, signal, sys; signal.signal(signal.SIGCHLD, signal.SIG_IGN); "
                "os.execv(sys.argv[1], sys.argv[1:])")
    done = box.shell(f"python3 -c {shlex.quote(ignoring)} {CTL} explain --json site1 probe")
    assert done.returncode == 0, done
    assert json.loads(done.stdout)["outcome"] == "reaches-command"
