"""vornexctl token and check --users on the sandbox: the files the tool writes, the server
accepting them, every planted obstacle refused without writing through it, and every planted
fault found by the audit."""

import json
import os
import re

import pytest

from sandbox import PRI_AUTHPRIV_ALERT, user_dir

CTL = "/usr/sbin/vornexctl"
SITE1 = 1005
TOKEN = re.compile(rb"[0-9a-f]{64}\n")
NOTICE = 10 * 8 + 5  # authpriv.notice
TARGET = "/var/target"  # a root-owned directory that planted links point into


def ctl(sb, *args):
    return sb.run(program=CTL, raw_argv=[CTL, *args], token=None)


def ctl_json(sb, *args):
    result = ctl(sb, *args, "--json")
    return result, json.loads(result.stdout)


def token_path(name, uid=SITE1):
    return f"{user_dir(name, uid)}/.vornex/.vornex.token"


@pytest.fixture
def box(sb):
    """site1 with a home but no pid-file directory and no per-user files, the probe as the
    validator and the command of "probe", the container skipped."""
    sb.add_user("site1", SITE1, pid_dir=False)
    sb.install_validator(0)
    sb.install_probe()
    sb.marker()
    sb.commands("probe=/usr/local/bin/probe\n")
    sb.write_file(f"{TARGET}/file", "root's\n", 0o644)
    return sb


def shared(sb):
    sb.add_passwd_line(f"alias1:x:{SITE1}:{SITE1}::/home/site1:/bin/sh")


def login_defs(sb, low, high):
    sb.write_file("/etc/login.defs", f"# range\nUID_MIN\t\t {low}\nUID_MAX {high}\n")


def tree(sb, path):
    found = {}
    for root, dirs, files in os.walk(sb.upper(path)):
        for name in dirs + files:
            st = os.lstat(os.path.join(root, name))
            found[os.path.join(root, name)] = (st.st_mode, st.st_uid, st.st_size, st.st_mtime_ns)
    return found


# ---------------------------------------------------------------------------------------------
# issue, served by the real server

def test_a_name_set_up_by_issue_is_served_without_a_pid_file_line(box):
    result, report = ctl_json(box, "token", "issue", "site1")
    (outcome,) = report["names"]
    assert (result.rc, outcome["result"], outcome["uid"], outcome["token_file"],
            outcome["pid_directory"], outcome["pid_directory_result"], outcome["warnings"]) == (
        0, "created", SITE1, token_path("site1"), "/home/site1/.vornex/tmp", "created", [])
    token = box.read(token_path("site1"))
    assert TOKEN.fullmatch(token)
    assert token.strip() not in result.stdout + b"".join(r.raw for r in result.logs)
    assert [(r.pri, r.ident, r.text) for r in result.logs] == [
        (NOTICE, "vornexctl", f"Token created for site1 (UID {SITE1})"),
        (NOTICE, "vornexctl",
         f"Created pid-file directory /home/site1/.vornex/tmp for site1 (UID {SITE1})")]
    modes = {path: (box.lstat(path).st_mode & 0o7777, box.lstat(path).st_uid)
             for path in ("/var/vornex", "/var/vornex/05", user_dir("site1", SITE1),
                          user_dir("site1", SITE1) + "/.vornex", token_path("site1"),
                          "/home/site1/.vornex", "/home/site1/.vornex/tmp")}
    assert list(modes.values()) == [(0o755, 0)] * 4 + [(0o400, SITE1)] + [(0o700, SITE1)] * 2
    served = box.run(token=token.strip())
    assert served.rc == 0 and not [t for t in served.texts() if "pid file" in t], served
    assert box.read("/home/site1/.vornex/tmp/.vornex.proxy.4242") == str(served.pid).encode()
    again = ctl(box, "token", "issue", "site1")
    assert (again.rc, again.logs, box.read(token_path("site1"))) == (0, [], token)
    assert again.stdout.decode().startswith("site1 (uid 1005): kept ")


