"""Command files against the installed server: which files count, their precedence, and the
line format. What the lookup found shows in the validator's argv[3] (the command path, after
its line ending was cut), in which probe ran and under which uid (root, the command user or
the requesting user), or in the failure lines."""

import os
import stat

import pytest

from sandbox import PRI_AUTHPRIV_ALERT, PRI_DAEMON_ERR, VALIDATOR

PROBE = "/usr/local/bin/probe"
SVC_UID = 1100


def err(*texts):
    return [(PRI_DAEMON_ERR, t) for t in texts]


def logged(result):
    return [(r.pri, r.text) for r in result.logs]


def run(sb, alias="probe", **kwargs):
    """A request of site1 for `alias`, with the platform doubles (the real quota call needs
    a capability that this host may not grant)."""
    return sb.run(alias=alias, library_path=sb.doubles_dir, **kwargs)


def command_path(sb):
    """The command path that the validator of the latest request was handed."""
    reports = sb.probe_reports("check_params.py")
    assert reports, "the validator did not run"
    assert reports[-1]["argv_bytes"][:3] == [VALIDATOR.encode(), b"site1", b"/home/site1"]
    return reports[-1]["argv_bytes"][3]


def assert_ran(sb, result, path=PROBE, basename="probe", uid=1005):
    assert (result.rc, result.stderr, logged(result)) == (0, b"", []), result
    assert command_path(sb) == (path.encode() if isinstance(path, str) else path)
    reports = sb.probe_reports(basename)
    assert reports, f"{basename} did not run"
    assert reports[-1]["uid"] == [uid] * 3


def assert_missing(sb, result, alias="probe", lines=()):
    result.assert_failed()
    shown = alias if isinstance(alias, str) else alias.decode("utf-8", "surrogateescape")
    assert logged(result) == err(*lines, f"Can't find alias: user: site1, command: {shown}")
    assert sb.probe_reports("check_params.py") == []


@pytest.fixture
def reg(site1):
    """site1's sandbox with the account svc (uid 1100) as a command user."""
    site1.add_user("svc", SVC_UID)
    return site1


# -- line format ----------------------------------------------------------------------------

RAN = [
    # (command file content, alias, command path, probe basename, uid of the command)
    ("probe=/usr/local/bin/probe\n", "probe", PROBE, "probe", 1005),
    ("probe=svc:/usr/local/bin/probe\n", "probe", PROBE, "probe", SVC_UID),
    ("probe=root:/usr/local/bin/probe\n", "probe", PROBE, "probe", 0),
    ("probe:anything at all=/usr/local/bin/probe\n", "probe", PROBE, "probe", 1005),
    ("probe:=svc:/usr/local/bin/probe\n", "probe", PROBE, "probe", SVC_UID),
    ("probe:a:b=root:/usr/local/bin/probe\n", "probe", PROBE, "probe", 0),
    ("probe=svc:/usr/local/bin/pro:be\n", "probe", "/usr/local/bin/pro:be", "pro:be", SVC_UID),
    ("probe=/usr/local/bin/probe \t\v\f\r\n", "probe", PROBE, "probe", 1005),
    ("probe=/usr/local/bin/probe\r\n", "probe", PROBE, "probe", 1005),
    ("probe=/usr/local/bin/probe", "probe", PROBE, "probe", 1005),
    # A CR inside the path is part of it: only a line ending at the end is cut.
    ("probe=/usr/local/bin/probe\rx\n", "probe", "/usr/local/bin/probe\rx", "probe\rx", 1005),
    ("probe=/usr/local/bin/probe\0garbage\n", "probe", PROBE, "probe", 1005),
    ("#probe=/usr/local/bin/probe\n", "#probe", PROBE, "probe", 1005),
    ("a:b=/usr/local/bin/probe\n", "a", PROBE, "probe", 1005),
    ("prob=/bin/false\nprobex=/bin/false\nprobe=/usr/local/bin/probe\n", "probe", PROBE,
     "probe", 1005),
    ("probe=/usr/local/bin/probe\nprobe=root:/bin/false\n", "probe", PROBE, "probe", 1005),
    ("\n\n=\n:\nno equals sign\n#\nprobe=/usr/local/bin/probe\n", "probe", PROBE, "probe",
     1005),
    (b"\xe9t\xe9=/usr/local/bin/probe\n", b"\xe9t\xe9", PROBE, "probe", 1005),
    ("%s%n=/usr/local/bin/probe\n", "%s%n", PROBE, "probe", 1005),
]


