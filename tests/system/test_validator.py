"""The installed default validator through the real server: the rules file's words, patterns,
limits and defaults, and what happens to a file that cannot be trusted or read."""

import pytest

from sandbox import FAILED, IDENT, PRI_DAEMON_ERR, REPO

VALIDATOR_IDENT = "vornex.check_params"
RULES = "/etc/vornex/params.rules"
PROBE = "/usr/local/bin/probe"
OTHER = "/usr/local/bin/other"  # alias "other": a command without a rule
SITE1, SITE2 = 1005, 1006

HOSTING = f"""# a hosting host's rules
{PROBE} restart site-*.service
{PROBE} maint "my site" ...
{PROBE}
{PROBE} backup --quiet --level=full /srv/www/*
{PROBE} "" 'a*b' \\?
site2,:ops {PROBE} admin
"""


def refused(why):
    return (False, why)


NO_MATCH = f"No rule of {RULES} admits the arguments, user 'site1', command '{PROBE}'"

# name: (rules text or None for no file, (mode, uid), user, alias, extra, (approved, log line))
ROWS = {
    "no file, default rule": (None, None, "site1", "other", ["a", "b c"], (True, None)),
    "the shipped file changes nothing": ((REPO / "debian" / "params.rules").read_text(), None,
                                         "site1", "probe", ["any", "*"], (True, None)),
    "no rule, default check": (HOSTING, None, "site1", "other", ["x"], (True, None)),
    "no rule, default refuse": (
        HOSTING + "default refuse\n", None, "site1", "other", [],
        refused(f"No rule of {RULES} for the command, and the default refuses, user 'site1', "
                f"command '{OTHER}'")),
    "no arguments": (HOSTING, None, "site1", "probe", [], (True, None)),
    "exact words": (HOSTING, None, "site1", "probe", ["maint", "my site"], (True, None)),
    "any further": (HOSTING, None, "site1", "probe", ["maint", "my site", "-v", "x/y"],
                    (True, None)),
    "pattern": (HOSTING, None, "site1", "probe", ["restart", "site-a1.service"], (True, None)),
    "pattern is not a prefix": (HOSTING, None, "site1", "probe",
                                ["restart", "site-a.service.bak"], refused(NO_MATCH)),
    "long argument, pattern": (HOSTING, None, "site1", "probe",
                               ["restart", "site-" + "a" * 5000 + ".service"], refused(NO_MATCH)),
    "long argument, any further": (HOSTING, None, "site1", "probe",
                                   ["maint", "my site", "a" * 100_000], (True, None)),
    "one argument too many": (HOSTING, None, "site1", "probe", ["restart", "site-a.service", "x"],
                              refused(NO_MATCH)),
    "wildcard never matches a slash": (HOSTING, None, "site1", "probe",
                                       ["restart", "site-a/b.service"], refused(NO_MATCH)),
    "no pattern admits ..": (HOSTING, None, "site1", "probe",
                             ["backup", "--quiet", "--level=full", "/srv/www/.."],
                             refused(NO_MATCH)),
    "pattern under a directory": (HOSTING, None, "site1", "probe",
                                  ["backup", "--quiet", "--level=full", "/srv/www/site1"],
                                  (True, None)),
    "quoted wildcard, empty argument": (HOSTING, None, "site1", "probe", ["", "a*b", "?"],
                                        (True, None)),
    "quoted star is literal": (HOSTING, None, "site1", "probe", ["", "axb", "?"],
                               refused(NO_MATCH)),
    "user limit, other user": (HOSTING, None, "site1", "probe", ["admin"], refused(NO_MATCH)),
    "user limit, named user": (HOSTING, None, "site2", "probe", ["admin"], (True, None)),
    "group limit, member": (HOSTING.replace("site2,:ops", ":ops"), None, "site2", "probe",
                            ["admin"], (True, None)),
    "control byte": (HOSTING, None, "site1", "probe", ["maint", "my site", "a\nb"],
                     refused(f"Control character in argument 6, user 'site1', command "
                             f"'{PROBE}'")),
    "group-writable file": (
        HOSTING, (0o664, 0), "site1", "probe", [],
        refused(f"Rules file {RULES} is not safe (owner uid 0, mode 0664): every request is "
                "refused")),
    "file not root's": (
        HOSTING, (0o644, SITE1), "site1", "other", [],
        refused(f"Rules file {RULES} is not safe (owner uid {SITE1}, mode 0644): every "
                "request is refused")),
    "malformed line of the command": (
        HOSTING + f'{PROBE} "open\n', None, "site1", "probe", [],
        refused(f"Rules file {RULES} line 8 cannot be read (a quote is not closed): every "
                "request for this command is refused")),
    "malformed line of another command": (HOSTING + '/usr/bin/x "open\n', None, "site1",
                                          "probe", [], (True, None)),
    "malformed line, command unknown": (
        HOSTING + f"site1 site2 {PROBE}\n", None, "site1", "other", [],
        refused(f"Rules file {RULES} line 8 cannot be read (the command path is missing or not "
                "absolute): every request is refused")),
    "second default": (
        "default check\ndefault refuse\n", None, "site1", "other", [],
        refused(f"Rules file {RULES} line 2 cannot be read (a second default line): every "
                "request is refused")),
}


@pytest.fixture
def box(sb):
    """site1 and site2 (in group ops) with tokens, the staged validator, the probe as the
    command of "probe" and "other", the container skipped."""
    sb.add_user("site1", SITE1)
    sb.add_user("site2", SITE2)
    sb.add_group("ops", 2000, ["site2"])
    sb.token("site1", SITE1, "secret\n")
    sb.token("site2", SITE2, "secret\n")
    sb.use_installed_validator()
    sb.install_probe()
    sb.install_probe(OTHER)
    sb.marker()
    sb.commands(f"probe={PROBE}\nother={OTHER}\n")
    return sb


@pytest.mark.parametrize("row", list(ROWS), ids=list(ROWS))
def test_the_validator_applies_the_rules(box, row):
    text, owner, user, alias, extra, (approved, line) = ROWS[row]
    if text is not None:
        mode, uid = owner or (0o644, 0)
        box.write_file(RULES, text, mode, uid)
    result = box.run(user=user, alias=alias, extra=extra)
    command = PROBE if alias == "probe" else OTHER
    # The quota capability is the platform library's business, and its failure only logged.
    server = [t for t in result.texts(IDENT) if not t.startswith("set CAP_SYS_RESOURCE")]
    if approved:
        assert (result.rc, result.stderr, server) == (0, b"", []), result
        assert result.lines(VALIDATOR_IDENT) == []
        assert box.probe_reports(command.rsplit("/", 1)[1])[0]["argv"] == [command, *extra]
        return
    assert result.rc == 1 and result.stderr_line() == FAILED, result
    assert result.lines(VALIDATOR_IDENT) == [(PRI_DAEMON_ERR, line)]
    assert server == [f"Can't start program {command}"]
    assert result.stdout == b""


def test_refusals_log_values_escaped(box):
    box.write_file(RULES, "default refuse\n")
    box.commands("q=/usr/local/bin/a\\b\xff\n")
    result = box.run(alias="q")
    assert result.lines(VALIDATOR_IDENT) == [(PRI_DAEMON_ERR, (
        f"No rule of {RULES} for the command, and the default refuses, user 'site1', "
        "command '/usr/local/bin/a\\x5cb\\xc3\\xbf'"))]