IGNORING_SIGCHLD = ("import os, signal, sys; signal.signal(signal.SIGCHLD, signal.SIG_IGN); "
                    "os.execv(sys.argv[1], sys.argv[1:])")


def test_issue_started_with_sigchld_ignored_still_waits_for_its_child(box):
    result = box.run(program="/usr/bin/python3", token=None,
                     raw_argv=["python3", "-c", IGNORING_SIGCHLD, CTL, "token", "issue", "site1"])
    assert (result.rc, result.stdout.decode().splitlines()[1:]) == (
        0, ["site1 (uid 1005): created /home/site1/.vornex/tmp"])


def test_names_of_one_uid_share_one_token_and_raise_no_alert(box):
    shared(box)
    result, report = ctl_json(box, "token", "issue", "alias1")
    assert [(n["name"], n["result"]) for n in report["names"]] == [
        ("site1", "created"), ("alias1", "created")]
    token = box.read(token_path("site1"))
    assert box.read(token_path("alias1")) == token
    served = box.run(user="alias1", cwd="/home/site1", token=token.strip())
    assert served.rc == 0 and not [r for r in served.logs if r.pri == PRI_AUTHPRIV_ALERT]


HOLDING_THE_PREFIX = """
import fcntl, os, subprocess, sys, time
os.makedirs("/var/vornex/05", 0o755)
held = os.open("/var/vornex/05", os.O_RDONLY)
fcntl.flock(held, fcntl.LOCK_EX)
run = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE)
time.sleep(1)
print("waiting" if run.poll() is None and not os.path.exists("/var/vornex/05/site1") else "on")
os.close(held)
print(run.communicate()[0].decode().split(":")[1].split()[0], run.returncode)
"""


def test_a_run_waits_while_another_sets_up_names_of_the_uid(box):
    result = box.run(program="/usr/bin/python3", token=None,
                     raw_argv=["python3", "-c", HOLDING_THE_PREFIX, CTL, "token", "issue", "site1"])
    assert result.stdout.decode().split() == ["waiting", "created", "0"], result


def test_rotate_replaces_the_token_of_every_name_of_the_uid(box):
    shared(box)
    ctl(box, "token", "issue", "site1")
    old = box.read(token_path("site1"))
    result, report = ctl_json(box, "token", "rotate", "site1")
    assert [(n["name"], n["result"]) for n in report["names"]] == [
        ("site1", "rotated"), ("alias1", "rotated")]
    new = box.read(token_path("site1"))
    assert new != old and box.read(token_path("alias1")) == new
    assert box.listdir(user_dir("site1", SITE1) + "/.vornex") == [".vornex.token"]
    assert box.run(token=old.strip()).rc == 1
    assert box.run(token=new.strip()).rc == 0


def test_revoke_is_kept_by_issue_all_and_lifted_by_issue_by_name(box):
    shared(box)
    login_defs(box, SITE1, SITE1)
    ctl(box, "token", "issue", "site1")
    result, report = ctl_json(box, "token", "revoke", "site1")
    (outcome,) = report["names"]
    assert (result.rc, outcome["result"], outcome["still_served_by"]) == (0, "revoked", "alias1")
    assert "proxy.disable.duid is absent" in outcome["warnings"][0]
    assert box.lstat(token_path("site1")) is None
    assert box.read(user_dir("site1", SITE1) + "/.ferrymate.log") is None
    assert [(r.pri, r.text) for r in result.logs] == [
        (NOTICE, f"Token revoked for site1 (UID {SITE1})")]
    _, again = ctl_json(box, "token", "issue", "--all")
    assert [(n["name"], n["result"]) for n in again["names"]] == [("alias1", "kept")]
    assert box.lstat(token_path("site1")) is None
    _, named = ctl_json(box, "token", "issue", "site1")
    assert [(n["name"], n["result"]) for n in named["names"]] == [
        ("site1", "created"), ("alias1", "kept")]
    assert box.read(token_path("site1")) == box.read(token_path("alias1"))
    assert box.listdir(user_dir("site1", SITE1)) == [".vornex"]