@pytest.mark.parametrize("content, alias, path, basename, uid", RAN)
def test_lines_that_match(reg, content, alias, path, basename, uid):
    if basename != "probe":
        reg.install_probe(path)
    reg.commands(content)
    assert_ran(reg, run(reg, alias), path, basename, uid)


FAILED_LATER = [
    # (content, command path the validator sees, lines of the failure)
    ("probe=Root:/usr/local/bin/probe\n", PROBE, ["Can't get passwd info for user Root"]),
    ("probe=root :/usr/local/bin/probe\n", PROBE, ["Can't get passwd info for user root "]),
    ("probe= root:/usr/local/bin/probe\n", PROBE, ["Can't get passwd info for user  root"]),
    ("probe=:/usr/local/bin/probe\n", PROBE, ["Can't get passwd info for user "]),
    ("probe=/usr/local/bin/probe=x\n", "/usr/local/bin/probe=x",
     ["Can't start program /usr/local/bin/probe=x"]),
    # A path that is not absolute ends the request before the validator runs (path None).
    ("probe=/opt/tool:x\n", None, ["Command path x is not absolute, user site1"]),
    ("probe=\n", None, ["Command path  is not absolute, user site1"]),
    ("probe=svc:\n", None, ["Command path  is not absolute, user site1"]),
    ("probe=root:\n", None, ["Command path  is not absolute, user site1"]),
    ("probe= /usr/local/bin/probe\n", None,
     ["Command path  /usr/local/bin/probe is not absolute, user site1"]),
    ("probe=root:usr/local/bin/probe\n", None,
     ["Command path usr/local/bin/probe is not absolute, user site1"]),
]


@pytest.mark.parametrize("content, path, lines", FAILED_LATER)
def test_lines_that_match_and_fail_later(reg, content, path, lines):
    reg.commands(content)
    result = run(reg)
    result.assert_failed()
    assert logged(result) == err(*lines)
    if path is None:
        assert reg.probe_reports("check_params.py") == []
    else:
        assert command_path(reg) == path.encode()
    assert reg.probe_reports("probe") == []


@pytest.mark.parametrize("content, alias", [
    ("probe =/usr/local/bin/probe\n", "probe"),
    (" probe=/usr/local/bin/probe\n", "probe"),
    ("\tprobe=/usr/local/bin/probe\n", "probe"),
    ("PROBE=/usr/local/bin/probe\n", "probe"),
    ("probe=/usr/local/bin/probe\n", "Probe"),
    ("probe=/usr/local/bin/probe\n", "prob"),
    ("probe=/usr/local/bin/probe\n", "probe "),
    ("probe /usr/local/bin/probe\n", "probe"),
    ("probe\n", "probe"),
    ("#probe=/usr/local/bin/probe\n", "probe"),
    ("=/usr/local/bin/probe\n", "probe"),
    (":probe=/usr/local/bin/probe\n", "probe"),
    ("a:b=/usr/local/bin/probe\n", "a:b"),
    ("a=b=/usr/local/bin/probe\n", "a=b"),
    ("a:b=c=/usr/local/bin/probe\n", "a:b=c"),
    ("\0probe=/usr/local/bin/probe\n", "probe"),
    ("pro\0be=/usr/local/bin/probe\n", "probe"),
    ("", "probe"),
])
def test_lines_that_do_not_match(reg, content, alias):
    reg.commands(content)
    assert_missing(reg, run(reg, alias), alias)


def test_line_of_1023_bytes_is_parsed_whole(reg):
    path = "/" * (1023 - len("probe=") - len(PROBE)) + PROBE
    reg.commands(f"probe={path}\n")
    assert len(f"probe={path}") == 1023
    assert_ran(reg, run(reg), path)


def test_line_of_1023_bytes_before_crlf(reg):
    path = "/" * (1022 - len("probe=") - len(PROBE)) + PROBE
    reg.commands(f"probe={path}\r\n")
    assert_ran(reg, run(reg), path)


def test_longer_line_is_cut_after_1023_bytes(reg):
    path = "/" * (1024 - len("probe=") - len(PROBE)) + PROBE
    reg.commands(f"probe={path}\n")
    result = run(reg)
    result.assert_failed()
    assert logged(result) == err(f"Can't start program {path[:-1]}")
    assert command_path(reg) == path[:-1].encode()