def test_a_hostile_name_is_escaped_once_in_text_and_kept_whole_in_json(box):
    box.add_passwd_line(f"a\\b:x:{SITE1}:{SITE1}::/home/site1:/bin/sh")
    ctl(box, "token", "issue", "site1")
    text = ctl(box, "token", "revoke", "site1").stdout.decode()
    assert "with the token of a\\x5cb (uid 1005)" in text, text
    ctl(box, "token", "issue", "site1")
    _, report = ctl_json(box, "token", "revoke", "site1")
    assert report["names"][0]["still_served_by"] == "a\\b"


def big_entry(sb):
    """An entry too large for the server's buffer: every lookup that meets it fails."""
    sb.add_passwd_line(f"big:x:3001:3001:{'g' * 40000}:/nonexistent:/bin/sh")


def test_an_entry_too_large_to_read_is_no_proof_of_a_deleted_account(box):
    big_entry(box)
    box.add_user("site2", 1006)
    box.mkdir(user_dir("site2", 1006))
    cannot = "vornexctl: site2: its account cannot be looked up: an entry of the password " \
             "database is larger than the server reads"
    issued = ctl(box, "token", "issue", "site2")
    assert (issued.rc, issued.stderr.decode()) == (1, cannot + "\n")
    purged = ctl(box, "token", "revoke", "--purge", "--uid", "1006", "site2")
    assert (purged.rc, box.listdir(user_dir("site2", 1006))) == (1, [])
    assert purged.stderr.decode().startswith(cannot + "; --purge --force")
    assert ctl(box, "token", "revoke", "--purge", "--force", "--uid", "1006", "site2").rc == 0
    assert box.lstat(user_dir("site2", 1006)) is None


def test_purge_of_a_deleted_account_takes_its_uid(box):
    box.mkdir(user_dir("gone", 1009) + "/.vornex")
    box.write_file(token_path("gone", 1009), "x\n", 0o400, 1009)
    box.write_file(user_dir("gone", 1009) + "/.ferrymate.log.lock", "", 0o600)
    refused = ctl(box, "token", "revoke", "--purge", "gone")
    assert (refused.rc, refused.stderr) == (
        1, b"vornexctl: gone: no such account: give its uid with --uid UID\n")
    result, report = ctl_json(box, "token", "revoke", "--purge", "--uid", "1009", "gone")
    assert (result.rc, report["names"][0]["result"]) == (0, "purged")
    assert box.lstat(user_dir("gone", 1009)) is None and box.lstat("/var/vornex/09")
    assert [r.text for r in result.logs] == ["Per-user directory of gone (UID 1009) purged"]
    forced = ctl(box, "token", "revoke", "--purge", "site1")
    assert forced.rc == 1 and b"--force" in forced.stderr


RANGE_ROWS = [
    # UID_MIN, UID_MAX, status, names set up, standard error
    ("2000", "2999", 0, ["first", "last"], ""),
    ("2000", "2999 # last", 0, ["first", "last", "high"], ""),  # odd value: the default
    ("0", "0", 0, [], ""),  # root is never in the range
    ("3000", "2000", 1, [],
     "vornexctl: /etc/login.defs: UID_MIN lies above UID_MAX: no account is in the range\n"),
]


@pytest.mark.parametrize("low,high,status,names,stderr", RANGE_ROWS)
def test_issue_all_takes_the_uid_range_of_login_defs(box, low, high, status, names, stderr):
    login_defs(box, low, high)
    for name, uid in [("low", 1999), ("first", 2000), ("last", 2999), ("high", 3000)]:
        box.add_user(name, uid)
    box.add_user("nohome", 2500, make_home=False)
    box.add_user("filehome", 2600, make_home=False)
    box.write_file("/home/filehome", "not a directory")
    result, report = ctl_json(box, "token", "issue", "--all")
    created = [n["name"] for n in report["names"] if n["result"] == "created"]
    assert (result.rc, created, result.stderr.decode()) == (status, names, stderr)
    assert set(n["name"] for n in report["names"]) == set(names)


USAGE_ROWS = [
    # argv, status, standard error
    (["token"], 2, "vornexctl: token: needs issue, rotate or revoke\n"),
    (["token", "list"], 2, "vornexctl: list: no such token subcommand (issue, rotate, revoke)\n"),
    (["token", "issue"], 2, "vornexctl: token: needs at least one name\n"),
    (["token", "issue", "--all", "site1"], 2, "vornexctl: token: --all takes no names\n"),
    (["token", "revoke", "--all"], 2, "vornexctl: token: --all is for issue only\n"),
    (["token", "issue", "--purge", "site1"], 2,
     "vornexctl: token: --purge, --force and --uid are for revoke only\n"),
    (["token", "revoke", "--uid", "7", "site1"], 2,
     "vornexctl: token: --force and --uid go with --purge\n"),
    (["token", "revoke", "--purge", "--uid", "x1", "a"], 2,
     "vornexctl: --uid: unknown option or missing value\n"),
    (["token", "issue", ".."], 1,
     "vornexctl: ..: not a usable name: empty, \".\", \"..\" or holding \"/\"\n"),
    (["token", "issue", "a/b"], 1,
     "vornexctl: a/b: not a usable name: empty, \".\", \"..\" or holding \"/\"\n"),
    (["token", "revoke", ""], 1,
     "vornexctl: : not a usable name: empty, \".\", \"..\" or holding \"/\"\n"),
    (["token", "issue", "nosuch"], 1, "vornexctl: nosuch: no such account\n"),
    (["token", "issue", "root"], 1, "vornexctl: root: is root: the server refuses root\n"),
]


@pytest.mark.parametrize("argv,status,stderr", USAGE_ROWS)
def test_misuse_and_unusable_names_create_nothing(box, argv, status, stderr):
    result = ctl(box, *argv)
    assert (result.rc, result.stderr.decode(), result.logs) == (status, stderr, [])
    assert box.lstat("/var/vornex") is None


# ---------------------------------------------------------------------------------------------
# planted obstacles: each is reported, nothing is written through it, root's files stay

SITE1_DIR = user_dir("site1", SITE1)