@pytest.mark.parametrize("pieces", [1, 2, 5])
def test_tail_of_a_longer_line_matches_by_itself(reg, pieces):
    reg.commands("x=" + "y" * (1023 * pieces - 2) + "probe=" + PROBE + "\n")
    assert_ran(reg, run(reg))


def test_head_of_a_longer_line_does_not_reach_into_the_tail(reg):
    # The alias "x" is in the first piece; its command path ends with that piece.
    reg.commands("x=/" + "y" * 1020 + "more\n")
    result = run(reg, "x")
    result.assert_failed()
    assert command_path(reg) == b"/" + b"y" * 1020


@pytest.mark.parametrize("present", [True, False])
def test_a_million_lines(reg, present):
    body = "".join(f"alias{i}=/bin/false\n" for i in range(1_000_000))
    reg.commands(body + (f"probe={PROBE}\n" if present else ""))
    result = run(reg, timeout=120)
    if present:
        assert_ran(reg, result)
    else:
        assert_missing(reg, result)


# -- which files count, and in which order ------------------------------------------------------

def additional_order(sb):
    """The additional command files in the order the server's listing returns them."""
    return [n for n in sb.listdir_merged("/etc/vornex")
            if n.endswith("proxy.commands") and n != "proxy.commands"]


def test_additional_file_comes_before_the_main_file(reg):
    reg.install_probe("/usr/local/bin/extra")
    reg.commands("probe=/usr/local/bin/extra\n", "x.proxy.commands")
    assert_ran(reg, run(reg), "/usr/local/bin/extra", "extra")
    assert reg.probe_reports("probe") == []


def test_main_file_is_not_consulted_after_a_match(reg):
    reg.remove("/etc/vornex/proxy.commands")
    reg.commands(f"probe={PROBE}\n", "x.proxy.commands")
    assert_ran(reg, run(reg))  # and no status line for the missing main file


def test_empty_command_path_in_an_additional_file_counts_as_found(reg):
    reg.commands("probe=\n", "x.proxy.commands")
    result = run(reg)
    result.assert_failed()
    assert logged(result) == err("Command path  is not absolute, user site1")


def test_additional_files_in_listing_order(reg):
    names = ["b.proxy.commands", "a.proxy.commands", ".proxy.commands", "zzproxy.commands",
             "m.proxy.commands", "0.proxy.commands"]
    for name in names:
        reg.install_probe(f"/usr/local/bin/{name}")
        reg.commands(f"probe=/usr/local/bin/{name}\n", name)
    reg.commands("unrelated=/bin/false\n", "n.proxy.commands")
    for _ in names:
        order = [n for n in additional_order(reg) if n != "n.proxy.commands"]
        first = order[0]
        assert_ran(reg, run(reg), f"/usr/local/bin/{first}", first)
        assert [n for n in names if reg.probe_reports(n)] == [first], order
        reg.remove(f"/etc/vornex/{first}")
        os.unlink(os.path.join(reg.probe_dir, f"{first}.jsonl"))
    assert_ran(reg, run(reg))


@pytest.mark.parametrize("name", ["x.proxy.commands", ".proxy.commands", "xproxy.commands",
                                  "proxy.commands.proxy.commands", " proxy.commands",
                                  "\u00e9proxy.commands", "-proxy.commands"])
def test_names_that_count(reg, name):
    reg.install_probe("/usr/local/bin/other")
    reg.commands("probe=/usr/local/bin/other\n", name)
    assert_ran(reg, run(reg), "/usr/local/bin/other", "other")


@pytest.mark.parametrize("name", ["proxy.commands.bak", "proxy.commands~", "PROXY.commands",
                                  "x.PROXY.commands", "x.proxy.Commands", "proxy.command",
                                  "x.proxy.commands ", "proxy.commandsx", "proxycommands",
                                  "proxy.commands.d"])
def test_names_that_do_not_count(reg, name):
    reg.commands("only=/usr/local/bin/probe\n", name)
    assert_missing(reg, run(reg, "only"), "only")