OBSTACLES = {
    # name: (plant, status, text in the output)
    "link at the prefix directory": (lambda sb: sb.symlink("/var/vornex/05", TARGET), 1,
                                     "/var/vornex/05 is a link: left alone"),
    "link at the per-user directory": (lambda sb: sb.symlink(SITE1_DIR, TARGET), 1,
                                       f"{SITE1_DIR} is a link: left alone"),
    "link at .vornex": (lambda sb: sb.symlink(SITE1_DIR + "/.vornex", TARGET), 1,
                        f"{SITE1_DIR}/.vornex is a link: left alone"),
    "link at the token path": (lambda sb: (sb.mkdir(SITE1_DIR + "/.vornex"),
                                           sb.symlink(token_path("site1"), TARGET + "/file")),
                               1, "it is a link; left as it is (remove it, then issue)"),
    "FIFO at the token path": (lambda sb: (sb.mkdir(SITE1_DIR + "/.vornex"),
                                           sb.mkfifo(token_path("site1"), 0o400, SITE1)),
                               1, "it is not a regular file; left as it is"),
    "per-user directory the user's": (lambda sb: sb.mkdir(SITE1_DIR, 0o755, SITE1, SITE1), 1,
                                      f"{SITE1_DIR} is owned by uid 1005 with mode 0755"),
    "prefix directory a file": (lambda sb: sb.write_file("/var/vornex/05", "x"), 1,
                                "/var/vornex/05 is not a directory: left alone"),
    "token with the wrong owner": (lambda sb: (sb.mkdir(SITE1_DIR + "/.vornex"), sb.write_file(
        token_path("site1"), "x\n", 0o400)), 1, "not owned by the account's uid"),
    "~/.vornex a link to a root directory": (
        lambda sb: sb.symlink("/home/site1/.vornex", TARGET), 1,
        "vornexctl: site1: pid-file directory /home/site1/.vornex/tmp not made: ~/.vornex is a "
        "link: nothing is created through it\n"),
    "~/.vornex a file": (
        lambda sb: sb.write_file("/home/site1/.vornex", "x", 0o644, SITE1, SITE1), 1,
        "not made: ~/.vornex is not a directory: nothing is created there\n"),
    "~/.vornex/tmp a link to a root directory": (
        lambda sb: (sb.mkdir("/home/site1/.vornex", 0o700, SITE1, SITE1),
                    sb.symlink("/home/site1/.vornex/tmp", TARGET)), 1,
        "not made: ~/.vornex/tmp is a link: nothing is created through it\n"),
    "~/.vornex/tmp a FIFO": (
        lambda sb: (sb.mkdir("/home/site1/.vornex", 0o700, SITE1, SITE1),
                    sb.mkfifo("/home/site1/.vornex/tmp", 0o600, SITE1, SITE1)), 1,
        "not made: ~/.vornex/tmp is not a directory\n"),
    "~/.vornex root's": (lambda sb: sb.mkdir("/home/site1/.vornex"), 0,
                         "warning: pid-file directory /home/site1/.vornex/tmp not made: ~/.vornex "
                         "is not the user's: nothing is created there"),
}


@pytest.mark.parametrize("row", list(OBSTACLES), ids=list(OBSTACLES))
def test_each_planted_obstacle_is_left_alone(box, row):
    plant, status, text = OBSTACLES[row]
    plant(box)
    before = tree(box, TARGET)
    planted = {p: box.lstat(p) for p in ("/var/vornex/05", SITE1_DIR, SITE1_DIR + "/.vornex",
                                         token_path("site1"), "/home/site1/.vornex",
                                         "/home/site1/.vornex/tmp")}
    result = ctl(box, "token", "issue", "site1")
    assert result.rc == status, result
    assert text in (result.stdout + result.stderr).decode()
    assert tree(box, TARGET) == before
    for path, st in planted.items():
        now = box.lstat(path)
        if st is not None and status == 1:
            assert (now.st_mode, now.st_uid, now.st_ino) == (st.st_mode, st.st_uid, st.st_ino)
    if row.startswith("~/"):
        # Only the pid-file directory is refused: the name's token is written all the same.
        assert result.stdout.decode().startswith("site1 (uid 1005): created ")
        assert TOKEN.fullmatch(box.read(token_path("site1")))
    assert [r.text for r in result.logs if "Created pid-file" in r.text] == []
    rotated = ctl(box, "token", "rotate", "site1")
    if row == "link at the token path":
        # rotate leaves a planted link as issue does
        assert (rotated.rc, box.lstat(token_path("site1")).st_ino) == (
            1, planted[token_path("site1")].st_ino)
        assert text in rotated.stderr.decode()
    elif "token path" in row:
        assert rotated.rc == 0 and TOKEN.fullmatch(box.read(token_path("site1")))
    assert tree(box, TARGET) == before


# ---------------------------------------------------------------------------------------------
# check --users: one row per planted fault, on names set up by the tool

def lines(sb, path, count):
    sb.write_file(path, "a" * count + "\n", 0o400, SITE1, SITE1)


def other_groups(sb):
    shared(sb)
    sb.add_group("web", 3000, ["alias1"])