def make_entry(sb, kind, path):
    if kind == "dir":
        sb.mkdir(path)
    elif kind == "fifo":
        sb.mkfifo(path)
    elif kind == "device":
        os.mknod(sb.upper(path), stat.S_IFCHR | 0o644, os.makedev(1, 3))
    elif kind == "link to dir":
        sb.symlink(path, "/usr/share")
    elif kind == "dangling link":
        sb.symlink(path, "/etc/vornex/nothing-here")
    elif kind == "link loop":
        sb.symlink(path, path)
    elif kind == "unreadable":
        # A regular file that even root cannot open for reading.
        sb.symlink(path, "/proc/sys/vm/drop_caches")
    else:
        raise ValueError(kind)


ENTRY_LINES = {
    "dir": "File '{}' is not a regular file",
    "fifo": "File '{}' is not a regular file",
    "device": "File '{}' is not a regular file",
    "link to dir": "File '{}' is not a regular file",
    "dangling link": "Unable to stat file '{}': No such file or directory",
    "link loop": "Unable to stat file '{}': Too many levels of symbolic links",
    "unreadable": "Unable to open file '{}' for reading: Permission denied",
}


@pytest.mark.parametrize("kind", sorted(ENTRY_LINES))
def test_unusable_additional_file_is_passed_over(reg, kind):
    path = "/etc/vornex/u.proxy.commands"
    make_entry(reg, kind, path)
    result = run(reg, timeout=10)
    assert (result.rc, result.stderr) == (0, b""), result
    assert logged(result) == err(ENTRY_LINES[kind].format(path))
    assert command_path(reg) == PROBE.encode()


@pytest.mark.parametrize("kind", sorted(ENTRY_LINES))
def test_unusable_main_file(reg, kind):
    path = "/etc/vornex/proxy.commands"
    reg.remove(path)
    make_entry(reg, kind, path)
    assert_missing(reg, run(reg, timeout=10), lines=[ENTRY_LINES[kind].format(path)])


def test_unusable_file_listed_after_the_match_is_not_consulted(reg):
    reg.install_probe("/usr/local/bin/extra")
    reg.commands("probe=/usr/local/bin/extra\n", "a.proxy.commands")
    make_entry(reg, "dangling link", "/etc/vornex/b.proxy.commands")
    dangling_first = additional_order(reg)[0] == "b.proxy.commands"
    result = run(reg)
    expected = err(ENTRY_LINES["dangling link"].format("/etc/vornex/b.proxy.commands"))
    assert logged(result) == (expected if dangling_first else [])
    assert result.rc == 0
    assert command_path(reg) == b"/usr/local/bin/extra"


def test_links_to_regular_files_are_read(reg):
    reg.install_probe("/usr/local/bin/linked")
    reg.write_file("/usr/share/elsewhere/cmds", "probe=/usr/local/bin/linked\n")
    reg.symlink("/etc/vornex/l.proxy.commands", "/usr/share/elsewhere/cmds")
    assert_ran(reg, run(reg), "/usr/local/bin/linked", "linked")
    reg.remove("/etc/vornex/l.proxy.commands")
    reg.write_file("/usr/share/elsewhere/main", "probe=root:/usr/local/bin/linked\n")
    reg.symlink("/etc/vornex/proxy.commands", "../../usr/share/elsewhere/main")
    assert_ran(reg, run(reg), "/usr/local/bin/linked", "linked", 0)


def test_files_without_the_alias_are_passed_over_silently(reg):
    for name in ("a.proxy.commands", "b.proxy.commands", "c.proxy.commands"):
        reg.commands("other=/bin/false\n", name)
    reg.commands("", "d.proxy.commands")
    assert_ran(reg, run(reg))


def test_missing_main_file(reg):
    reg.remove("/etc/vornex/proxy.commands")
    reg.commands("other=/bin/false\n", "x.proxy.commands")
    assert_missing(reg, run(reg), lines=[
        "Unable to stat file '/etc/vornex/proxy.commands': No such file or directory"])


def test_empty_command_directory(reg):
    reg.remove("/etc/vornex/proxy.commands")
    assert reg.listdir_merged("/etc/vornex") == []
    assert_missing(reg, run(reg), lines=[
        "Unable to stat file '/etc/vornex/proxy.commands': No such file or directory"])


@pytest.mark.parametrize("how", ["removed", "whiteout", "regular file", "dangling link"])
def test_missing_command_directory(reg, how):
    if how == "removed":
        reg.remove("/etc/vornex")
    elif how == "whiteout":
        reg.hide("/etc/vornex")
    elif how == "regular file":
        reg.remove("/etc/vornex")
        reg.write_file("/etc/vornex", "probe=/usr/local/bin/probe\n")
    else:
        reg.remove("/etc/vornex")
        reg.symlink("/etc/vornex", "/usr/share/no-such-dir")
    result = run(reg)
    result.assert_failed()
    assert logged(result) == err("opendir: Path '/etc/vornex' does not exist or could not be "
                                 "read")
    assert reg.probe_reports("check_params.py") == []