AUDIT_ROWS = {
    # name: (plant, findings as (code, path))
    "clean": (None, []),
    "token missing": (lambda sb: sb.remove(token_path("site1")),
                      [("token-missing", token_path("site1"))]),
    "token not regular": (lambda sb: sb.mkdir(token_path("site1"), 0o400, SITE1),
                          [("token-not-regular", token_path("site1"))]),
    "token owner": (lambda sb: sb.write_file(token_path("site1"), "x\n", 0o400),
                    [("token-owner", token_path("site1"))]),
    "token mode": (lambda sb: sb.write_file(token_path("site1"), "x\n", 0o600, SITE1),
                   [("token-mode", token_path("site1"))]),
    "token empty": (lambda sb: sb.write_file(token_path("site1"), "\nx\n", 0o400, SITE1),
                    [("token-empty", token_path("site1"))]),
    "token cut": (lambda sb: lines(sb, token_path("site1"), 1100),
                  [("token-cut", token_path("site1"))]),
    "1023 bytes are whole": (lambda sb: lines(sb, token_path("site1"), 1022), []),
    "per-user directory the user's": (lambda sb: sb.mkdir(SITE1_DIR, 0o755, SITE1),
                                      [("user-dir-writable", SITE1_DIR)]),
    ".vornex group-writable": (lambda sb: sb.mkdir(SITE1_DIR + "/.vornex", 0o775, 0, SITE1),
                               [("user-dir-writable", SITE1_DIR + "/.vornex")]),
    ".vornex another's": (lambda sb: sb.mkdir(SITE1_DIR + "/.vornex", 0o755, 4242),
                          [("user-dir-unsafe", SITE1_DIR + "/.vornex")]),
    ".vornex a link": (lambda sb: sb.symlink(SITE1_DIR + "/.vornex", TARGET),
                       [("user-dir-link", SITE1_DIR + "/.vornex")]),
    "/var/vornex a link": (lambda sb: sb.symlink("/var/vornex", TARGET),
                           [("user-dir-link", "/var/vornex")]),
    "prefix directory a link": (lambda sb: sb.symlink("/var/vornex/05", TARGET),
                                [("user-dir-link", "/var/vornex/05")]),
    "/var/vornex group-writable": (lambda sb: sb.mkdir("/var/vornex", 0o775, 0, SITE1),
                                   [("user-dir-unsafe", "/var/vornex")]),
    "lock file readable": (lambda sb: sb.write_file(SITE1_DIR + "/.ferrymate.log.lock", "",
                                                    0o644), [("lock-file",
                                                              SITE1_DIR + "/.ferrymate.log.lock")]),
    "lock file with two links": (lambda sb: (
        sb.write_file(SITE1_DIR + "/.ferrymate.log.lock", "", 0o600),
        os.link(sb.upper(SITE1_DIR + "/.ferrymate.log.lock"), sb.upper(SITE1_DIR + "/x"))),
        [("lock-file", SITE1_DIR + "/.ferrymate.log.lock")]),
    "temporary auth log": (lambda sb: sb.write_file(SITE1_DIR + "/.ferrymate.log.812", "x"),
                           [("temp-auth-log", SITE1_DIR + "/.ferrymate.log.812")]),
    "name without account": (lambda sb: sb.mkdir(user_dir("gone", 1009)),
                             [("no-account", user_dir("gone", 1009))]),
    "name under another prefix": (lambda sb: sb.mkdir("/var/vornex/07/site1"),
                                  [("wrong-prefix", "/var/vornex/07/site1")]),
    "pid-file directory missing": (lambda sb: sb.remove("/home/site1/.vornex/tmp"),
                                   [("pid-dir-missing", "/home/site1/.vornex/tmp")]),
    "~/.vornex a link": (lambda sb: sb.symlink("/home/site1/.vornex", TARGET),
                         [("pid-dir-link", "/home/site1/.vornex/tmp")]),
    "~/.vornex group-writable": (lambda sb: sb.mkdir("/home/site1/.vornex", 0o770, SITE1, SITE1),
                                 [("pid-dir-unsafe", "/home/site1/.vornex/tmp")]),
    "~/.vornex another's": (lambda sb: sb.mkdir("/home/site1/.vornex", 0o755, 4242, SITE1),
                            [("pid-dir-unsafe", "/home/site1/.vornex/tmp")]),
    "pid-file directory writable by others": (
        lambda sb: sb.mkdir("/home/site1/.vornex/tmp", 0o1777, SITE1, SITE1),
        [("pid-dir-unsafe", "/home/site1/.vornex/tmp")]),
    "pid-file directory another's": (
        lambda sb: sb.mkdir("/home/site1/.vornex/tmp", 0o755, 4242, 4242),
        [("pid-dir-unsafe", "/home/site1/.vornex/tmp")]),
    "pid-file directory a link": (lambda sb: (sb.mkdir(TARGET + "/tmp"), sb.symlink(
        "/home/site1/.vornex/tmp", TARGET + "/tmp")), [("pid-dir-link", "/home/site1/.vornex/tmp")]),
    "an entry larger than the buffer": (lambda sb: (
        big_entry(sb), sb.add_user("site2", 1006), sb.mkdir(user_dir("site2", 1006))),
        [("token-missing", token_path("site2", 1006))]),
    "tokens of one uid differ": (lambda sb: (shared(sb), sb.mkdir(
        user_dir("alias1", SITE1) + "/.vornex"), sb.write_file(
        token_path("alias1"), "other\n", 0o400, SITE1)),
        [("token-differs", token_path("alias1"))]),
    "groups of one uid differ": (lambda sb: (other_groups(sb), ctl(sb, "token", "issue", "site1")),
                                 [("groups-differ", user_dir("alias1", SITE1) + "/.")]),
    "groups differ, search off": (lambda sb: (other_groups(sb), sb.flag("proxy.disable.duid"),
                                              ctl(sb, "token", "issue", "site1")), []),
    "revoked": (lambda sb: ctl(sb, "token", "revoke", "site1"),
                [("revoked", token_path("site1"))]),
}


@pytest.mark.parametrize("row", list(AUDIT_ROWS), ids=list(AUDIT_ROWS))
def test_check_users_finds_each_planted_fault(box, row):
    plant, expected = AUDIT_ROWS[row]
    assert ctl(box, "token", "issue", "site1").rc == 0
    if plant is not None:
        plant(box)
    before = tree(box, "/var/vornex")
    result, report = ctl_json(box, "check", "--users")
    found = sorted((f["code"], f["file"]) for f in report["findings"])
    assert found == sorted(expected), report
    assert tree(box, "/var/vornex") == before and result.logs == []
    errors = sum(f["severity"] == "error" for f in report["findings"])
    assert (result.rc, report["errors"]) == (1 if errors else 0, errors)
    text = ctl(box, "check", "--users").stdout.decode().splitlines()
    assert [line.rsplit(" [", 1)[1][:-1] for line in text[:-1]] == [f["code"] for f in
                                                                    report["findings"]]


def test_check_users_all_names_accounts_without_a_per_user_directory(box):
    login_defs(box, SITE1, SITE1 + 1)
    box.add_user("site2", SITE1 + 1)
    box.add_user("below", SITE1 - 1)
    _, report = ctl_json(box, "check", "--users", "--all")
    assert sorted((f["code"], f["name"]) for f in report["findings"]) == [
        ("pid-dir-missing", "site1"), ("token-missing", "site1"), ("token-missing", "site2")]
    _, plain = ctl_json(box, "check", "--users")
    assert plain["findings"] == []
    login_defs(box, SITE1 + 1, SITE1)
    result, odd = ctl_json(box, "check", "--users", "--all")
    assert (result.rc, [(f["code"], f["file"]) for f in odd["findings"]]) == (
        1, [("uid-range", "/etc/login.defs")])