def test_command_directory_reached_through_a_link(reg):
    reg.remove("/etc/vornex")
    reg.write_file("/usr/share/vx/proxy.commands", "probe=svc:/usr/local/bin/probe\n")
    reg.symlink("/etc/vornex", "/usr/share/vx")
    assert_ran(reg, run(reg), uid=SVC_UID)


# -- who may change a command file ------------------------------------------------------------

UNSAFE = "Command {} {} is not safe (owner uid {}, mode {}), refusing the request"
MAIN = "/etc/vornex/proxy.commands"
LINKED = "/home/site1/cmds"

OWNERS_AND_MODES = [
    # (what to plant, the alert line or None when the request is served)
    (lambda sb: sb.commands(f"probe={PROBE}\n", mode=0o600), None),
    (lambda sb: sb.commands(f"probe={PROBE}\n", mode=0o444), None),
    (lambda sb: sb.write_file(MAIN, f"probe={PROBE}\n", 0o644, uid=1005),
     UNSAFE.format("file", MAIN, 1005, "644")),
    (lambda sb: sb.commands(f"probe={PROBE}\n", mode=0o664), UNSAFE.format("file", MAIN, 0, "664")),
    (lambda sb: sb.commands(f"probe={PROBE}\n", mode=0o666), UNSAFE.format("file", MAIN, 0, "666")),
    (lambda sb: sb.commands(f"probe={PROBE}\n", mode=0o4602),
     UNSAFE.format("file", MAIN, 0, "4602")),
    (lambda sb: sb.mkdir("/etc/vornex", 0o777), UNSAFE.format("directory", "/etc/vornex", 0, "777")),
    (lambda sb: sb.mkdir("/etc/vornex", 0o755, uid=1005),
     UNSAFE.format("directory", "/etc/vornex", 1005, "755")),
    # A link is followed only through directories that only root can change: the owner and
    # mode are those of the first directory on the way that others can change.
    (lambda sb: (sb.write_file(LINKED, "probe=root:/bin/false\n", uid=1005),
                 sb.symlink("/etc/vornex/l.proxy.commands", LINKED)),
     UNSAFE.format("file", "/etc/vornex/l.proxy.commands", 1005, "755")),
    (lambda sb: (sb.write_file("/usr/share/open/cmds", "probe=root:/bin/false\n", parent_mode=0o777),
                 sb.symlink("/etc/vornex/l.proxy.commands", "/usr/share/open/cmds")),
     UNSAFE.format("file", "/etc/vornex/l.proxy.commands", 0, "777")),
    (lambda sb: (sb.mkdir("/usr/share/open", 0o1777), sb.symlink("/usr/share/open/self", "/proc/self"),
                 sb.symlink("/etc/vornex/l.proxy.commands", "/usr/share/open/self/cmdline")),
     UNSAFE.format("file", "/etc/vornex/l.proxy.commands", 0, "1777")),
    # Judged through the open descriptor: a link leads to the file it names.
    (lambda sb: (sb.write_file("/usr/share/kept/cmds", "probe=root:/bin/false\n", 0o664),
                 sb.symlink("/etc/vornex/l.proxy.commands", "/usr/share/kept/cmds")),
     UNSAFE.format("file", "/etc/vornex/l.proxy.commands", 0, "664")),
    # Files that do not count are never opened, and not judged.
    (lambda sb: sb.write_file("/etc/vornex/proxy.commands.bak", "probe=/bin/false\n", 0o666,
                              uid=1005), None),
    (lambda sb: sb.write_file("/etc/vornex/notes", "", 0o666, uid=1005), None),
]


@pytest.mark.parametrize("plant, alert", OWNERS_AND_MODES)
def test_command_files_by_owner_and_mode(reg, plant, alert):
    plant(reg)
    result = run(reg)
    if alert is None:
        assert_ran(reg, result)
        return
    result.assert_failed()
    assert logged(result) == [(PRI_AUTHPRIV_ALERT, alert)]
    assert reg.probe_reports("check_params.py") == []
